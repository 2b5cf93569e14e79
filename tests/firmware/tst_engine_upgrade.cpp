// The firmware upgrade as the engine runs it, without a window, against an
// emulated node.
#include "enginebench.h"
#include "enginetestmain.h"
#include "firmwarefiles.h"

#include "firmware/upgrademessage.h"

namespace {

QByteArray upgradeFile(const QByteArray &version) { return buildUpgradeFile(fw::rawImage(version)).data; }

using R = FirmwareUpgrade::Result;

} // namespace

class EngineUpgrade : public QObject
{
    Q_OBJECT

private slots:
    // However a node acknowledges, the traffic stays one packet per packet
    // of the file, and the node's restart is awaited within a bound.
    void endsWithTheNodesAnswer_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("last"); // the last request the node received
        QTest::newRow("restart confirmed") << QJsonObject{} << int(R::Completed) << "11";
        QTest::newRow("every acknowledgement twice") << QJsonObject{{"ack-twice", true}} << int(R::Completed) << "11";
        QTest::newRow("restart without a word") << QJsonObject{{"restart-silently", true}}
                                                << int(R::RestartUnconfirmed) << "11";
        QTest::newRow("restart never confirmed") << QJsonObject{{"no-reply", QJsonArray{11}}}
                                                 << int(R::RestartUnconfirmed) << "11";
        QTest::newRow("checksum differs") << QJsonObject{{"wrong-crc", true}} << int(R::ChecksumMismatch) << "16";
    }

    void endsWithTheNodesAnswer()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(int, result);
        QFETCH(QString, last);
        EngineBench b;
        QVERIFY(b.start({EngineBench::node(faults)}));
        QVERIFY(b.connectTo());
        QCOMPARE(b.upgrade->resetGuardTimer().interval(), 10000);
        b.upgrade->resetGuardTimer().setInterval(300); // the bound itself, shortened
        QSignalSpy progress(b.upgrade, &FirmwareUpgrade::progress);
        const QByteArray file = upgradeFile("v2.05");
        b.upgrade->start(file);

        const EngineBench::Result r = b.result();
        QVERIFY(r.done);
        QCOMPARE(int(r.value), result);
        QCOMPARE(b.session->upgradeState(), Idle);
        QVERIFY(!b.session->operationTimer().isActive() && !b.upgrade->resetGuardTimer().isActive());
        QTRY_COMPARE(b.emu.received("192.0.2.10").last(), last);
        QList<qint64> each;
        for (qint64 n = 0; n < 256; ++n)
            each.append(n);
        QCOMPARE(b.packets(), each);
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), fw::decoded(file));
        QCOMPARE(progress.size(), 256);
        QCOMPARE(progress.last(), (QList<QVariant>{qint64(256), qint64(256)}));
    }

    void acknowledgedNumberChoosesTheNextPacket_data()
    {
        QTest::addColumn<int>("at");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QList<qint64>>("packets");
        QTest::newRow("9 releases 10") << 3 << qint64(9) << "Program packet nr: 11" << QList<qint64>{0, 1, 2, 3, 10, 11};
        QTest::newRow("backward resends") << 5 << qint64(2) << "Program packet nr: 4" << QList<qint64>{0, 1, 2, 3, 4, 5, 3, 4};
        QTest::newRow("negative") << 2 << qint64(-1) << "Invalid packet number: -1" << QList<qint64>{0, 1, 2};
        QTest::newRow("beyond the image") << 1 << qint64(INT_MAX) << "program transfer completed! 2147483648"
                                          << QList<qint64>{0, 1};
    }

    void acknowledgedNumberChoosesTheNextPacket()
    {
        QFETCH(int, at);
        QFETCH(qint64, number);
        QFETCH(QString, trace);
        QFETCH(QList<qint64>, packets);
        EngineBench b;
        QVERIFY(b.start({EngineBench::node({{"ack-packet", QJsonObject{{QString::number(at), number}}}})}));
        QVERIFY(b.connectTo());
        b.upgrade->start(upgradeFile("v2.05"));
        QVERIFY(Traces::waitFor(trace));
        QTest::qWait(100);
        QCOMPARE(b.packets().mid(0, packets.size()), packets);
        QVERIFY(number >= 0 || b.packets().size() == 3);
    }

    void partialLastPacketIsZeroPadded()
    {
        EngineBench b;
        QVERIFY(b.start());
        QVERIFY(b.connectTo());
        const QByteArray image = fw::decoded(upgradeFile("v2.05")) + QByteArray(100, char(0x5a));
        QByteArray file = image;
        encodeImage(bytes(file), file.size());
        b.upgrade->start(file);
        QVERIFY(b.result().done);
        QVERIFY(Traces::contains(QStringLiteral("program transfer completed! 257")));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), image + QByteArray(412, '\0'));
    }

    // Replies that come out of step, without a connection at all.
    void repliesOutOfStepChangeNothing()
    {
        NodeSession session;
        FirmwareUpgrade upgrade(&session);
        QSignalSpy finished(&upgrade, &FirmwareUpgrade::finished);
        for (UpgradeState state : {Idle, Programming, CrcRequested}) {
            session.upgradeState() = state;
            Traces::clear();
            session.dispatch(wire::message(ResetDevice));
            session.dispatch(wire::message(ReadCrc)); // no image loaded to compare with
            session.dispatch(wire::message(state == Idle ? ProgramPacket : ResetDevice));
            QCOMPARE(session.upgradeState(), state);
            QCOMPARE(Traces::lines().filter(QRegularExpression("^(TCP message|CRC reply ignored)")), Traces::lines());
        }
        // An erase reply with no checked file sends nothing.
        session.dispatch(wire::message(EraseSector));
        QVERIFY(Traces::contains(QStringLiteral("Error opening file!")));
        QCOMPARE(session.upgradeState(), CrcRequested);
        QVERIFY(finished.isEmpty());
    }
};

TARVO_ENGINE_TEST_MAIN(EngineUpgrade)
#include "tst_engine_upgrade.moc"
