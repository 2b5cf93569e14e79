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
        // The progress box carries a bar that follows the packets sent.
        QPointer<QProgressBar> bar = b.p->upgradeProgress();
        QVERIFY(bar && bar->parent() == b.p->statusBox());
        QCOMPARE(bar->maximum(), 256);
        int shown = 0;
        QObject::connect(bar, &QProgressBar::valueChanged, [&shown](int v) { shown = qMax(shown, v); });
        const auto &boxes = ScriptedOperator::instance().boxes;
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 20000));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), fw::decoded(file));
        QCOMPARE(b.emu.received("192.0.2.10").join(' '), "7 12 " + QStringList(256, "13").join(' ') + " 16 11");
        QVERIFY(Traces::contains("program transfer completed! 256") && Traces::contains("CRC OK"));

        QCOMPARE(shown, 256);
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
        QTest::newRow("too large") << upgradeFile("v2.05") + QByteArray(512 * 1024 + 1 - 131072, 'x')
                                   << "Upgrade file too large: 524289" << damagedText;
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

    // The file is read once: what passed the checks is what the node gets,
    // whatever happens to the file on disk while the node erases.
    void theCheckedBytesAreSent_data()
    {
        QTest::addColumn<QByteArray>("replacement"); // empty: the file is removed
        QTest::newRow("replaced") << upgradeFile("v3.00");
        QTest::newRow("cut") << upgradeFile("v2.05").left(1000);
        QTest::newRow("removed") << QByteArray();
    }

    void theCheckedBytesAreSent()
    {
        QFETCH(QByteArray, replacement);
        Bench b;
        QVERIFY(b.start({{"erase-delay-ms", 300}, {"no-reply", QJsonArray{11}}}));
        const QByteArray file = upgradeFile("v2.05");
        b.upgrade(file);
        const QString path = b.dir.filePath(QStringLiteral("fw.upg"));
        if (replacement.isEmpty())
            QVERIFY(QFile::remove(path));
        else
            QVERIFY(!fw::writeFile(b.dir.path(), QStringLiteral("fw.upg"), replacement).isEmpty());
        QVERIFY(Traces::waitFor(QStringLiteral("CRC OK"), 15000));
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), fw::decoded(file));
    }

    // A node that restarts without confirming it leaves no operator waiting.
    void anUnconfirmedRestartEndsTheWait()
    {
        Bench b;
        QVERIFY(b.start({{"restart-silently", true}}));
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 20000));
        QCOMPARE(lastBox(), QStringLiteral("Upgrade firmware status/Firmware written and verified, but the device did "
                                           "not confirm its restart. Search again if it is not listed."));
        QCOMPARE(ScriptedOperator::instance().boxes[1].icon, QMessageBox::Warning);
        QVERIFY(!b.p->statusBox() && b.p->upgradeState() == Idle);
        QVERIFY(Traces::since(QStringLiteral("Reset not confirmed")).contains(QStringLiteral("Discovery msg sended.")));
    }

    // Nodes that answer with the fields alone, or end their restart their
    // own way, are upgraded to the end, and told as they are.
    void nodesThatAnswerTheirOwnWay_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("result");
        const QString completed = QStringLiteral("Firmware upgrade completed!");
        QTest::newRow("replies cut to 280 bytes") << QJsonObject{{"short-replies", 280}} << completed;
        QTest::newRow("a short restart reply, then the close")
            << QJsonObject{{"short-replies", 280}, {"close-after-reply", 11}} << completed;
        QTest::newRow("an erase reply to the restart")
            << QJsonObject{{"reset-reply", QJsonObject{{"word", 12}}}}
            << "Firmware written and verified, but the device did not confirm its restart. Search again if it is not listed.";
    }

    void nodesThatAnswerTheirOwnWay()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(QString, result);
        Bench b;
        QVERIFY(b.start(faults));
        const QByteArray file = upgradeFile("v2.05");
        b.upgrade(file);
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 30000));
        QCOMPARE(lastBox(), "Upgrade firmware status/" + result);
        QCOMPARE(b.emu.storedFlash("192.0.2.10"), fw::decoded(file));
        QCOMPARE(b.packets().size(), 256);
        QVERIFY(!b.p->statusBox() && b.p->upgradeState() == Idle);
    }

    // A restarting node answers discovery only after a while: the search
    // that follows the upgrade waits for it, whether it confirmed its
    // restart or dropped the connection.
    void theSearchAfterTheRestartFindsTheNode_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::newRow("confirmed") << QJsonObject{{"restart-ms", 3000}};
        QTest::newRow("dropped") << QJsonObject{{"restart-ms", 3000}, {"restart-silently", true}};
    }

    void theSearchAfterTheRestartFindsTheNode()
    {
        QFETCH(QJsonObject, faults);
        Bench b;
        QVERIFY(b.start(faults));
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 30000));
        QTRY_COMPARE_WITH_TIMEOUT(b.p->devices().size(), 1, 3000);
        QCOMPARE(DeviceRecord::firmwareVersion(b.p->devices().first()), QByteArray("v2.05"));
    }

    // While a result box is open the connection is read on: whatever the
    // node sends meanwhile is handled, and what waits unread stays bounded.
    void aResultBoxLeavesTheConnectionRead()
    {
        Bench b;
        QVERIFY(b.start({{"wrong-crc", true}, {"flood-after", QJsonObject{{"word", 16}, {"megabytes", 20}}}}));
        qint64 mostUnread = 0;
        QTimer sample;
        QObject::connect(&sample, &QTimer::timeout,
                         [&] { mostUnread = qMax(mostUnread, b.p->tcpSocket()->bytesAvailable()); });
        sample.start(5);
        bool floodDoneWhileOpen = false;
        ScriptedOperator::instance().holdNextBox(8000);
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            const auto &boxes = ScriptedOperator::instance().boxes;
            if (boxes.size() < 2 || !boxes[1].widget || !b.emu.lines().contains("flood-done 192.0.2.10 20971520"))
                return;
            floodDoneWhileOpen = true;
            boxes[1].widget->done(QMessageBox::Ok);
        });
        watch.start(20);
        b.upgrade(upgradeFile("v2.05"));
        QVERIFY(ScriptedOperator::instance().waitForBoxes(2, 20000));
        QTRY_VERIFY_WITH_TIMEOUT(ScriptedOperator::instance().boxes[1].widget.isNull(), 15000);
        QCOMPARE(lastBox(), QStringLiteral("Upgrade firmware status/Firmware upgrade failed!"));
        QVERIFY(floodDoneWhileOpen);
        QVERIFY2(mostUnread <= b.p->session().options().readBufferBytes, qPrintable(QString::number(mostUnread)));
    }
};

TARVO_TEST_MAIN(Upgrade)
#include "tst_upgrade.moc"
