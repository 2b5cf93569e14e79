// The engine's operations, without a window, against emulated nodes: each
// ends with exactly one finished(), says what happened, and never calls a
// write done that the node did not acknowledge.
#include "enginetestmain.h"
#include "emulator.h"
#include "firmwarefiles.h"

#include "config/configvalues.h"
#include "engine/nodeengine.h"

#include <QSignalSpy>

namespace {

using S = NodeOperation::Status;
using E = NodeOperation::Effect;

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
        EngineOptions o;
        o.operation.connectTimeoutMs = o.operation.replyTimeoutMs = 500;
        o.config.writeTimeoutMs = 400;
        o.operation.verifyTimeoutMs = 6000; // room for a loaded machine; the rows that expect no verification wait it out
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
    // Waits for the operation's end; then what is queued runs, and an
    // abort, which would have to come before any second finished(). The
    // spy is connected only once the caller has the operation, as any
    // client's would be.
    NodeOperation::Result finished(NodeOperation *op, int timeoutMs = 30000)
    {
        QSignalSpy spy(op, &NodeOperation::finished);
        spy.wait(timeoutMs);
        QCoreApplication::sendPostedEvents();
        op->abort();
        count = int(spy.size());
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
        QTest::addColumn<int>("effect");           // what the node may hold now
        QTest::newRow("read") << "read" << QJsonObject{} << int(S::Done) << "read" << QStringList{"7"} << int(E::Untouched);
        QTest::newRow("read, node silent") << "read" << QJsonObject{{"no-reply", QJsonArray{7}}} << int(S::TimedOut)
                                           << "no configuration (GetConfig reply) within 500 ms" << QStringList{"7"} << int(E::Untouched);
        QTest::newRow("write") << "write" << QJsonObject{} << int(S::Done) << "written" << QStringList{"7", "8"} << int(E::Written);
        // An acknowledgement sent before anything was asked answers nothing.
        QTest::newRow("write, early acknowledgement")
            << "write" << QJsonObject{{"send-on-connect", QJsonArray{8}}, {"no-reply", QJsonArray{8}}} << int(S::TimedOut)
            << "no SetConfig acknowledgement within 400 ms" << QStringList{"7", "8"} << int(E::MayHaveChanged);
        // The node acknowledges, but with other values than were sent.
        QTest::newRow("write, acknowledged otherwise")
            << "write" << QJsonObject{{"config-words", QJsonObject{{"108", 0}}}} << int(S::TimedOut)
            << "no SetConfig acknowledgement within 400 ms; one that carried other values was ignored"
            << QStringList{"7", "8"} << int(E::MayHaveChanged);
        QTest::newRow("write, node drops")
            << "write" << QJsonObject{{"close-after", 2}} << int(S::ConnectionLost)
            << "the node closed the connection before it acknowledged SetConfig" << QStringList{"7", "8"} << int(E::MayHaveChanged);
        QTest::newRow("default") << "default" << QJsonObject{{"send-on-connect", QJsonArray{8}}} << int(S::Done)
                                 << "factory configuration applied" << QStringList{"7", "9"} << int(E::Written);
        QTest::newRow("default that moves") << "default" << QJsonObject{{"factory-ip", "192.0.2.60"}, {"move", true}} << int(S::Done)
                                            << "factory configuration applied; the node now answers at 192.0.2.60"
                                            << QStringList{"7", "9"} << int(E::Verified);
        QTest::newRow("run") << "run" << QJsonObject{} << int(S::Done) << "application started"
                             << QStringList{"15"} << int(E::Verified);
        QTest::newRow("upgrade") << "upgrade" << QJsonObject{} << int(S::Done) << "reports v2.05" << QStringList{"12"} << int(E::Verified);
        QTest::newRow("upgrade, restart dropped")
            << "upgrade" << QJsonObject{{"restart-silently", true}} << int(S::Done)
            << "reports v2.05; its restart was not confirmed" << QStringList{"12"} << int(E::Verified);
        QTest::newRow("upgrade, checksum differs")
            << "upgrade" << QJsonObject{{"wrong-crc", true}} << int(S::Refused)
            << "Firmware upgrade failed! The node's checksum differs; it was not restarted" << QStringList{"12"} << int(E::MayBeIncomplete);
        QTest::newRow("nothing listens") << "read@192.0.2.1" << QJsonObject{} << int(S::ConnectionLost)
                                         << "cannot connect: Connection refused" << QStringList{} << int(E::Untouched);
        // The connection fails inside the call that starts it: the end still
        // reaches whoever connected to finished() afterwards.
        QTest::newRow("no route") << "read@198.51.100.7" << QJsonObject{} << int(S::ConnectionLost)
                                  << "cannot connect: Network unreachable" << QStringList{} << int(E::Untouched);
        QTest::newRow("read, cut short") << "read" << QJsonObject{{"short-replies", 200}} << int(S::TimedOut)
                                         << "no configuration (GetConfig reply) within 500 ms" << QStringList{"7"}
                                         << int(E::Untouched);
        // A reply that came before its request was written answers nothing,
        // even where it carries the very values sent.
        QTest::newRow("rewrite, acknowledgement behind the read")
            << "rewrite" << QJsonObject{{"early-ack", true}, {"no-reply", QJsonArray{8}}} << int(S::TimedOut)
            << "no SetConfig acknowledgement within 400 ms; the node may have stored it" << QStringList{"7", "8"}
            << int(E::MayHaveChanged);
        QTest::newRow("default, its reply behind the read")
            << "default" << QJsonObject{{"append", 9}, {"no-reply", QJsonArray{9}}} << int(S::TimedOut)
            << "no factory configuration (DefaultConfig reply) within 500 ms; the node may have restored it"
            << QStringList{"7", "9"} << int(E::MayHaveChanged);
        // Another gateway leaves the connection; only discovery showing it
        // proves the write, whatever address the node answers from.
        QTest::newRow("gateway only") << "gateway" << QJsonObject{} << int(S::Done)
                                      << "written; the node now answers at 192.0.2.10" << QStringList{"7", "8"}
                                      << int(E::Verified);
        QTest::newRow("gateway only, dropped")
            << "gateway" << QJsonObject{{"close-after", 2}} << int(S::NotVerified)
            << "sent, but the node reports 192.0.2.10 mask 255.255.255.0 gateway 192.0.2.254, not 192.0.2.10 mask "
               "255.255.255.0 gateway 192.0.2.1; not known to be written"
            << QStringList{"7", "8"} << int(E::MayHaveChanged);
        // A ResetDevice reply that comes, a moment after each reply, while
        // the packets are still going out ends nothing. One of them may
        // answer the restart request, and more come after the close: the
        // node still reads the request (a reset connection would lose it).
        QTest::newRow("upgrade, a restart reply behind every reply")
            << "upgrade" << QJsonObject{{"append", 11}, {"split-at", 1024}, {"split-pause-ms", 20}} << int(S::Done)
            << "reports v2.05" << QStringList{"12"} << int(E::Verified);
        // Another gateway closes at once: the node's flood after the read
        // does not turn the close into a reset that loses SetConfig.
        QTest::newRow("gateway only, a flood behind the read")
            << "gateway" << QJsonObject{{"flood-after", QJsonObject{{"word", 7}, {"megabytes", 1}}}} << int(S::Done)
            << "written; the node now answers at 192.0.2.10" << QStringList{"7", "8"} << int(E::Verified);

        // Once connected, the node's reset is a lost connection with how far
        // it got, not a failure to connect.
        QTest::newRow("upgrade, the node drops the connection")
            << "upgrade" << QJsonObject{{"drop-after-packet", 10}} << int(S::ConnectionLost)
            << "the node closed the connection while awaiting the acknowledgement of packet 10; erased, 10 of 256 "
               "packets written, not restarted"
            << QStringList{"12"} << int(E::MayBeIncomplete);
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
        else if (kind == "write" || kind == "rewrite" || kind == "gateway")
            op = b.engine->writeConfig(n, [kind](const QByteArray &current, QByteArray *record) {
                ConfigValues v = ConfigValues::fromRecord(current);
                if (kind == "write")
                    v.ports[0].field[PortValues::Universe] = 9;
                if (kind == "gateway")
                    v.gateway = QStringLiteral("192.0.2.1");
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
        QTEST(int(r.effect), "effect");
        if (r.ok()) {
            QTest::qWait(50);
            QVERIFY(!b.emu.lines().contains("peer-reset " + address));
        }
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
        QSignalSpy sent(op, &NodeOperation::progress); // one a packet that left
        QVERIFY(QTest::qWaitFor([&] { return b.emu.received("192.0.2.10").count("13") >= 20; }, 10000));
        op->abort();
        const int packets = int(sent.size());
        op->abort();
        QCOMPARE(spy.size(), 1);
        const NodeOperation::Result r = op->result();
        QCOMPARE(r.status, S::Aborted);
        QVERIFY2(QRegularExpression("^aborted while awaiting the acknowledgement of packet \\d+; erased, \\d+ of 256 "
                                    "packets written, not restarted$")
                     .match(r.reason)
                     .hasMatch(),
                 qPrintable(r.reason));
        // Once the node saw the connection end, it has what left before the
        // abort, and nothing more.
        QVERIFY(b.emu.waitForLine(QStringLiteral("disconnected 192.0.2.10")));
        QCOMPARE(b.emu.received("192.0.2.10").count("13"), packets);
        QCOMPARE(sent.size(), packets);
        b.engine.reset();
        QCOMPARE(spy.size(), 1);
    }

    // What an upgrade awaits is named by the step it is in: once the erase is
    // answered, packet 0's acknowledgement (what a stalled run tells).
    void awaitingNamesTheStep()
    {
        Bench b;
        QVERIFY(b.start({node(0, {{"no-reply", QJsonArray{13}}})}));
        UpgradeOperation *op = b.engine->upgradeAndVerify(b.find("192.0.2.10"), UpgradeImage::check(upgradeFile("v2.05")));
        QVERIFY(QTest::qWaitFor([&] { return b.emu.received("192.0.2.10").contains("13"); }, 5000));
        QCOMPARE(op->awaiting(), QStringLiteral("the acknowledgement of packet 0"));
        op->abort();
        QCOMPARE(op->result().effect, E::MayBeIncomplete);
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

    // A move is verified by the node that was written, told apart from its
    // twin (the same serial) by its MAC address; twins that share that too
    // cannot be told apart, and nothing is claimed.
    void aMoveIsVerifiedByTheNodeWritten_data()
    {
        QTest::addColumn<QString>("twinMac");
        QTest::addColumn<QJsonObject>("faults"); // of the node written
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("reason");
        // The address is the twin's: the node written cannot take it, and
        // says so by answering where it was.
        QTest::newRow("onto its twin's address") << "02:00:00:00:00:0b" << QJsonObject{} << int(S::Done)
                                                 << "written; the node reports 192.0.2.11, and still answers at 192.0.2.10";
        QTest::newRow("onto its twin's address, dropped")
            << "02:00:00:00:00:0b" << QJsonObject{{"close-after", 2}} << int(S::NotVerified)
            << "sent, but the node reports 192.0.2.10 mask 255.255.255.0 gateway 192.0.2.254, not 192.0.2.11 mask "
               "255.255.255.0 gateway 192.0.2.254; not known to be written";
        QTest::newRow("twins with one MAC address")
            << "02:00:00:00:00:0a" << QJsonObject{} << int(S::NotVerified)
            << "another node reports its serial and MAC address (TWIN, at 192.0.2.11): the two cannot be told apart; "
               "sent; not known to be written";
    }

    void aMoveIsVerifiedByTheNodeWritten()
    {
        QFETCH(QString, twinMac);
        QFETCH(QJsonObject, faults);
        Bench b;
        QJsonObject written = node(0, faults), twin = node(1);
        written["serial"] = twin["serial"] = "TWIN";
        written["mac"] = "02:00:00:00:00:0a";
        twin["mac"] = twinMac;
        QVERIFY(b.start({written, twin}));
        const NodeInfo n = b.find("192.0.2.10");
        const NodeOperation::Result r = b.finished(b.engine->writeConfig(n, [](const QByteArray &current, QByteArray *record) {
            ConfigValues v = ConfigValues::fromRecord(current);
            v.ip = QStringLiteral("192.0.2.11");
            return configcheck::buildSetConfig(v, record).refused() ? QStringLiteral("refused") : QString();
        }));
        QTEST(int(r.status), "status");
        QTEST(r.reason, "reason");
    }

    // Nodes upgraded side by side are verified each by its own reply: one
    // that came back at its old version is not taken for done.
    void sideBySideEachIsVerifiedByItsOwnReply()
    {
        Bench b;
        QVERIFY(b.start({node(0, {{"keep-version", true}}), node(1), node(2)}));
        b.find("192.0.2.10");
        const QVector<NodeInfo> found = b.engine->discovery()->nodes();
        QCOMPARE(found.size(), 3);
        const UpgradeImage image = UpgradeImage::check(upgradeFile("v2.05"));
        QList<NodeOperation *> ops;
        for (const NodeInfo &n : found)
            ops.append(b.engine->upgradeAndVerify(n, image));
        QVERIFY(QTest::qWaitFor([&] { return std::all_of(ops.cbegin(), ops.cend(), [](NodeOperation *op) { return op->isFinished(); }); }, 30000));
        QStringList results;
        for (NodeOperation *op : ops)
            results.append(op->node().address.toString() + ": " + NodeOperation::statusName(op->result().status) + ", " +
                           op->result().reason);
        results.sort();
        QCOMPARE(results, (QStringList{"192.0.2.10: not verified, reports v1.00, not v2.05", "192.0.2.11: done, reports v2.05",
                                       "192.0.2.12: done, reports v2.05"}));
    }
};

TARVO_ENGINE_TEST_MAIN(EngineOperations)
#include "tst_engine_operations.moc"
