// The engine's operations, without a window, against emulated nodes: each
// ends with exactly one finished(), says what happened, and never calls a
// write done that the node did not acknowledge.
#include "enginetestmain.h"
#include "emulator.h"
#include "firmwarefiles.h"

#include "config/configvalues.h"
#include "link/nodeengine.h"

#include <QSignalSpy>

namespace {

using S = NodeOperation::Status;

QJsonObject node(int i, const QJsonObject &faults = {}, int type = 421)
{
    return QJsonObject{{"ip", QStringLiteral("192.0.2.%1").arg(10 + i)},
                       {"serial", QStringLiteral("1505%1").arg(10 + i, 4, 10, QLatin1Char('0'))},
                       {"label", QStringLiteral("Op-%1").arg(i)}, {"type", type}, {"version", "v1.00"}, {"faults", faults}};
}

// An engine bound in the test network, its options shortened where the
// tests wait for a bound to run out.
struct Bench {
    Bench()
    {
        OperationOptions o;
        o.connectTimeoutMs = o.replyTimeoutMs = 500;
        o.config.writeTimeoutMs = 400;
        o.verifyTimeoutMs = 3000;
        o.upgrade.resetGuardMs = 300;
        engine = std::make_unique<NodeEngine>(o);
    }
    bool start(const QJsonArray &nodes)
    {
        Traces::clear();
        return emu.startNodes(nodes) && engine->bind(QHostAddress(QStringLiteral("192.0.2.1")));
    }
    // The node as discovery finds it.
    NodeInfo find(const QString &address)
    {
        QSignalSpy ended(engine->discovery(), &Discovery::searchFinished);
        engine->discovery()->search(300);
        ended.wait(2000);
        for (const NodeInfo &n : engine->discovery()->nodes())
            if (n.address == QHostAddress(address))
                return n;
        return NodeInfo::fromRecord(QByteArray(512, '\0'), QHostAddress(address));
    }
    // Waits for the operation's end, then a while longer: a second
    // finished() would show.
    NodeOperation::Result finished(NodeOperation *op, int timeoutMs = 30000)
    {
        QSignalSpy spy(op, &NodeOperation::finished);
        if (!op->isFinished())
            spy.wait(timeoutMs);
        QTest::qWait(200);
        count = int(spy.size()) + (op->isFinished() && spy.isEmpty() ? 1 : 0);
        return op->result();
    }
    EmulatorProcess emu;
    std::unique_ptr<NodeEngine> engine;
    int count = 0;
};

QByteArray upgradeFile(const QByteArray &version) { return buildUpgradeFile(fw::rawImage(version)).data; }

} // namespace

