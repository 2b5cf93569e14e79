#ifndef TARVO_TEST_ENGINEBENCH_H
#define TARVO_TEST_ENGINEBENCH_H

#include "emulator.h"
#include "traces.h"

#include "config/configexchange.h"
#include "firmware/firmwareupgrade.h"
#include "link/discovery.h"
#include "link/nodesession.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

// The engine as a program without a window holds it: one discovery, one
// node session with its exchanges (Internal wiring), against emulated
// nodes in the private network.
struct EngineBench {
    explicit EngineBench(const UpgradeOptions &options = {}) : upgrade(new FirmwareUpgrade(session, options)) {}

    EmulatorProcess emu;
    QObject owner;
    Discovery *discovery = new Discovery(&owner);
    NodeSession *session = new NodeSession(&owner);
    ConfigExchange *config = new ConfigExchange(session);
    FirmwareUpgrade *upgrade;
    QSignalSpy finished{upgrade, &FirmwareUpgrade::finished};

    // One application node at 192.0.2.10 (serial 15050001, version v1.00)
    // with these faults.
    static QJsonObject node(const QJsonObject &faults = {}, const QString &ip = QStringLiteral("192.0.2.10"))
    {
        return QJsonObject{{"ip", ip},           {"serial", "1505" + ip.section('.', 3).rightJustified(4, '0')},
                           {"label", "Fw"},      {"version", "v1.00"},
                           {"faults", faults}};
    }

    bool start(const QJsonArray &nodes = {node()})
    {
        Traces::clear();
        return emu.startNodes(nodes) && discovery->bind(QHostAddress(QStringLiteral("192.0.2.1")));
    }

    // Connects to a node and waits for its configuration.
    bool connectTo(const QString &address = QStringLiteral("192.0.2.10"))
    {
        QSignalSpy received(config, &ConfigExchange::configReceived);
        QObject::connect(session, &NodeSession::connected, config, &ConfigExchange::requestConfig,
                         Qt::SingleShotConnection);
        session->connectToNode(QHostAddress(address));
        return received.wait(5000);
    }

    // The upgrade's result, once it has finished.
    struct Result {
        bool done = false;
        FirmwareUpgrade::Result value = FirmwareUpgrade::Result::TimedOut;
    };
    Result result(int timeoutMs = 25000)
    {
        if (finished.isEmpty() && !finished.wait(timeoutMs))
            return Result{};
        return Result{true, finished.takeFirst().at(0).value<FirmwareUpgrade::Result>()};
    }

    // ProgramPacket numbers the node received, in order.
    QList<qint64> packets(const QString &address = QStringLiteral("192.0.2.10"))
    {
        QList<qint64> numbers;
        for (const QString &l : emu.lines())
            if (l.startsWith(QStringLiteral("packet ") + address + QLatin1Char(' ')))
                numbers.append(l.section(QLatin1Char(' '), 2).toLongLong());
        return numbers;
    }
};

#endif
