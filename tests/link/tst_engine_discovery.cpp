// Discovery as the engine runs it, without a window, against emulated nodes.
#include "enginebench.h"
#include "enginetestmain.h"
#include "wait.h"

#include "link/devicerecord.h"

#include <QUdpSocket>

namespace {

bool waitForRecords(const Discovery &d, int n, int timeoutMs = 10000)
{
    return QTest::qWaitFor([&] { return d.count() >= n; }, timeoutMs);
}

} // namespace

class EngineDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void shortGarbageAndForeignDatagramsAreDropped()
    {
        EngineBench b;
        QJsonObject n = EngineBench::node({{"extra-datagrams", QJsonArray{"short", "tiny", "garbage"}}});
        QVERIFY(b.start({n}));
        b.discovery->search();
        // The short reply (281 bytes) and the garbage one carry command 1 and
        // are traced; the 3-byte one has no command word and is not. Once
        // all three are judged, one node is kept.
        QVERIFY(waitUntil([] { return Traces::count("Discovery response:") == 3; }, 5000));
        QCOMPARE(b.discovery->count(), 1);
        QCOMPARE(b.discovery->nodes().at(0).serial, QByteArray("15050010"));
        QVERIFY(Traces::contains("Datagram size: 281"));

        // A request (command 0), such as the tool's own broadcast, is silent:
        // of it and the reply sent behind it from the same socket, only the
        // reply is traced. A reply longer than its record is traced at its
        // own size and kept as its first 512 bytes.
        Traces::clear();
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress("192.0.2.1"), 0));
        other.writeDatagram(QByteArray(DeviceRecord::Size, '\0'), QHostAddress("192.0.2.1"), DiscoveryPort);
        QByteArray longReply(1400, 'x');
        wire::putU32(longReply, DeviceRecord::CommandOffset, DiscoveryReply);
        wire::putU32(longReply, DeviceRecord::TypeOffset, DeviceRecord::DeviceTypeApplication);
        wire::putText(longReply, DeviceRecord::SerialOffset, DeviceRecord::SerialSize, "LONG1");
        wire::putU16(longReply, DeviceRecord::StatusOffset, 0);
        other.writeDatagram(longReply, QHostAddress("192.0.2.1"), DiscoveryPort);
        QVERIFY(waitForRecords(*b.discovery, 2));
        QCOMPARE(Traces::count("Discovery response:"), 1);
        QVERIFY(Traces::contains("Datagram size: 1400"));
        QCOMPARE(b.discovery->nodes().at(1).record, longReply.left(DeviceRecord::Size));
    }

    void manyNodesAreAllKept()
    {
        const int count = 200;
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", QString::number(count), "--first-ip", "192.0.2.10"}));
        Discovery discovery;
        QVERIFY(discovery.bind(QHostAddress("192.0.2.1")));
        // A second program on the same address is refused the port, rather
        // than sharing it and taking a part of the replies unseen.
        Discovery second;
        QVERIFY(!second.bind(QHostAddress("192.0.2.1")));
        discovery.search();
        QVERIFY(waitForRecords(discovery, count));
        QCOMPARE(discovery.count(), count);
    }

    // The first reply of a serial wins, so replies are judged in the order
    // they came, across the sockets that share the port, even while the
    // reader waits for a busy processor.
    void repliesAreJudgedInTheOrderTheyCame()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "64", "--first-ip", "192.0.2.10"}));
        QProcess busy;
        busy.start("sh", {"-c", "while :; do :; done"});
        QVERIFY(busy.waitForStarted());
        Discovery discovery;
        QVERIFY(discovery.bind(QHostAddress("192.0.2.1")));
        QStringList inOrder;
        for (int i = 0; i < 64; ++i)
            inOrder.append(QStringLiteral("192.0.2.%1").arg(10 + i));
        int searches = 0;
        for (; searches < 50; ++searches) {
            discovery.search();
            QVERIFY(waitForRecords(discovery, 64));
            QStringList order;
            for (const NodeInfo &n : discovery.nodes())
                order.append(n.address.toString());
            if (order != inOrder)
                break;
        }
        busy.kill();
        busy.waitForFinished();
        QCOMPARE(searches, 50);
    }

    // Nodes that report one serial: the window keeps the first reply only;
    // a program that keeps each address sees each, marked, even two on one
    // address (told apart by their MAC addresses), and the same node heard
    // twice still once. A search with a window ends.
    void nodesSharingASerial_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<QStringList>("kept"); // address and whether marked
        QTest::newRow("first per serial") << int(DiscoveryOptions::Keep::FirstPerSerial)
                                          << QStringList{"192.0.2.10 0", "192.0.2.12 0"};
        QTest::newRow("each address") << int(DiscoveryOptions::Keep::EachAddress)
                                      << QStringList{"192.0.2.10 1", "192.0.2.10 1", "192.0.2.11 1", "192.0.2.12 0"};
    }

    void nodesSharingASerial()
    {
        QFETCH(int, keep);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({QJsonObject{{"ip", "192.0.2.10"}, {"serial", "TWIN"}},
                                QJsonObject{{"ip", "192.0.2.11"}, {"serial", "TWIN"}, {"faults", QJsonObject{{"discovery-delay-ms", 50}}}},
                                QJsonObject{{"ip", "192.0.2.12"}, {"serial", "ONCE"}, {"faults", QJsonObject{{"duplicate-reply", true}}}},
                                QJsonObject{{"ip", "192.0.2.10"}, {"serial", "TWIN"}, {"mac", "02:00:5e:00:00:0d"},
                                            {"faults", QJsonObject{{"discovery-delay-ms", 20}}}}}));
        Discovery discovery(nullptr, Wiring::Internal, DiscoveryOptions{DiscoveryOptions::Keep(keep)});
        QVERIFY(discovery.bind(QHostAddress("192.0.2.1")));
        QSignalSpy ended(&discovery, &Discovery::searchFinished);
        discovery.search(500);
        QVERIFY(ended.wait(2000));
        QStringList kept;
        for (const NodeInfo &n : discovery.nodes())
            kept.append(n.address.toString() + (n.sharedSerial ? " 1" : " 0"));
        kept.sort();
        QTEST(kept, "kept");
    }

    // A flood of replies, each with a serial of its own: the list stops at
    // its bound, and the event loop gets its turn between slices.
    void aFloodIsBoundedAndLetsTheLoopRun()
    {
        EngineBench b;
        QVERIFY(b.start({EngineBench::node({{"discovery-flood", QJsonObject{{"rate", 20000}, {"count", 10500}}}})}));
        int run = 0, longestRun = 0;
        QObject::connect(b.discovery, &Discovery::nodeFound, [&] { longestRun = qMax(longestRun, ++run); });
        QTimer turn;
        QObject::connect(&turn, &QTimer::timeout, [&] { run = 0; });
        turn.start(0);
        b.discovery->search();
        QVERIFY(b.emu.waitForLine(QStringLiteral("flood-done 192.0.2.10 10500"), 20000));
        QVERIFY(QTest::qWaitFor([&] { return Traces::count(QStringLiteral("Discovery response:")) == 10501; }, 10000));
        QCOMPARE(b.discovery->count(), int(Discovery::MaxEntries));
        QCOMPARE(Traces::count(QStringLiteral("Discovery list full: 10000")), 1);
        QVERIFY2(longestRun <= Discovery::SliceDatagrams, qPrintable(QString::number(longestRun)));
    }
};

TARVO_ENGINE_TEST_MAIN(EngineDiscovery)
#include "tst_engine_discovery.moc"
