#include "testmain.h"
#include "tst_upgrade_files.h"

#include "link/devicerecord.h"

namespace {

QByteArray upgradeFile(const QByteArray &version) { return buildUpgradeFile(fw::rawImage(version)).data; }

QString lastBox()
{
    const auto &boxes = ScriptedOperator::instance().boxes;
    return boxes.isEmpty() ? QString() : boxes.last().title + '/' + boxes.last().text;
}

} // namespace

class Upgrade : public QObject
{
    Q_OBJECT

private slots:
    void fullUpgradeLeavesTheImageOnTheNode()
    {
        Bench b;
        QVERIFY(b.start());
        const QByteArray file = upgradeFile("v2.05");
        b.upgrade(file);
        const auto &boxes = ScriptedOperator::instance().boxes;
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 20000));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), fw::decoded(file));
        QCOMPARE(b.emu.received("192.0.2.10").join(' '), "7 12 " + QStringList(256, "13").join(' ') + " 16 11");
        QVERIFY(Traces::contains("program transfer completed! 256") && Traces::contains("CRC OK"));

        QCOMPARE(boxes[0].text, QStringLiteral("Upgrading firmware, please wait..."));
        QVERIFY(boxes[0].buttons == QMessageBox::NoButton && boxes[0].modal);
        QCOMPARE(lastBox(), QStringLiteral("Upgrade firmware status/Firmware upgrade completed!"));
        QCOMPARE(boxes[1].defaultButton, QMessageBox::Ok);
        QVERIFY(!b.p->statusBox() && !b.p->operationTimer().isActive());
        QTRY_COMPARE(DeviceRecord::firmwareVersion(b.p->devices().value(0)), QByteArray("v2.05"));
    }

    void unsuitableFilesAreRefusedBeforeSending_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QString>("text");
        const QString damagedText = QStringLiteral("Upgrade file is damaged!");

        QByteArray damaged = upgradeFile("v2.05");
        damaged[100] = char(damaged[100] + 1);
        QTest::newRow("damaged") << damaged
                                 << QStringLiteral("CRC error: %1").arg(ImageInfo::checksum(fw::decoded(damaged))) << damagedText;
        QByteArray branded = fw::rawImage("v2.05", 1);
        const quint32 sum = imageChecksumQuiet(bytes(branded), ImageInfo::VerifiedSize);
        wire::putU32(branded, ImageInfo::ChecksumImageOffset, sum);
        encodeImage(bytes(branded), branded.size());
        QTest::newRow("brand 1") << branded << QStringLiteral("CRC error: %1").arg(sum) << damagedText;
        QTest::newRow("short") << upgradeFile("v2.05").left(131071) << "Upgrade file too short: 131071" << damagedText;
        QTest::newRow("same version") << upgradeFile("v1.00") << "Firmware version is the same!"
                                      << "Upgrade version is the same as current firmware version.";
    }

    void unsuitableFilesAreRefusedBeforeSending()
    {
        QFETCH(QByteArray, file);
        QFETCH(QString, trace);
        QFETCH(QString, text);
        Bench b;
        QVERIFY(b.start());
        b.upgrade(file);
        QCOMPARE(lastBox(), "Upgrade firmware status/" + text);
        QVERIFY(Traces::contains(trace));
        QTest::qWait(200);
        QCOMPARE(b.emu.received("192.0.2.10"), QStringList{"7"});
        QVERIFY(b.p->upgradeState() == Idle && !b.p->operationTimer().isActive());
    }

    void checksumMismatchReportsOnceAndStopsTheTimer()
    {
        Bench b;
        QVERIFY(b.start({{"wrong-crc", true}}));
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 15000));
        QCOMPARE(lastBox(), QStringLiteral("Upgrade firmware status/Firmware upgrade failed!"));
        QCOMPARE(ScriptedOperator::instance().boxes[1].icon, QMessageBox::Warning);
        QVERIFY(!b.p->operationTimer().isActive()); // so no time-out box follows
        QVERIFY(!b.p->statusBox() && b.p->upgradeState() == Idle);
        QVERIFY(!b.emu.received("192.0.2.10").contains("11"));
    }

    void stalledUpgradeEndsInTheTimeOut_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("stalled"); // the tool's trace once nothing more comes
        QTest::newRow("no erase reply") << QJsonObject{{"no-reply", QJsonArray{12}}} << "Erase Sector...";
        QTest::newRow("connection lost") << QJsonObject{{"drop-after-packet", 5}} << "disconnected";
    }

    void stalledUpgradeEndsInTheTimeOut()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(QString, stalled);
        Bench b;
        QVERIFY(b.start(faults));
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(Traces::waitFor(stalled));
        QTest::qWait(100);
        QVERIFY(b.p->upgradeState() != Idle && b.p->operationTimer().remainingTime() > 15000);
        QVERIFY(b.p->invoke("timerTimeout")); // what 20 s of silence would do
        QCOMPARE(lastBox(), QStringLiteral("Upgrade firmware status/Firmware upgrade timeout!"));
        QVERIFY(b.p->upgradeState() == Idle && !b.p->statusBox());
    }

    void acknowledgedNumberChoosesTheNextPacket_data()
    {
        QTest::addColumn<int>("at");
        QTest::addColumn<qint64>("number");
        QTest::addColumn<QString>("trace");
        QTest::addColumn<QList<qint64>>("packets");
        QTest::newRow("9 releases 10") << 3 << qint64(9) << "Program packet nr: 11" << QList<qint64>{0, 1, 2, 3, 10, 11};
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
        Bench b;
        QVERIFY(b.start({{"ack-packet", QJsonObject{{QString::number(at), number}}}}));
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(Traces::waitFor(trace));
        QTest::qWait(100);
        QCOMPARE(b.packets().mid(0, packets.size()), packets);
        QVERIFY(number >= 0 || b.packets().size() == 3);
    }

    void partialLastPacketIsZeroPadded()
    {
        Bench b;
        QVERIFY(b.start({{"no-reply", QJsonArray{11}}})); // spares the 5 s wait after the reset
        const QByteArray image = fw::decoded(upgradeFile("v2.05")) + QByteArray(100, char(0x5a));
        QByteArray file = image;
        encodeImage(bytes(file), file.size());
        b.upgrade(file);
        QVERIFY(b.emu.waitForLine(QStringLiteral("reset 192.0.2.10 v2.05"), 15000));
        QVERIFY(Traces::contains(QStringLiteral("program transfer completed! 257")));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), image + QByteArray(412, '\0'));
    }

    void repliesOutOfStepChangeNothing()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        for (UpgradeState state : {Idle, Programming, CrcRequested}) {
            p.upgradeState() = state;
            Traces::clear();
            p.handleMessage(wire::message(ResetDevice));
            p.handleMessage(wire::message(ReadCrc)); // no image loaded to compare with
            p.handleMessage(wire::message(state == Idle ? ProgramPacket : ResetDevice));
            QCOMPARE(p.upgradeState(), state);
            QCOMPARE(Traces::lines().filter(QRegularExpression("^(TCP message|CRC reply ignored)")), Traces::lines());
        }
        QVERIFY(ScriptedOperator::instance().boxes.isEmpty() && !p.statusBox());
    }
};

TARVO_TEST_MAIN(Upgrade)
#include "tst_upgrade.moc"
