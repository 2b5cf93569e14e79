#include "clirun.h"
#include "testmain.h"

#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <csignal>

namespace {

// An upgrade file of version v2.05 with varied code bytes; `image` gets
// what a node must hold after it.
QString upgradeFile(const QString &dir, QByteArray *image = nullptr)
{
    QByteArray raw(ImageInfo::ImageSize, '\0');
    for (int i = 0; i < ImageInfo::Offset; ++i)
        raw[i] = char((i * 7 + (i >> 9)) & 0xff);
    wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
    const UpgradeFile file = buildUpgradeFile(raw);
    if (image) {
        *image = file.data;
        decodeImage(bytes(*image), image->size());
    }
    return writeFile(QDir(dir).filePath(file.fileName), file.data);
}

QJsonObject bySerial(const QJsonArray &rows, const QString &serial)
{
    return findIn(rows, "serial", serial);
}

} // namespace

class CliUpgradeTest : public QObject
{
    Q_OBJECT

private slots:
    void twentyNodesInParallel()
    {
        QJsonArray nodes;
        for (int i = 0; i < 20; ++i)
            nodes.append(node(i, QString::number(4001 + i)));
        nodes[4] = node(4, "4005", {{"faults", QJsonObject{{"wrong-crc", true}}}});
        nodes[11] = node(11, "4012", {{"faults", QJsonObject{{"no-reply", QJsonArray{12}}}}});
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(nodes));
        QTemporaryDir dir;
        QByteArray image;
        const QString file = upgradeFile(dir.path(), &image);

