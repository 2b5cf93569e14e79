#ifndef TARVO_TEST_WINDOW_H
#define TARVO_TEST_WINDOW_H

#include "app/mainwindow.h"
#include "operator.h"
#include "probe.h"
#include "traces.h"

#include <memory>

// Opens the window the way an operator starts the tool: the address dialog
// is answered with the workstation's first test address.
inline std::unique_ptr<MainWindow> openWindow(const QString &address = QStringLiteral("192.0.2.1"))
{
    ScriptedOperator::instance().reset();
    ScriptedOperator::instance().chooseItem(address);
    Traces::clear();
    auto w = std::make_unique<MainWindow>();
    w->show();
    return w;
}

#endif
