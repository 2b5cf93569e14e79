// What tarvo reports is what happened: every node's end reaches the summary
// however early it comes, and each row says what the node may hold now.
#include "clirun.h"
#include "testmain.h"

#include "firmwarefiles.h"

#include "firmware/upgradefile.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

namespace {

const char *const configText = R"({
  "format": "tarvo-config", "version": 1, "serial": "7001", "label": "Truth",
  "network": {"ip": "192.0.2.10", "mask": "255.255.255.0", "gateway": "%1"},
  "ports": [
    {"universe": 5, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"},
    {"universe": 6, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"},
    {"universe": 7, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"},
    {"universe": 8, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"}
  ]
})";

QJsonObject rowOf(const CliRun &r, const QString &serial)
{
    return findIn(parsedJson(r.out).toObject().value("results").toArray(), "serial", serial);
}

} // namespace

class CliTruthTest : public QObject
{
    Q_OBJECT

private slots:
    // A node whose reply came from an address this workstation has no
    // route to, and may not add one (no CAP_NET_ADMIN), fails before
    // anything is sent: that end still reaches the summary, and the command
    // ends.
    void aNodeThatCannotBeReachedEndsItsRow_data()
    {
        QTest::addColumn<QString>("command"); // $D a folder, $F an upgrade file
        QTest::addColumn<int>("code");
        QTest::newRow("show") << "$T show 198.51.100.7" << 1;
        QTest::newRow("backup") << "$T --json backup $D --all" << 1;
        QTest::newRow("run") << "$T --json run --all" << 1;
        QTest::newRow("upgrade") << "$T --json upgrade $F --all --yes" << 1;
        QTest::newRow("default") << "$T --json default 198.51.100.7 7002" << 1;
    }

    void aNodeThatCannotBeReachedEndsItsRow()
    {
        QFETCH(QString, command);
        const QString nodes = QString::fromLocal8Bit(qgetenv("TARVO_NODES_NETNS"));
        QCOMPARE(QProcess::execute("nsenter", {"--net=" + nodes, "ip", "addr", "add", "198.51.100.7/24", "dev", "v1"}), 0);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({QJsonObject{{"ip", "198.51.100.7"}, {"serial", "7001"}, {"type", 666}},
                                QJsonObject{{"ip", "192.0.2.10"}, {"serial", "7002"}, {"type", 666}}}));
        QTemporaryDir dir;
        const UpgradeFile file = buildUpgradeFile(fw::rawImage("v2.05"));
        const QString upgrade = writeFile(dir.filePath(file.fileName), file.data);
        const CliRun r = shell("setpriv --inh-caps=-net_admin,-net_raw --bounding-set=-net_admin,-net_raw " + command,
                               {{"D", dir.path()}, {"F", upgrade}}, &emu);
        QVERIFY2(r.code >= 0, "the command did not end");
        QTEST(r.code, "code");
        QVERIFY2((r.out + r.err).contains("198.51.100.7 is outside the network of v0 (192.0.2.1/24)"), qPrintable(r.out + r.err));
        QVERIFY(emu.received("198.51.100.7").isEmpty());
        if (command.contains("--json")) {
            const QJsonObject row = rowOf(r, "7001");
            QCOMPARE(row.value("result").toString(), QStringLiteral("failed"));
            QCOMPARE(row.value("changed").toBool(), false);
            QVERIFY2(rowOf(r, "7002").value("result").toString() != "failed", qPrintable(r.out));
        }
        QProcess::execute("nsenter", {"--net=" + nodes, "ip", "addr", "del", "198.51.100.7/24", "dev", "v1"});
    }

    // Each row says what the node may hold: changed once a writing request
    // went out, with what to run where the node may be left half done; done
    // only for what the node answered after the request.
    void rowsSayWhatTheNodeMayHold_data()
    {
        QTest::addColumn<QString>("command"); // $C a configuration file, $F an upgrade file
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("result");
        QTest::addColumn<bool>("changed");
        QTest::addColumn<QString>("reason"); // a part of it
        QTest::newRow("upgrade, reset on EraseSector")
            << "upgrade $F 7001" << QJsonObject{{"close-after", 1}} << "failed" << true
            << "EraseSector sent, not answered; the node may have erased its firmware; it may hold no complete firmware: "
               "run tarvo --interface 192.0.2.1 --timeout 200 upgrade $F --allow-same-version 7001";
        QTest::newRow("upgrade, checksum differs")
            << "upgrade $F 7001" << QJsonObject{{"wrong-crc", true}} << "failed" << true
            << "checksum differs; it was not restarted; it may hold no complete firmware: run tarvo --interface 192.0.2.1";
        QTest::newRow("config set, never acknowledged")
            << "config set 7001 $C" << QJsonObject{{"no-ack", true}} << "failed" << true
            << "the node may have stored it; check with tarvo show 192.0.2.10";
        QTest::newRow("default, its reply behind the read")
            << "default 7001" << QJsonObject{{"append", 9}, {"no-reply", QJsonArray{9}}} << "failed" << true
            << "no factory configuration (DefaultConfig reply)";
        QTest::newRow("config set, another gateway dropped")
            << "config set 7001 $G" << QJsonObject{{"close-after", 2}} << "not verified" << true
            << "sent, but the node reports 192.0.2.10 mask 255.255.255.0 gateway 192.0.2.254, not 192.0.2.10 mask "
               "255.255.255.0 gateway 192.0.2.1; not known to be written";
        QTest::newRow("config set, another gateway") << "config set 7001 $G" << QJsonObject{} << "done" << true
                                                     << "written; the node now answers at 192.0.2.10";
    }

    void rowsSayWhatTheNodeMayHold()
    {
        QFETCH(QString, command);
        QFETCH(QJsonObject, faults);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({QJsonObject{{"ip", "192.0.2.10"}, {"serial", "7001"}, {"faults", faults}}}));
        QTemporaryDir dir;
        const UpgradeFile file = buildUpgradeFile(fw::rawImage("v2.05"));
        const QString upgrade = writeFile(dir.filePath(file.fileName), file.data);
        const QString config = writeFile(dir.filePath("c.json"), QString::fromLatin1(configText).arg("192.0.2.254").toUtf8());
        const QString gateway = writeFile(dir.filePath("g.json"), QString::fromLatin1(configText).arg("192.0.2.1").toUtf8());
        const QStringList args = QStringList{"--json", "--timeout", "200"} +
            command.replace("$F", upgrade).replace("$C", config).replace("$G", gateway).split(' ');
        const CliRun r = tarvo(args, &emu);
        const QJsonObject row = rowOf(r, "7001");
        QTEST(row.value("result").toString(), "result");
        QTEST(row.value("changed").toBool(), "changed");
        QFETCH(QString, reason);
        QVERIFY2(row.value("reason").toString().contains(reason.replace("$F", upgrade)), qPrintable(r.out + r.err));
        QCOMPARE(r.code, row.value("result").toString() == "done" ? 0 : 1);
    }

    // A file holds what the node reported: a merge mode it should not hold
    // is written as the number it is, and refused when written back, as
    // values out of range are.
    void aFileHoldsWhatTheNodeReported()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({QJsonObject{{"ip", "192.0.2.10"}, {"serial", "7001"}, {"faults", QJsonObject{{"out-of-range", true}}}}}));
        const CliRun get = tarvo({"config", "get", "7001"}, &emu);
        QCOMPARE(get.code, 0);
        QVERIFY2(get.out.contains("\"merge\": 2}") && get.out.contains("\"universe\": 300"), qPrintable(get.out));
        const CliRun back = shell("$T config get 7001 | $T config set 7001 -", {}, &emu);
        QCOMPARE(back.code, 1);
        QVERIFY2(back.err.contains("port 1: \"merge\" must be \"HTP\" or \"LTP\""), qPrintable(back.err));
        QVERIFY(!emu.received("192.0.2.10").contains("8"));
    }
};

TARVO_TEST_MAIN(CliTruthTest)
#include "tst_cli_truth.moc"
