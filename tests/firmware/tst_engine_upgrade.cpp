// The firmware upgrade as the engine runs it, without a window: against an
// emulated node, and fed literal replies with no connection at all.
#include "enginebench.h"
#include "enginetestmain.h"
#include "firmwarefiles.h"

#include "firmware/upgrademessage.h"

namespace {

QByteArray upgradeFile(const QByteArray &version) { return buildUpgradeFile(fw::rawImage(version)).data; }
UpgradeImage checkedImage(const QByteArray &version = "v2.05") { return UpgradeImage::check(upgradeFile(version)); }

using R = FirmwareUpgrade::Result;

// A packet acknowledgement as a node sends it: word 13, the number at 8.
QByteArray ack(qint32 number)
{
    QByteArray m(1024, '\0');
    m[0] = 0x0d;
    wire::putU32(m, 8, quint32(number));
    return m;
}

// A checksum reply: word 16, the sum at 67.
QByteArray crcReply(quint32 sum)
{
    QByteArray m(1024, '\0');
    m[0] = 0x10;
    wire::putU32(m, 67, sum);
    return m;
}

// An upgrade on a session without a connection, driven by the replies it
// is handed; the packets it sends are counted by their progress.
struct Driven {
    explicit Driven(const UpgradeOptions &options = {}) : upgrade(&session, options)
    {
        QObject::connect(&upgrade, &FirmwareUpgrade::progress, [this](qint64 sent, qint64) {
            packets.append(upgrade.packetNumber());
            Q_UNUSED(sent);
        });
        upgrade.start(image);
        session.dispatch(wire::message(EraseSector));
    }
    void acks(const QList<qint32> &numbers)
    {
        for (const qint32 n : numbers)
            session.dispatch(ack(n));
    }
    // Acknowledges every packet in order, up to the checksum reply.
    void writeAll()
    {
        for (qint32 n = 0; n < 256; ++n)
            session.dispatch(ack(n));
        session.dispatch(crcReply(imageChecksumQuiet(bytes(image.image), ImageInfo::VerifiedSize)));
    }
    NodeSession session;
    UpgradeImage image = checkedImage();
    FirmwareUpgrade upgrade;
    QList<qint64> packets;
};

} // namespace

