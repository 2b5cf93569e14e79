#include "clirun.h"
#include "wait.h"
#include "testmain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>

namespace {

QString readText(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// The per-node lines, in the order written.
QStringList nodeLines(const QString &exposition)
{
    return exposition.split('\n').filter(QRegularExpression("^tarvo_node_"));
}

using Files = QMap<QString, QByteArray>; // by path under a test's folder

// A backup as tarvo backup writes it, of the node and label given.
QByteArray backupFile(const QString &serial, const QString &label, const QString &ip)
{
    const QString port = "{\"universe\": 1, \"break\": 176, \"mab\": 12, \"mbf\": 0, \"wait\": 10, \"channels\": 512, \"merge\": \"HTP\"}";
    return QStringLiteral("{\"format\": \"tarvo-config\", \"version\": 1, \"serial\": \"%1\", \"label\": \"%2\", "
                          "\"network\": {\"ip\": \"%3\", \"mask\": \"255.255.255.0\", \"gateway\": \"0.0.0.0\"}, \"ports\": [%4, %4, %4, %4]}")
        .arg(serial, label, ip, port)
        .toUtf8();
}

QString promtoolVerdict(const QString &path)
{
    QProcess p;
    p.setStandardInputFile(path);
    p.start("promtool", {"check", "metrics"});
    if (!p.waitForFinished(30000) || p.exitStatus() != QProcess::NormalExit)
        return "promtool did not run";
    return p.exitCode() == 0 ? QString() : QString::fromUtf8(p.readAllStandardError() + p.readAllStandardOutput());
}

} // namespace

class CliMetricsTest : public QObject
{
    Q_OBJECT

private slots:
    // Node texts that the format must escape, a Latin-1 byte, and two nodes
    // with one serial: all reported, the site's problems counted by kind
    // (every kind, 0 where none), and promtool accepts the file.
    void expositionOfAwkwardNodes()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "4001", {{"label", "Say \"hi\"\\now\nbye"}}),
                                node(1, "4001", {{"label", "Caf\u00e9"}, {"type", 666}, {"version", "v0.90"}})}));
        QTemporaryDir dir;
        const QString file = dir.filePath("tarvo.prom");
        const CliRun r = tarvo({"metrics", "-o", file, "--state", dir.filePath("state.json"), "--timeout", "400"}, &emu);
        QCOMPARE(r.code, 0);
        QCOMPARE(r.out, QString());
        const QString text = readText(file);
        QCOMPARE(nodeLines(text), QStringList({
            "tarvo_node_up{serial=\"4001\",label=\"Say \\\"hi\\\"\\\\now\\nbye\",address=\"192.0.2.10\"} 1",
            "tarvo_node_up{serial=\"4001\",label=\"Caf\u00e9\",address=\"192.0.2.11\"} 1",
            "tarvo_node_info{serial=\"4001\",address=\"192.0.2.10\",firmware=\"v1.00\",name=\"Tarvo DMX4\",type=\"421\",mode=\"application\"} 1",
            "tarvo_node_info{serial=\"4001\",address=\"192.0.2.11\",firmware=\"v0.90\",name=\"Tarvo DMX4\",type=\"666\",mode=\"bootloader\"} 1",
        }));
        QVERIFY(text.contains("\ntarvo_search_nodes 2\n"));
        QVERIFY(text.contains("\ntarvo_discovery_replies_lost 0\n"));
        QCOMPARE(text.count("\ntarvo_site_problems{"), 12);
        QCOMPARE(text.split('\n').filter(QRegularExpression("^tarvo_site_problems.* [1-9]")), QStringList({
            "tarvo_site_problems{kind=\"shared-serial\",severity=\"warning\"} 1",
            "tarvo_site_problems{kind=\"duplicate-mac\",severity=\"warning\"} 1",
            "tarvo_site_problems{kind=\"bootloader\",severity=\"info\"} 1",
        }));
        const QRegularExpressionMatch when = QRegularExpression("\ntarvo_search_timestamp_seconds ([0-9.]+)\n").match(text);
        QVERIFY(qAbs(when.captured(1).toDouble() - QDateTime::currentSecsSinceEpoch()) < 60);
        if (QStandardPaths::findExecutable("promtool").isEmpty())
            QSKIP("promtool is not installed (Debian package prometheus)");
        const QString verdict = promtoolVerdict(file);
        QVERIFY2(verdict.isEmpty(), qPrintable(verdict));
    }

    // A node that stops answering is reported 0, with the labels it had,
    // until --forget-after has passed.
    void downUntilForgotten()
    {
        QTemporaryDir dir;
        const QString state = dir.filePath("state.json");
        const QStringList run{"metrics", "--state", state, "--timeout", "400"};
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "5001"), node(1, "5002", {{"label", "Gone \"soon\""}})}));
        QCOMPARE(tarvo(run, &emu).code, 0);
        emu.stop();
        QVERIFY(emu.startNodes({node(0, "5001")}));

        const CliRun down = tarvo(run + QStringList{"-o", "-"}, &emu);
        QCOMPARE(down.code, 0);
        QCOMPARE(nodeLines(down.out).mid(0, 2), QStringList({
            "tarvo_node_up{serial=\"5001\",label=\"Rig-1\",address=\"192.0.2.10\"} 1",
            "tarvo_node_up{serial=\"5002\",label=\"Gone \\\"soon\\\"\",address=\"192.0.2.11\"} 0",
        }));
        QVERIFY(down.out.contains("\ntarvo_search_nodes 1\n"));
        QVERIFY(tarvo(run + QStringList{"--forget-after", "1h"}, &emu).out.contains("address=\"192.0.2.11\"} 0"));

        // Last seen ten seconds ago, as the state file says, rather than
        // waiting for it.
        QJsonDocument saved = QJsonDocument::fromJson(readText(state).toUtf8());
        QJsonObject top = saved.object();
        QJsonArray known = top.value("nodes").toArray();
        for (int i = 0; i < known.size(); ++i) {
            QJsonObject n = known.at(i).toObject();
            if (n.value("serial").toString() == "5002")
                n.insert("lastSeen", n.value("lastSeen").toInteger() - 10);
            known[i] = n;
        }
        top.insert("nodes", known);
        QVERIFY(!writeFile(state, QJsonDocument(top).toJson()).isEmpty());
        const CliRun forgotten = tarvo(run + QStringList{"--forget-after", "1s"}, &emu);
        QCOMPARE(forgotten.code, 0);
        QCOMPARE(nodeLines(forgotten.out).size(), 2);
        QVERIFY(!forgotten.out.contains("5002"));
        QVERIFY(!readText(state).contains("5002"));
    }

    // The nodes the site should have, from a backup folder or an
    // inventory: one never seen is reported down with what the file says
    // of it, one that answers is reported once.
    void expectedNodes_data()
    {
        QTest::addColumn<Files>("files"); // "site" is what --expect names
        QTest::addColumn<QStringList>("down");
        QTest::newRow("backup folder")
            << Files{{"site/6001.json", backupFile("6001", "Rig-1", "192.0.2.10")},
                     {"site/9001.json", backupFile("9001", "Spare", "192.0.2.50")}}
            << QStringList{"tarvo_node_up{serial=\"9001\",label=\"Spare\",address=\"192.0.2.50\"} 0"};
        // Twins are told apart by address; an address may be unknown.
        QTest::newRow("inventory")
            << Files{{"site", "{\"format\": \"tarvo-inventory\", \"version\": 1, \"nodes\": [\n"
                              " {\"serial\": \"6001\", \"label\": \"Rig-1\", \"address\": \"192.0.2.10\"},\n"
                              " {\"serial\": \"6001\", \"label\": \"Twin\", \"address\": \"192.0.2.60\"},\n"
                              " {\"serial\": \"9002\", \"label\": \"No \\\"IP\\\"\", \"address\": \"\"}]}"}}
            << QStringList{"tarvo_node_up{serial=\"6001\",label=\"Twin\",address=\"192.0.2.60\"} 0",
                           "tarvo_node_up{serial=\"9002\",label=\"No \\\"IP\\\"\",address=\"\"} 0"};
    }

    void expectedNodes()
    {
        QFETCH(Files, files);
        QFETCH(QStringList, down);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "6001")}));
        QTemporaryDir dir;
        for (auto it = files.cbegin(); it != files.cend(); ++it) {
            QDir(dir.path()).mkpath(QFileInfo(it.key()).path());
            QVERIFY(!writeFile(dir.filePath(it.key()), it.value()).isEmpty());
        }
        const QString prom = dir.filePath("t.prom");
        const CliRun r = tarvo({"metrics", "--timeout", "300", "--state", dir.filePath("state.json"), "-o", prom,
                                "--expect", dir.filePath("site")},
                               &emu);
        QVERIFY2(r.code == 0, qPrintable(r.err));
        QCOMPARE(nodeLines(readText(prom)).filter("tarvo_node_up"),
                 QStringList{"tarvo_node_up{serial=\"6001\",label=\"Rig-1\",address=\"192.0.2.10\"} 1"} + down);
        QVERIFY(!readText(dir.filePath("state.json")).contains("9001"));
        if (QStandardPaths::findExecutable("promtool").isEmpty())
            QSKIP("promtool is not installed (Debian package prometheus)");
        const QString verdict = promtoolVerdict(prom);
        QVERIFY2(verdict.isEmpty(), qPrintable(verdict));
    }

    // Stopped before its window ends (systemd's SIGTERM), a search writes
    // nothing: the nodes that had not answered yet would show as down.
    void interruptedWritesNothing()
    {
        QTemporaryDir dir;
        QProcess p;
        p.start(TARVO_CLI, {"--interface", "192.0.2.1", "--verbose", "metrics", "--timeout", "10000", "-o",
                            dir.filePath("t.prom"), "--state", dir.filePath("state.json")});
        QVERIFY(p.waitForStarted());
        // Stopped once its request went out, in the middle of the search.
        QByteArray said;
        QVERIFY(waitUntil([&] { return (said += p.readAllStandardError()).contains("Discovery msg sended."); }, 5000));
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 130);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
    }

    // A state file that is not ours is reported, replaced, and its nodes
    // forgotten; the search is reported all the same.
    void damagedStateFile_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<QString>("reason");
        // Node 1 of a good file with some of its fields replaced; a second node.
        const auto entry = [](const QJsonObject &fields, const QJsonObject &second = {}) {
            QJsonObject n{{"serial", "9"}, {"address", "192.0.2.99"}, {"label", "x"}, {"firmware", "v1"},
                          {"name", "n"}, {"type", 421}, {"lastSeen", 1700000000}};
            for (auto it = fields.begin(); it != fields.end(); ++it)
                n.insert(it.key(), it.value());
            const QJsonArray nodes = second.isEmpty() ? QJsonArray{n} : QJsonArray{n, second};
            return QJsonDocument(QJsonObject{{"format", "tarvo-metrics-state"}, {"version", 1}, {"nodes", nodes}})
                .toJson();
        };
        QTest::newRow("not JSON") << QByteArray("{\"format\": ") << "not a JSON object";
        QTest::newRow("version 2") << QByteArray("{\"format\": \"tarvo-metrics-state\", \"version\": 2, \"nodes\": []}")
                                   << "not format tarvo-metrics-state, version 1";
        QTest::newRow("a key twice") << QByteArray("{\"format\": \"tarvo-metrics-state\", \"version\": 1,\n"
                                                   "\"nodes\": [], \"nodes\": []}")
                                     << "line 2, column 14: the key \"nodes\" is given twice";
        QTest::newRow("label of 65") << entry({{"label", QString(65, 'L')}}) << "node 1: a text";
        QTest::newRow("not 8-bit") << entry({{"name", QString(QChar(0x100))}}) << "node 1: a text";
        QTest::newRow("NUL in a text") << entry({{"serial", QString("9") + QChar(0)}}) << "node 1: a text";
        QTest::newRow("octal-looking address") << entry({{"address", "192.0.2.099"}}) << "node 1: no IPv4 address";
        QTest::newRow("type 7") << entry({{"type", 7}}) << "node 1: no device type";
        QTest::newRow("fractional time") << entry({{"lastSeen", 1.5}}) << "node 1: no time last seen";
        QTest::newRow("one node twice")
            << entry({}, QJsonObject{{"serial", "9"}, {"address", "192.0.2.99"}, {"label", "y"}, {"firmware", "v2"},
                                     {"name", "n"}, {"type", 666}, {"lastSeen", 1700000001}})
            << "node 2: listed twice";
        QTest::newRow("beyond 16 MiB") << QByteArray(16 * 1024 * 1024 + 1, ' ') << "larger than 16777216 bytes";
    }

    void damagedStateFile()
    {
        QFETCH(QByteArray, content);
        QFETCH(QString, reason);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "6001")}));
        QTemporaryDir dir;
        const QString state = writeFile(dir.filePath("state.json"), content);
        const QStringList run{"metrics", "--state", state, "--timeout", "300"};

        const CliRun r = tarvo(run, &emu);
        QCOMPARE(r.code, 0);
        QVERIFY2(r.err.contains("state.json: damaged state file (" + reason), qPrintable(r.err));
        QCOMPARE(nodeLines(r.out).size(), 2);
        const CliRun again = tarvo(run, &emu);
        QCOMPARE(again.err, QString());
        QCOMPARE(nodeLines(again.out).size(), 2);
    }

    // Refusals exit 1 or 2 with their message and leave the state alone;
    // ten years pass in any unit.
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("stateWritten");

        const QString durationError = "--forget-after takes a whole number and a unit";
        QTest::newRow("weeks") << QStringList{"--forget-after", "2w"} << 2 << durationError << false;
        QTest::newRow("beyond ten years") << QStringList{"--forget-after", "3651d"} << 2 << durationError << false;
        QTest::newRow("negative") << QStringList{"--forget-after", "-5m"} << 2 << durationError << false;
        QTest::newRow("empty") << QStringList{"--forget-after="} << 2 << "--forget-after is empty" << false;
        QTest::newRow("ten years and a second") << QStringList{"--forget-after", "315360001s"} << 2 << durationError << false;
        QTest::newRow("ten years in seconds") << QStringList{"--forget-after", "315360000s", "-o", "@/t.prom"} << 0 << ""
                                              << true;
        QTest::newRow("ten years in minutes") << QStringList{"--forget-after", "5256000m", "-o", "@/t.prom"} << 0 << ""
                                              << true;
        QTest::newRow("an operand") << QStringList{"extra"} << 2 << "unexpected operand 'extra'" << false;
        // A file given to --expect that will not do writes nothing.
        const auto expect = [](const QByteArray &content) { return QStringList{"--expect", "@/e=" + content.toBase64()}; };
        QTest::newRow("expect: no inventory") << expect("{\"format\": \"tarvo-plan\", \"version\": 1, \"nodes\": []}") << 1
                                              << "--expect: @/e: neither a backup folder nor the JSON of tarvo search"
                                              << false;
        QTest::newRow("expect: a node without serial")
            << expect("{\"format\": \"tarvo-inventory\", \"version\": 1, \"nodes\": [{\"label\": \"x\", \"address\": \"\"}]}") << 1
            << "--expect: @/e: node 1: no serial and label" << false;
        QTest::newRow("expect: no IPv4 address")
            << expect("{\"format\": \"tarvo-inventory\", \"version\": 1, \"nodes\": [{\"serial\": \"1\", \"label\": \"\", \"address\": \"::1\"}]}")
            << 1 << "--expect: @/e: node 1: \"address\" is no IPv4 address" << false;
        QTest::newRow("expect: beyond 16 MiB") << expect(QByteArray(16 * 1024 * 1024 + 1, ' ')) << 1
                                               << "--expect: @/e: larger than 16777216 bytes" << false;
        QTest::newRow("expect: missing") << QStringList{"--expect", "@/none"} << 1 << "--expect: @/none: cannot be read"
                                         << false;
        QTest::newRow("expect: a backup without network") << QStringList{"--expect", "@/backups"} << 1
                                                          << "--expect: @/backups/1.json: \"network\" is missing" << false;
        QTest::newRow("not our address") << QStringList{"--interface", "192.0.2.99"} << 2
                                         << "--interface 192.0.2.99 is not a usable address of this workstation; "
                                            "usable: 192.0.2.1"
                                         << false;
        QTest::newRow("state is a folder") << QStringList{"--state", "@"} << 1 << "@: cannot be read: not a regular file"
                                           << false;
        // The state is still right, and kept.
        QTest::newRow("output folder missing") << QStringList{"-o", "@/none/tarvo.prom"} << 1
                                               << "@/none/tarvo.prom: cannot be written: " << true;
    }

    void commandLine()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, stateWritten);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "7001")}));
        QTemporaryDir dir;
        // "@/e=BASE64": a file of that content; @/backups holds one backup
        // without its network object.
        QDir(dir.path()).mkpath("backups");
        writeFile(dir.filePath("backups/1.json"), "{\"format\": \"tarvo-config\", \"version\": 1, \"label\": \"\", \"ports\": []}");
        for (QString &a : args) {
            a.replace("@", dir.path());
            if (a.contains("/e="))
                a = writeFile(a.section('=', 0, 0), QByteArray::fromBase64(a.section('=', 1).toLatin1()));
        }
        message.replace("@", dir.path());
        const QString state = dir.filePath("state.json");

        const CliRun r = tarvo(QStringList{"metrics", "--timeout", "300", "--state", state} + args, &emu);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        QCOMPARE(QFile::exists(state), stateWritten);
    }
};

TARVO_TEST_MAIN(CliMetricsTest)
#include "tst_cli_metrics.moc"