        const CliRun r = tarvo({"--json", "--timeout", "300", "upgrade", file, "--all"}, &emu);
        QCOMPARE(r.code, 1);
        const QJsonObject summary = parsedJson(r.out).toObject();
        QCOMPARE(summary.value("format").toString(), QStringLiteral("tarvo-summary"));
        const QJsonArray rows = summary.value("results").toArray();
        QCOMPARE(rows.size(), 20);
        int verified = 0;
        for (int i = 0; i < 20; ++i) {
            const QJsonObject row = bySerial(rows, QString::number(4001 + i));
            if (row.value("result") != "verified")
                continue;
            ++verified;
            QCOMPARE(row.value("reason").toString(), QStringLiteral("reports v2.05"));
            QCOMPARE(emu.storedFlash(QStringLiteral("192.0.2.%1").arg(10 + i)), image);
        }
        QCOMPARE(verified, 18);
        QCOMPARE(bySerial(rows, "4005").value("result").toString(), QStringLiteral("failed"));
        // Once EraseSector went out, a node not written whole may hold no
        // complete firmware, whatever stopped it: the row says what to run.
        // The line repeats the options of the run, and re-flashes the node
        // whatever version it reports.
        const QString again = QStringLiteral("; it may hold no complete firmware: run tarvo --interface 192.0.2.1 "
                                             "--timeout 300 upgrade %1 --allow-same-version ")
                                  .arg(file);
        QCOMPARE(bySerial(rows, "4005").value("reason").toString(),
                 QStringLiteral("Firmware upgrade failed! The node's checksum differs; it was not restarted") + again + "4005");
        QVERIFY(bySerial(rows, "4005").value("changed").toBool());
        QVERIFY(!emu.received("192.0.2.14").contains("11"));
        QCOMPARE(bySerial(rows, "4012").value("result").toString(), QStringLiteral("failed"));
        QCOMPARE(bySerial(rows, "4012").value("reason").toString(),
                 QStringLiteral("Firmware upgrade timeout! Not done within 20 s; EraseSector sent, not answered; "
                                "the node may have erased its firmware") + again + "4012");
        QVERIFY(bySerial(rows, "4012").value("changed").toBool());
        // Not a terminal: plain progress lines, no cursor movements.
        QVERIFY(r.err.contains("Rig-1 (4001): 256/256 packets\n"));
        QVERIFY(!r.err.contains(QChar(0x1b)));
    }

    // On a narrow terminal the bars keep their names whole: the serial goes
    // before the label is cut, and no bar is longer than the terminal (notes
    // above the bars may wrap).
    void barsFitTheTerminal()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "26490001", {{"label", "Stage left"}}), node(1, "26490002")}));
        QTemporaryDir dir;
        const CliRun r = shell("script -qec \"stty cols 56; $T upgrade $F --all --yes\" /dev/null",
                               {{"F", upgradeFile(dir.path())}}, &emu);
        // 56 columns leave 13 for the names: "Stage left" whole, no serial.
        QVERIFY2(r.out.contains(QRegularExpression("\nall {11}\\[")), qPrintable(r.out));
        QVERIFY2(r.out.contains(QRegularExpression("(Stage left|Rig-2) {4,}\\[")), qPrintable(r.out));
        QVERIFY2(!r.out.contains(QRegularExpression("\\(2649\\d*\\)?\\s*\\[")), qPrintable(r.out));
        for (const QString &line : r.out.split(QRegularExpression("[\r\n]|\x1b\\[[0-9;]*[A-Za-z]")))
            QVERIFY2(line.size() <= 55 || !line.contains(QRegularExpression("\\[[#-]")), qPrintable(line));
    }

    void nodeLostMidwayAndNodeAtTheVersion()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "5001", {{"faults", QJsonObject{{"drop-after-packet", 10}}}}),
                                node(1, "5002", {{"version", "v2.05"}})}));
        QTemporaryDir dir;
        const CliRun r = tarvo({"upgrade", upgradeFile(dir.path()), "5001", "5002"}, &emu);
        QCOMPARE(r.code, 1);
        const QStringList rows = r.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 4);
        QVERIFY2(rows.at(1).contains(QRegularExpression("^Rig-1 +5001 +192.0.2.10 +failed .* the node closed the connection while "
                                                        "awaiting the acknowledgement of packet 10; erased, 10 of 256 "
                                                        "packets written, not restarted; it may hold no complete firmware: "
                                                        "run tarvo --interface 192.0.2.1 upgrade .*Tarvo_v2.05.upg "
                                                        "--allow-same-version 5001$")),
                 qPrintable(rows.at(1)));
        QVERIFY2(rows.at(2).contains(QRegularExpression("^Rig-2 +5002 +192.0.2.11 +skipped .* already at v2.05$")),
                 qPrintable(rows.at(2)));
        QCOMPARE(rows.at(3), QStringLiteral("1 skipped, 1 failed"));
        QVERIFY(!emu.received("192.0.2.11").contains("12"));
    }

    // How each node's upgrade is reported: verified only when the node at
    // that address came back with the file's version.
    void outcomes_data()
    {
        QTest::addColumn<QJsonArray>("nodes");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected"); // what is said of 192.0.2.10
        QTest::addColumn<bool>("erased");

        const QStringList first{"192.0.2.10"};
        const auto faulty = [](const QJsonObject &faults) { return node(0, "6001", {{"faults", faults}}); };
        QTest::newRow("back with its old version") << QJsonArray{faulty({{"keep-version", true}})} << first << 1
                                                   << "not verified +\\S+ s +reports v1.00" << true;
        QTest::newRow("twin already at the new version")
            << QJsonArray{faulty({{"keep-version", true}}), node(1, "6001", {{"version", "v2.05"}})} << first << 1
            << "not verified" << true;
        QTest::newRow("twin still at the old version")
            << QJsonArray{node(0, "6001"), node(1, "6001")} << first << 0 << "verified +\\S+ s +reports v2.05" << true;
        QTest::newRow("restart without a word")
            << QJsonArray{faulty({{"restart-silently", true}})} << first << 0 << "verified" << true;
        QTest::newRow("away while restarting")
            << QJsonArray{faulty({{"restart-ms", 2000}})} << first << 0 << "verified" << true;
        // Another firmware reply to the restart starts nothing: the wait for
        // the confirmation ends at its bound, and discovery tells the rest.
        QTest::newRow("an erase reply to the restart")
            << QJsonArray{faulty({{"reset-reply", QJsonObject{{"word", 12}}}})} << first << 0
            << "verified .* reports v2.05; its restart was not confirmed" << true;
        QTest::newRow("short replies") << QJsonArray{faulty({{"short-replies", 80}})} << first << 0
                                       << "verified +\\S+ s +reports v2.05" << true;
        QTest::newRow("same version") << QJsonArray{node(0, "6001", {{"version", "v2.05"}})} << first << 0
                                      << "skipped .* already at v2.05" << false;
        QTest::newRow("same version, allowed") << QJsonArray{node(0, "6001", {{"version", "v2.05"}})}
                                               << QStringList{"192.0.2.10", "--allow-same-version"} << 0 << "verified"
                                               << true;
        QTest::newRow("downgrade") << QJsonArray{node(0, "6001", {{"version", "v3.00"}})} << first << 1
                                   << "failed .* downgrade from v3.00 to v2.05 refused" << false;
        QTest::newRow("downgrade, allowed") << QJsonArray{node(0, "6001", {{"version", "v3.00"}})}
                                            << QStringList{"192.0.2.10", "--allow-downgrade"} << 0 << "verified" << true;
        QTest::newRow("stalled") << QJsonArray{faulty({{"erase-delay-ms", 6000}})} << first << 0
                                 << "Rig-1 \\(6001\\): waiting for the EraseSector reply" << true;
        QTest::newRow("no node answers") << QJsonArray{} << QStringList{"--all"} << 1 << "tarvo: no node answered" << false;
    }

    void outcomes()
    {
        QFETCH(QJsonArray, nodes);
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, expected);
        QFETCH(bool, erased);
        EmulatorProcess emu;
        if (!nodes.isEmpty())
            QVERIFY(emu.startNodes(nodes));
        QTemporaryDir dir;
        const CliRun r = tarvo(QStringList{"--timeout", "300", "upgrade", upgradeFile(dir.path())} + args, &emu);
        QCOMPARE(r.code, code);
        QVERIFY2((r.out + r.err).contains(QRegularExpression("(192.0.2.10 +|^)" + expected, QRegularExpression::MultilineOption)),
                 qPrintable(r.out + r.err));
        QCOMPARE(emu.received("192.0.2.10").contains("12"), erased);
    }

    // However many nodes, never more than --parallel at work at once.
    // Counted from tarvo's own lines, which one thread writes in order,
    // from a node's first packet to its result: the emulator's workers log
    // a close and the next connect in either order.
    void twoHundredFortyNodesEightAtOnce()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "240"}));
        QTemporaryDir dir;
        const CliRun r = tarvo({"--json", "upgrade", upgradeFile(dir.path()), "--all", "--parallel", "8"}, &emu);
        QCOMPARE(r.code, 0);
        QCOMPARE(parsedJson(r.out).toObject().value("tally").toObject().value("verified").toInt(), 240);
        static const QRegularExpression first("^(.+ \\(\\d+\\)): 1/256 packets$");
        static const QRegularExpression result("^(.+ \\(\\d+), [0-9.]+\\): verified, ");
        QSet<QString> atWork;
        int most = 0, finished = 0;
        for (const QString &line : r.err.split('\n')) {
            if (const QRegularExpressionMatch m = first.match(line); m.hasMatch())
                atWork.insert(m.captured(1));
            else if (const QRegularExpressionMatch m = result.match(line); m.hasMatch())
                finished += atWork.remove(m.captured(1) + ')') ? 1 : 0;
            most = qMax(most, int(atWork.size()));
        }
        QCOMPARE(finished, 240);
        QVERIFY2(most > 1 && most <= 8, qPrintable(QString::number(most)));
    }

    // The first interrupt starts no new node and lets those at work finish;
    // a second one aborts them. Either way every node is in the summary,
    // with what is left to do.
    void interrupted_data()
    {
        QTest::addColumn<int>("interrupts");
        QTest::addColumn<QString>("version"); // the nodes'
        QTest::addColumn<QString>("options"); // the run's, repeated on the line of what is left
        QTest::newRow("once") << 1 << "v1.00" << "";
        QTest::newRow("twice") << 2 << "v1.00" << "";
        QTest::newRow("twice, at the file's version") << 2 << "v2.05" << " --allow-same-version";
    }

    void interrupted()
    {
        QFETCH(int, interrupts);
        QFETCH(QString, version);
        QFETCH(QString, options);
        QJsonArray nodes;
        for (int i = 0; i < 6; ++i)
            nodes.append(node(i, QString::number(7001 + i),
                              {{"version", version}, {"faults", QJsonObject{{"delay-ms", QJsonObject{{"13", 5}}}}}}));
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(nodes));
        QTemporaryDir dir;
        const QString file = upgradeFile(dir.path());
        QProcess p;
        p.start(TARVO_CLI, QStringList{"--interface", "192.0.2.1", "--json", "upgrade", file, "--all", "--parallel", "2"} +
                               options.split(' ', Qt::SkipEmptyParts));
        QVERIFY(p.waitForStarted());
        QVERIFY(emu.waitForLine("rx 192.0.2.11 13", 20000));
        for (int i = 0; i < interrupts; ++i) {
            ::kill(pid_t(p.processId()), SIGINT);
            QTest::qWait(50);
        }
        QElapsedTimer clock;
        clock.start();
        while (p.state() != QProcess::NotRunning && clock.elapsed() < 60000) {
            p.waitForFinished(20);
            emu.lines();
        }
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QVERIFY2(p.state() == QProcess::NotRunning, qPrintable(err));
        QCOMPARE(p.exitCode(), 130);
        const QJsonObject summary = parsedJson(out).toObject();
        QVERIFY(summary.value("interrupted").toBool());
        const QJsonArray rows = summary.value("results").toArray();
        QCOMPARE(rows.size(), 6);
        for (int i = 0; i < 6; ++i) {
            const QJsonObject row = rows.at(i).toObject();
            const bool started = i < 2;
            QCOMPARE(row.value("result").toString(),
                     started && interrupts == 1 ? QStringLiteral("verified") : QStringLiteral("interrupted"));
            if (!started)
                QCOMPARE(row.value("reason").toString(), QStringLiteral("not started; nothing was sent to it"));
            else if (interrupts == 2)
                QVERIFY2(row.value("reason").toString().contains(
                             QRegularExpression("erased, \\d+ of 256 packets written.*run tarvo --interface 192.0.2.1 "
                                                "upgrade .* --allow-same-version 700[12]$")),
                         qPrintable(row.value("reason").toString()));
            QCOMPARE(emu.received(QStringLiteral("192.0.2.%1").arg(10 + i)).contains("12"), started);
        }
        // What is left, in the shortest exact way: every node again, as the
        // nodes done are skipped at the file's version.
        QVERIFY2(err.contains("to do what is left: tarvo --interface 192.0.2.1 upgrade " + file + options + " --all\n"),
                 qPrintable(err));
        if (interrupts == 2)
            QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
    }

    // Bars that move the cursor only where the terminal takes it.
    void progressOnTerminals_data()
    {
        QTest::addColumn<QString>("term");
        QTest::addColumn<bool>("moves");
        QTest::newRow("xterm") << "xterm" << true;
        QTest::newRow("dumb") << "dumb" << false;
    }

    void progressOnTerminals()
    {
        QFETCH(QString, term);
        QFETCH(bool, moves);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "6001")}));
        QTemporaryDir dir;
        const CliRun r = shell("TERM=" + term + " script -qec \"$T upgrade $F 192.0.2.10\" /dev/null",
                               {{"F", upgradeFile(dir.path())}}, &emu);
        QVERIFY2(r.out.contains("1 verified"), qPrintable(r.out));
        QCOMPARE(r.out.contains("\x1b["), moves);
    }
};

TARVO_TEST_MAIN(CliUpgradeTest)
#include "tst_cli_upgrade.moc"
