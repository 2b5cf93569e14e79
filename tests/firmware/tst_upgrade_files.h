#ifndef TARVO_TST_UPGRADE_FILES_H
#define TARVO_TST_UPGRADE_FILES_H

#include "emulator.h"
#include "firmwarefiles.h"
#include "window.h"

#include <QTemporaryDir>
#include <QtTest>


// One emulated node at 192.0.2.10, version "v1.00", and a window connected to it.
struct Bench {
    EmulatorProcess emu;
    std::unique_ptr<MainWindow> w;
    std::unique_ptr<MainWindowProbe> p;
    QTemporaryDir dir;

    ~Bench()
    {
        if (p) // closed while the window is whole: its disconnection handling touches the form
            p->tcpSocket()->abort();
    }

    bool start(const QJsonObject &faults = {}, int type = 421)
    {
        if (!emu.startNodes({QJsonObject{{"ip", "192.0.2.10"}, {"serial", "15050001"}, {"label", "Fw"},
                                         {"type", type}, {"version", "v1.00"}, {"faults", faults}}}))
            return false;
        w = openWindow();
        p = std::make_unique<MainWindowProbe>(*w);
        p->invoke("searchForDevices");
        for (int i = 0; i < 500 && p->list()->count() < 1; ++i)
            QTest::qWait(10);
        p->list()->setCurrentRow(0);
        p->invoke("connectBtnPressed");
        return Traces::waitFor(QStringLiteral("Serial number: 15050001"));
    }

    // Presses "Firmware upgrade" with the operator choosing a file of `data`.
    void upgrade(const QByteArray &data)
    {
        ScriptedOperator::instance().chooseFile(fw::writeFile(dir.path(), QStringLiteral("fw.upg"), data));
        p->button("FirmwareBtn")->click();
    }

    QList<qint64> packets()
    {
        QList<qint64> numbers;
        for (const QString &l : emu.lines())
            if (l.startsWith(QLatin1String("packet 192.0.2.10 ")))
                numbers.append(l.section(QLatin1Char(' '), 2).toLongLong());
        return numbers;
    }
};

#endif