class EngineOperations : public QObject
{
    Q_OBJECT

private slots:
    // Each kind of operation against a node that behaves, and against one
    // that does not: the status and the words that say why.
    void endsOnceWithWhatWasObserved_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason"); // the start of it
        QTest::addColumn<QStringList>("received"); // words the node got, in order
        QTest::newRow("read") << "read" << QJsonObject{} << int(S::Done) << "read" << QStringList{"7"};
        QTest::newRow("read, node silent") << "read" << QJsonObject{{"no-reply", QJsonArray{7}}} << int(S::TimedOut)
                                           << "no configuration (GetConfig reply) within 500 ms" << QStringList{"7"};
        QTest::newRow("write") << "write" << QJsonObject{} << int(S::Done) << "written" << QStringList{"7", "8"};
        // An acknowledgement sent before anything was asked answers nothing.
        QTest::newRow("write, early acknowledgement")
            << "write" << QJsonObject{{"send-on-connect", QJsonArray{8}}, {"no-reply", QJsonArray{8}}} << int(S::TimedOut)
            << "no SetConfig acknowledgement within 400 ms" << QStringList{"7", "8"};
        // The node acknowledges, but with other values than were sent.
        QTest::newRow("write, acknowledged otherwise")
            << "write" << QJsonObject{{"config-words", QJsonObject{{"108", 0}}}} << int(S::TimedOut)
            << "no SetConfig acknowledgement within 400 ms; one that carried other values was ignored"
            << QStringList{"7", "8"};
        QTest::newRow("write, node drops")
            << "write" << QJsonObject{{"close-after", 2}} << int(S::ConnectionLost)
            << "the node closed the connection before it acknowledged SetConfig" << QStringList{"7", "8"};
        QTest::newRow("default") << "default" << QJsonObject{{"send-on-connect", QJsonArray{8}}} << int(S::Done)
                                 << "factory configuration applied" << QStringList{"7", "9"};
        QTest::newRow("default that moves") << "default" << QJsonObject{{"factory-ip", "192.0.2.99"}} << int(S::Done)
                                            << "factory configuration applied; the node now answers at 192.0.2.99"
                                            << QStringList{"7", "9"};
        QTest::newRow("run") << "run" << QJsonObject{} << int(S::Done) << "application started"
                             << QStringList{"15"};
        QTest::newRow("upgrade") << "upgrade" << QJsonObject{} << int(S::Done) << "reports v2.05" << QStringList{"12"};
        QTest::newRow("upgrade, restart dropped")
            << "upgrade" << QJsonObject{{"restart-silently", true}} << int(S::Done)
            << "reports v2.05; its restart was not confirmed" << QStringList{"12"};
        QTest::newRow("upgrade, checksum differs")
            << "upgrade" << QJsonObject{{"wrong-crc", true}} << int(S::Refused)
            << "Firmware upgrade failed! The node's checksum differs; it was not restarted" << QStringList{"12"};
        QTest::newRow("nothing listens") << "read@192.0.2.1" << QJsonObject{} << int(S::ConnectionLost)
                                         << "cannot connect: Connection refused" << QStringList{};
    }

    void endsOnceWithWhatWasObserved()
    {
        QFETCH(QString, kind);
        QFETCH(QJsonObject, faults);
        QFETCH(QStringList, received);
        Bench b;
        QVERIFY(b.start({node(0, faults, kind == "run" ? 666 : 421)}));
        const QString address = kind.contains('@') ? kind.section('@', 1) : QStringLiteral("192.0.2.10");
        const NodeInfo n = b.find(address);
        NodeOperation *op = nullptr;
        kind = kind.section('@', 0, 0);
        if (kind == "read")
            op = b.engine->readConfig(n);
        else if (kind == "write")
            op = b.engine->writeConfig(n, [](const QByteArray &current, QByteArray *record) {
                ConfigValues v = ConfigValues::fromRecord(current);
                v.ports[0].field[PortValues::Universe] = 9;
                return configcheck::buildSetConfig(v, record).refused() ? QStringLiteral("refused") : QString();
            });
        else if (kind == "default")
            op = b.engine->restoreDefaults(n);
        else if (kind == "run")
            op = b.engine->runApplication(n);
        else
            op = b.engine->upgradeAndVerify(n, UpgradeImage::check(upgradeFile("v2.05")));
        const NodeOperation::Result r = b.finished(op);
        QCOMPARE(b.count, 1);
        QFETCH(QString, reason);
        QVERIFY2(r.reason.startsWith(reason), qPrintable(r.reason));
        QTEST(int(r.status), "status");
        QVERIFY(op->awaiting().isEmpty());
        const QStringList words = b.emu.received(address);
        QCOMPARE(words.mid(0, received.size()), received);
        if (kind == "upgrade" && r.ok())
            QCOMPARE(r.version, QByteArray("v2.05"));
    }

    // Abort ends an operation at once, with how far it got, and nothing
    // more goes to the node; a second abort, or the engine's end, adds no
    // second result.
    void abortSaysHowFarItGot()
    {
        Bench b;
        QVERIFY(b.start({node(0, {{"delay-ms", QJsonObject{{"13", 5}}}})}));
        UpgradeOperation *op = b.engine->upgradeAndVerify(b.find("192.0.2.10"), UpgradeImage::check(upgradeFile("v2.05")));
        QSignalSpy spy(op, &NodeOperation::finished);
        QVERIFY(QTest::qWaitFor([&] { return b.emu.received("192.0.2.10").count("13") >= 20; }, 10000));
        op->abort();
        op->abort();
        QCOMPARE(spy.size(), 1);
        const NodeOperation::Result r = op->result();
        QCOMPARE(r.status, S::Aborted);
        QVERIFY2(QRegularExpression("^aborted while awaiting the acknowledgement of packet \\d+; erased, \\d+ of 256 "
                                    "packets written, not restarted$")
                     .match(r.reason)
                     .hasMatch(),
                 qPrintable(r.reason));
        QTest::qWait(200); // what was on its way still arrives
        const int packets = int(b.emu.received("192.0.2.10").count("13"));
        QTest::qWait(300);
        QCOMPARE(b.emu.received("192.0.2.10").count("13"), packets);
        b.engine.reset();
        QCOMPARE(spy.size(), 1);
    }

    // A node counts as upgraded only at the address it was upgraded at:
    // another reporting the same serial cannot stand in for it, either way.
    void verificationLooksAtTheNodeItUpgraded_data()
    {
        QTest::addColumn<bool>("takes");   // the upgraded node comes back with the new version
        QTest::addColumn<QString>("twin"); // the version its twin reports
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        QTest::newRow("old version, twin at the new one") << false << "v2.05" << int(S::NotVerified)
                                                          << "reports v1.00, not v2.05";
        QTest::newRow("new version, twin at the old one") << true << "v1.00" << int(S::Done) << "reports v2.05";
    }

    void verificationLooksAtTheNodeItUpgraded()
    {
        QFETCH(bool, takes);
        QFETCH(QString, twin);
        Bench b;
        QJsonObject upgraded = node(0, takes ? QJsonObject{} : QJsonObject{{"keep-version", true}});
        QJsonObject other = node(1);
        upgraded["serial"] = other["serial"] = "TWIN";
        other["version"] = twin;
        QVERIFY(b.start({upgraded, other}));
        const NodeInfo n = b.find("192.0.2.10");
        QVERIFY(n.sharedSerial);
        const NodeOperation::Result r = b.finished(b.engine->upgradeAndVerify(n, UpgradeImage::check(upgradeFile("v2.05"))));
        QTEST(int(r.status), "status");
        QTEST(r.reason, "reason");
    }
};

TARVO_ENGINE_TEST_MAIN(EngineOperations)
#include "tst_engine_operations.moc"