class EngineUpgrade : public QObject
{
    Q_OBJECT

private slots:
    // However a node acknowledges, the traffic stays bounded, the image
    // lands whole, and the node's restart is awaited within a bound.
    void endsWithTheNodesAnswer_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("last"); // the last request the node received
        QTest::addColumn<int>("packets");  // ProgramPackets the node received at most
        QTest::newRow("restart confirmed") << QJsonObject{} << int(R::Completed) << "11" << 256;
        // Each acknowledgement may ask for a packet again, but no packet
        // goes out more than four times.
        QTest::newRow("every acknowledgement twice") << QJsonObject{{"ack-twice", true}} << int(R::Completed) << "11"
                                                     << 4 * 256 - 1;
        QTest::newRow("restart without a word") << QJsonObject{{"restart-silently", true}}
                                                << int(R::RestartUnconfirmed) << "11" << 256;
        QTest::newRow("restart never confirmed") << QJsonObject{{"no-reply", QJsonArray{11}}}
                                                 << int(R::RestartUnconfirmed) << "11" << 256;
        QTest::newRow("checksum differs") << QJsonObject{{"wrong-crc", true}} << int(R::ChecksumMismatch) << "16"
                                          << 256;
        // A node that sends only the fields is served at full pace: at 200
        // ms a reply, 258 of them would run into the guard.
        QTest::newRow("short replies") << QJsonObject{{"short-replies", 80}} << int(R::Completed) << "11" << 256;
        QTest::newRow("a short restart reply, then the close")
            << QJsonObject{{"short-replies", 80}, {"close-after-reply", 11}} << int(R::Completed) << "11" << 256;
        // A node asks for a packet again by repeating the acknowledgement
        // before it; one that repeats stale ones draws no more than 4 x.
        QTest::newRow("a packet refused once") << QJsonObject{{"refuse-packet", QJsonObject{{"5", 1}}}}
                                               << int(R::Completed) << "11" << 257;
        QTest::newRow("n-2 after every fifth") << QJsonObject{{"stale-acks", QJsonObject{{"every", 5}, {"back", 2}}}}
                                               << int(R::Completed) << "11" << 4 * 256 - 1;
        QTest::newRow("every second repeated") << QJsonObject{{"stale-acks", QJsonObject{{"every", 2}, {"back", 1}}}}
                                               << int(R::Completed) << "11" << 4 * 256 - 1;
        // While the node restarts, another firmware reply starts nothing:
        // the restart's bound ends the wait.
        QTest::newRow("an erase reply to the restart")
            << QJsonObject{{"reset-reply", QJsonObject{{"word", 12}}}} << int(R::RestartUnconfirmed) << "11" << 256;
        QTest::newRow("an acknowledgement of 255 to the restart")
            << QJsonObject{{"reset-reply", QJsonObject{{"word", 13}, {"number", 255}}}} << int(R::RestartUnconfirmed)
            << "11" << 256;
    }

    void endsWithTheNodesAnswer()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(int, result);
        QFETCH(QString, last);
        QFETCH(int, packets);
        EngineBench b(UpgradeOptions{20000, 300, 4, false}); // the restart's bound, shortened
        QVERIFY(b.start({EngineBench::node(faults)}));
        if (faults.contains("short-replies")) { // its configuration would never be whole: only connect
            QSignalSpy connected(b.session, &NodeSession::connected);
            b.session->connectToNode(QHostAddress(QStringLiteral("192.0.2.10")));
            QVERIFY(connected.wait(5000));
        } else {
            QVERIFY(b.connectTo());
        }
        QSignalSpy progress(b.upgrade, &FirmwareUpgrade::progress);
        const UpgradeImage image = checkedImage();
        b.upgrade->start(image);

        const EngineBench::Result r = b.result();
        QVERIFY(r.done);
        QCOMPARE(int(r.value), result);
        QCOMPARE(b.upgrade->state(), Idle);
        QVERIFY(!b.upgrade->guard().isActive() && !b.upgrade->resetGuard().isActive());
        QTRY_COMPARE(b.emu.received("192.0.2.10").last(), last);
        QVERIFY2(b.packets().size() >= 256 && b.packets().size() <= packets, qPrintable(QString::number(b.packets().size())));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), image.image);
        qint64 most = 0;
        for (const QList<QVariant> &p : progress)
            most = qMax(most, p.at(0).toLongLong());
        QCOMPARE(most, qint64(256));
    }

    // The acknowledged number chooses the next packet, whatever was sent
    // before: a node asks again by repeating an acknowledgement.
    void acknowledgedNumberChoosesTheNextPacket_data()
    {
        QTest::addColumn<QList<qint32>>("acks");
        QTest::addColumn<QList<qint64>>("packets");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<qint64>("written"); // acknowledged packets that were sent, each once
        QTest::newRow("9 releases 10") << QList<qint32>{0, 9} << QList<qint64>{0, 1, 10} << "Program packet nr: 10"
                                       << qint64(1);
        QTest::newRow("a repeated one asks again") << QList<qint32>{0, 1, 1, 2} << QList<qint64>{0, 1, 2, 2, 3}
                                                   << "Program packet nr: 3" << qint64(3);
        QTest::newRow("backward resends") << QList<qint32>{0, 1, 2, 0} << QList<qint64>{0, 1, 2, 3, 1}
                                          << "Program packet nr: 3" << qint64(3);
        QTest::newRow("minus one brings packet 0") << QList<qint32>{-1} << QList<qint64>{0, 0} << "Program packet nr: 0"
                                                   << qint64(0);
        QTest::newRow("below minus one") << QList<qint32>{-2} << QList<qint64>{0} << "Invalid packet number: -2"
                                         << qint64(0);
        QTest::newRow("four times at most") << QList<qint32>{0, 0, 0, 0, 0, 0} << QList<qint64>{0, 1, 1, 1, 1}
                                            << "Packet sent 4 times, not again: 1" << qint64(1);
        QTest::newRow("beyond the image") << QList<qint32>{INT_MAX} << QList<qint64>{0}
                                          << "program transfer completed! 2147483648" << qint64(0);
    }

    void acknowledgedNumberChoosesTheNextPacket()
    {
        QFETCH(QList<qint32>, acks);
        Driven d;
        Traces::clear();
        d.acks(acks);
        QTEST(d.packets, "packets");
        QFETCH(QString, trace);
        QCOMPARE(Traces::count(trace), 1);
        QTEST(d.upgrade.packetsWritten(), "written");
    }

    // While the node restarts only its confirmation counts: a stray erase
    // reply, packet acknowledgement or checksum reply changes nothing, and
    // the restart's bound still ends the wait.
    void whileTheNodeRestartsOnlyItsConfirmationCounts()
    {
        Driven d(UpgradeOptions{20000, 200, 4, false});
        QSignalSpy finished(&d.upgrade, &FirmwareUpgrade::finished);
        d.writeAll();
        QCOMPARE(d.upgrade.state(), ResetRequested);
        const qint64 sent = d.upgrade.packetsSent();
        Traces::clear();
        d.session.dispatch(wire::message(EraseSector));
        d.acks({255});
        d.session.dispatch(crcReply(1));
        QCOMPARE(Traces::lines().filter("Reply ignored while the device restarts").size(), 3);
        QCOMPARE(d.upgrade.state(), ResetRequested);
        QCOMPARE(d.upgrade.packetsSent(), sent);
        QVERIFY(finished.wait(2000));
        QCOMPARE(finished.first().at(0).value<R>(), R::RestartUnconfirmed);
        QCOMPARE(d.upgrade.progressText(), QStringLiteral("erased, 256 of 256 packets written, checksum matched, "
                                                          "restart requested"));
    }

    // Replies out of step: the window takes an erase reply in any step, an
    // operation only the one it awaits.
    void repliesOutOfStep()
    {
        NodeSession session;
        FirmwareUpgrade window(&session);
        QSignalSpy finished(&window, &FirmwareUpgrade::finished);
        Traces::clear();
        session.dispatch(wire::message(ResetDevice));
        session.dispatch(crcReply(0)); // no image loaded to compare with
        session.dispatch(ack(3));
        QCOMPARE(window.state(), Idle);
        QCOMPARE(Traces::lines().filter(QRegularExpression("^(TCP message|CRC reply ignored)")), Traces::lines());
        session.dispatch(wire::message(EraseSector)); // with no checked file nothing is sent
        QVERIFY(Traces::contains(QStringLiteral("Error opening file!")));
        QVERIFY(finished.isEmpty());

        Driven strict(UpgradeOptions{20000, 10000, 4, true});
        strict.acks({0});
        strict.session.dispatch(wire::message(EraseSector)); // in Programming: not awaited
        QCOMPARE(strict.packets, (QList<qint64>{0, 1}));
        QCOMPARE(strict.upgrade.state(), Programming);
    }

    void partialLastPacketIsZeroPadded()
    {
        EngineBench b;
        QVERIFY(b.start());
        QVERIFY(b.connectTo());
        const QByteArray image = fw::decoded(upgradeFile("v2.05")) + QByteArray(100, char(0x5a));
        QByteArray file = image;
        encodeImage(bytes(file), file.size());
        b.upgrade->start(UpgradeImage::check(file));
        QVERIFY(b.result().done);
        QVERIFY(Traces::contains(QStringLiteral("program transfer completed! 257")));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), image + QByteArray(412, '\0'));
    }
};

TARVO_ENGINE_TEST_MAIN(EngineUpgrade)
#include "tst_engine_upgrade.moc"
