#ifndef TARVO_TEST_MAIN_H
#define TARVO_TEST_MAIN_H

#include "operator.h"
#include "traces.h"

#include <QApplication>
#include <QtTest>

// Every test program runs on the offscreen platform with Qt's own dialogs,
// the trace capture and the scripted operator in place.
#define TARVO_TEST_MAIN(TestClass)                                                                                     \
    int main(int argc, char *argv[])                                                                                   \
    {                                                                                                                  \
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))                                                             \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                                                   \
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);                                                       \
        QApplication app(argc, argv);                                                                                  \
        Traces::install();                                                                                             \
        ScriptedOperator::instance().install();                                                                        \
        TestClass tc;                                                                                                  \
        return QTest::qExec(&tc, argc, argv);                                                                          \
    }

#endif
