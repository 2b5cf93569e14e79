#include "clirun.h"
#include "testmain.h"

#include "config/configrecord.h"
#include "firmwarefiles.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QUdpSocket>

namespace {

// A configuration file as `config get` writes it, with port 1's universe
// and channels and port 2's BREAK given as JSON text, so that a case can
// put any value there.
QByteArray configFile(const QString &universe = "1", const QString &channels = "512", const QString &brk = "176")
{
    return QStringLiteral(R"({
  "format": "tarvo-config",
  "version": 1,
  "serial": "2003",
  "label": "Solo",
  "network": {"ip": "192.0.2.12", "mask": "255.255.255.0", "gateway": "192.0.2.254"},
  "ports": [
    {"universe": %1, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": %2, "merge": "HTP"},
    {"universe": 2, "break": %3, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "LTP"},
    {"universe": 3, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"},
    {"universe": 4, "break": 176, "mab": 12, "mbf": 0, "wait": 10, "channels": 512, "merge": "HTP"}
  ]
}
)")
        .arg(universe, channels, brk)
        .toUtf8();
}

// configFile() with texts replaced: another node, another label, a fault.
QByteArray editedFile(const QList<QPair<QString, QString>> &edits, QByteArray text = configFile())
{
    QString t = QString::fromUtf8(text);
    for (const auto &e : edits)
        t.replace(e.first, e.second);
    return t.toUtf8();
}

} // namespace

class CliTest : public QObject
{
    Q_OBJECT

private slots:
    void inventoryOf200Nodes()
    {
        QJsonArray nodes;
        for (int i = 0; i < 200; ++i)
            nodes.append(node(i, QStringLiteral("1503%1").arg(i + 1, 4, 10, QLatin1Char('0'))));
        // A label that would clear the screen, on a node in its boot loader.
        nodes[7] = node(7, "15030008", {{"label", "Bad\u001b[2J"}, {"type", 666}, {"version", "v0.90"},
                                        {"mac", "02:54:41:52:70:08"}});
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(nodes));

        const CliRun json = tarvo({"--json", "search"}, &emu);
        QCOMPARE(json.code, 0);
        const QJsonObject inventory = parsedJson(json.out).toObject();
        QCOMPARE(inventory.value("format").toString(), QStringLiteral("tarvo-inventory"));
        QCOMPARE(inventory.value("version").toInt(), 1);
        const QJsonArray listed = inventory.value("nodes").toArray();
        QCOMPARE(listed.size(), 200);
        const QStringList keys{"address", "firmware", "label", "mac", "name", "serial", "shared_serial", "type"};
        for (const QJsonValue v : listed)
            QCOMPARE(v.toObject().keys(), keys);
        QCOMPARE(listed.at(7).toObject(), (QJsonObject{{"serial", "15030008"}, {"label", "Bad\u001b[2J"},
                                                       {"address", "192.0.2.17"}, {"firmware", "v0.90"},
                                                       {"name", "Tarvo DMX4"}, {"mac", "02:54:41:52:70:08"},
                                                       {"type", "bootloader"}, {"shared_serial", false}}));
        QVERIFY(!json.out.contains(QChar(0x1b)));

        const CliRun table = tarvo({"search"}, &emu);
        const QStringList rows = table.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(rows.size(), 201);
        QVERIFY(rows.at(0).startsWith("SERIAL"));
        QVERIFY(rows.at(8).contains("Bad\\x1b[2J"));
        QVERIFY(!table.out.contains(QChar(0x1b)));

        const CliRun csv = tarvo({"search", "--csv"}, &emu);
        const QStringList lines = csv.out.split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 201);
        QCOMPARE(lines.at(0), QStringLiteral("serial,label,address,firmware,name,mac,type,shared_serial"));
        QCOMPARE(lines.at(1),
                 QStringLiteral("15030001,Rig-1,192.0.2.10,v1.00,Tarvo DMX4,02:00:5e:00:00:01,application,false"));
    }

    // What `config get` writes, `config set` sends back unchanged: the node's
    // own record in every field the tool writes.
    void configRoundTripByteForByte()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "1"}));
        // DefaultConfig makes the node store its own record, to compare with.
        QCOMPARE(tarvo({"default", "26500001"}, &emu).code, 0);
        const QByteArray own = emu.storedConfig("192.0.2.10");
        QCOMPARE(own.size(), 1024);

        QTemporaryDir dir;
        const QString path = dir.filePath("node.json");
        QCOMPARE(tarvo({"config", "get", "26500001", "-o", path}, &emu).code, 0);
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray text = file.readAll();
        QCOMPARE(tarvo({"config", "get", "192.0.2.10"}, &emu).out.toUtf8(), text);

        const CliRun set = tarvo({"config", "set", "Node-1", path}, &emu);
        QCOMPARE(set.code, 0);
        QVERIFY(set.out.contains("written"));
        QByteArray expected = own;
        wire::putU32(expected, 0, SetConfig);
        std::fill(expected.begin() + ConfigRecord::NetworkHeadOffset, expected.begin() + ConfigRecord::IpOffset, '\0');
        QCOMPARE(emu.storedConfig("192.0.2.10"), expected);

        // An edited file: the universe as shown, stored as its index.
        QVERIFY(!writeFile(path, QString::fromUtf8(text).replace("\"universe\": 1,", "\"universe\": 256,").toUtf8()).isEmpty());
        QCOMPARE(tarvo({"config", "set", "26500001", path}, &emu).code, 0);
        QCOMPARE(wire::u32(emu.storedConfig("192.0.2.10"), ConfigRecord::portField(0, PortConfig::UniverseIndex)), 255u);
    }

    void backupAndRestoreOf20Nodes()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "20", "--fault", "move"})); // a node given another address answers there
        QTemporaryDir dir;
        const QString folder = dir.filePath("site");

        const CliRun backup = tarvo({"backup", folder, "--all"}, &emu);
        QCOMPARE(backup.code, 0);
        QStringList files = QDir(folder).entryList(QDir::Files);
        QCOMPARE(files.size(), 20);
        QVERIFY(files.contains("26500001.json") && files.contains("26500020.json"));

        // Node 3's file: another universe on port 1 and another address.
        const QString three = QDir(folder).filePath("26500003.json");
        QFile f(three);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QByteArray edited = QString::fromUtf8(f.readAll())
                                      .replace("\"universe\": 1,", "\"universe\": 100,")
                                      .replace("192.0.2.12", "192.0.2.99")
                                      .toUtf8();
        f.close();
        QVERIFY(!writeFile(three, edited).isEmpty());

        QCOMPARE(tarvo({"restore", folder, "--all"}, &emu).code, 0);
        for (int i = 0; i < 20; ++i) {
            const QString ip = QStringLiteral("192.0.2.%1").arg(10 + i);
            QCOMPARE(emu.received(ip).count("8"), 1);
            const QByteArray stored = emu.storedConfig(ip);
            QCOMPARE(wire::u32(stored, ConfigRecord::portField(0, PortConfig::UniverseIndex)), i == 2 ? 99u : 0u);
            QCOMPARE(wire::dottedQuad(stored, ConfigRecord::IpOffset), ip); // kept without --with-network
        }

        const CliRun moved = tarvo({"restore", folder, "26500003", "--with-network"}, &emu);
        QCOMPARE(moved.code, 0);
        QVERIFY(moved.out.contains("now answers at 192.0.2.99"));
        QTRY_COMPARE(wire::dottedQuad(emu.storedConfig("192.0.2.12"), ConfigRecord::IpOffset), QStringLiteral("192.0.2.99"));
    }

    void showDefaultAndRun()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "3001", {{"label", "Desk"}, {"type", 666},
                                                 {"faults", QJsonObject{{"factory-ip", "192.0.2.77"}, {"move", true}}}})}));
        const CliRun show = tarvo({"--json", "show", "Desk"}, &emu);
        QCOMPARE(show.code, 0);
        const QJsonObject shown = parsedJson(show.out).toObject();
        QCOMPARE(shown.value("format").toString(), QStringLiteral("tarvo-node"));
        QCOMPARE(shown.value("node").toObject().value("type").toString(), QStringLiteral("bootloader"));
        QCOMPARE(shown.value("config").toObject().value("ports").toArray().size(), 4);

        const CliRun factory = tarvo({"default", "3001"}, &emu);
        QCOMPARE(factory.code, 0);
        QVERIFY(factory.out.contains("the node now answers at 192.0.2.77"));

        QCOMPARE(tarvo({"run", "3001"}, &emu).code, 0);
        QVERIFY(emu.waitForLine("run 192.0.2.10"));
        const QJsonArray after = parsedJson(tarvo({"--json", "search"}, &emu).out).toObject().value("nodes").toArray();
        QCOMPARE(after.at(0).toObject().value("type").toString(), QStringLiteral("application"));
    }

    // Each refusal says why, exits non-zero, and no node hears of it.
    void refusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::addColumn<bool>("withInterface");

        QTest::newRow("unknown node") << QStringList{"show", "nope"} << 1
                                      << "unknown node: no node with the serial or label nope answered" << true;
        QTest::newRow("shared label") << QStringList{"show", "Twin"} << 1
                                      << "the label Twin is shared by 2 nodes, name one by serial or address: "
                                         "Twin (2001, 192.0.2.10), Twin (2002, 192.0.2.11)"
                                      << true;
        QTest::newRow("malformed file") << QStringList{"config", "set", "2003", "@/syntax.json"} << 1
                                        << "syntax.json: line 4, column 4: unterminated object" << true;
        QTest::newRow("range") << QStringList{"config", "set", "2003", "@/break.json"} << 1
                               << "break.json: port 2 BREAK time: 50 is not within 92 to 999"
                               << true;
        QTest::newRow("fraction") << QStringList{"config", "set", "2003", "@/fraction.json"} << 1
                                  << "port 1: \"universe\" must be a whole number from 0 to 4294967295" << true;
        QTest::newRow("beyond 32 bits") << QStringList{"config", "set", "2003", "@/huge.json"} << 1
                                        << "port 1: \"channels\" must be a whole number from 0 to 4294967295" << true;
        QTest::newRow("version 0") << QStringList{"config", "set", "2003", "@/v0.json"} << 1
                                   << "v0.json: \"version\" must be 1" << true;
        QTest::newRow("no version") << QStringList{"config", "set", "2003", "@/nov.json"} << 1
                                    << "nov.json: \"version\" must be 1" << true;
        QTest::newRow("one ambiguous name of several") << QStringList{"default", "Solo", "Twin"} << 1
                                                       << "the label Twin is shared by 2 nodes" << true;
        QTest::newRow("missing file") << QStringList{"config", "set", "2003", "@/none.json"} << 1
                                      << "none.json: cannot be read" << true;
        QTest::newRow("short upgrade file") << QStringList{"upgrade", "@/short.upg", "--all"} << 1
                                            << "Upgrade file is damaged! (shorter than 131072 bytes)" << true;
        QTest::newRow("unreadable upgrade file") << QStringList{"upgrade", "@/none.upg", "--all"} << 1
                                                 << "Upgrade file cannot be opened!" << true;
        QTest::newRow("no command") << QStringList{} << 2 << "Usage: tarvo" << true;
        QTest::newRow("unknown command") << QStringList{"frobnicate"} << 2 << "unknown command 'frobnicate'" << true;
        QTest::newRow("no nodes") << QStringList{"upgrade", "x.upg"} << 2 << "name at least one node, or give --all"
                                  << true;
        // Usage errors in tarvo's words, every missing operand named at once.
        QTest::newRow("no operands") << QStringList{"upgrade"} << 2
                                     << "tarvo: missing FILE, and name at least one node or give --all\n" << true;
        QTest::newRow("no node to show") << QStringList{"show"} << 2 << "tarvo: missing NODE\n" << true;
        QTest::newRow("unknown option") << QStringList{"search", "--bogus"} << 2 << "tarvo: unknown option --bogus\n"
                                        << true;
        QTest::newRow("option without its value") << QStringList{"search", "--timeout"} << 2
                                                  << "tarvo: --timeout needs a value\n" << true;
        QTest::newRow("no network object") << QStringList{"config", "set", "2003", "@/nonet.json"} << 1
                                           << "nonet.json: \"network\" is missing\n" << true;
        QTest::newRow("parallel") << QStringList{"upgrade", "x.upg", "--all", "--parallel", "1001"} << 2
                                  << "--parallel must be a whole number from 1 to 1000" << true;
        QTest::newRow("several addresses") << QStringList{"search"} << 2
                                           << "several addresses; choose one with --interface: 192.0.2.1, 192.0.2.5"
                                           << false;
    }

    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, message);
        QFETCH(bool, withInterface);

        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "2001", {{"label", "Twin"}}), node(1, "2002", {{"label", "Twin"}}),
                                node(2, "2003", {{"label", "Solo"}})}));
        QTemporaryDir dir;
        writeFile(dir.filePath("syntax.json"), "{\n  \"format\": \"tarvo-config\",\n  \"version\": 1,\n  oops\n}\n");
        writeFile(dir.filePath("break.json"), configFile("1", "512", "50"));
        writeFile(dir.filePath("fraction.json"), configFile("1.5"));
        writeFile(dir.filePath("huge.json"), configFile("1", "4294967296"));
        writeFile(dir.filePath("short.upg"), QByteArray(1000, 'x'));
        writeFile(dir.filePath("v0.json"), editedFile({{"\"version\": 1", "\"version\": 0"}}));
        writeFile(dir.filePath("nov.json"), editedFile({{"\"version\": 1,\n", ""}}));
        writeFile(dir.filePath("nonet.json"),
                  editedFile({{"  \"network\": {\"ip\": \"192.0.2.12\", \"mask\": \"255.255.255.0\", \"gateway\": \"192.0.2.254\"},\n", ""}}));
        for (QString &a : args)
            a.replace("@", dir.path());

        const CliRun r = withInterface ? tarvo(args, &emu) : runProgram(TARVO_CLI, args, &emu);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        for (const QString &line : emu.lines())
            QVERIFY2(!line.startsWith("connected"), qPrintable(line));
    }

    // How a name on the command line picks a node, and when it is refused.
    void names_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected"); // in standard error, or the address shown

        QTest::newRow("address that is another's serial")
            << QStringList{"config", "set", "192.0.2.11", "@"} << 1
            << "192.0.2.11 is ambiguous: the address of Stage (3002, 192.0.2.11) and the serial or label of Odd "
               "(192.0.2.11, 192.0.2.10)";
        QTest::newRow("address where none answers")
            << QStringList{"show", "192.0.2.99"} << 1
            << "no node answered from 192.0.2.99 (a dotted address names only the node that answers from it, not "
               "Far (192.0.2.99, 192.0.2.15))";
        QTest::newRow("serial of one, label of another")
            << QStringList{"show", "3002"} << 1
            << "3002 is ambiguous: the serial of Stage (3002, 192.0.2.11) and the label of 3002 (3003, 192.0.2.12)";
        QTest::newRow("shared serial") << QStringList{"show", "3004"} << 1
                                       << "the serial 3004 is reported by 2 nodes, name one by address: Twin-a "
                                          "(3004, 192.0.2.13), Twin-b (3004, 192.0.2.14)";
        QTest::newRow("twin by address") << QStringList{"show", "192.0.2.14"} << 0 << "192.0.2.14";
        QTest::newRow("start of a serial") << QStringList{"show", "3007"} << 1
                                           << "no node with the serial or label 3007 answered";
        QTest::newRow("Latin-1 label") << QStringList{"show", "Caf\u00e9"} << 0 << "192.0.2.16";
        QTest::newRow("several, one missing") << QStringList{"default", "Stage", "nope"} << 1 << "";
    }

    void names()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, expected);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "192.0.2.11", {{"label", "Odd"}}), node(1, "3002", {{"label", "Stage"}}),
                                node(2, "3003", {{"label", "3002"}}), node(3, "3004", {{"label", "Twin-a"}}),
                                node(4, "3004", {{"label", "Twin-b"}}), node(5, "192.0.2.99", {{"label", "Far"}}),
                                node(6, "30070001", {{"label", "Caf\u00e9"}})}));
        QTemporaryDir dir;
        const QString file = writeFile(dir.filePath("c.json"), configFile());
        for (QString &a : args)
            a.replace("@", file);

        const CliRun r = tarvo(QStringList{"--json"} + args, &emu);
        QCOMPARE(r.code, code);
        if (args.first() == "default") {
            // The one that answered is done; the other is missing, and counted.
            const QJsonObject summary = parsedJson(r.out).toObject();
            QCOMPARE(summary.value("tally").toObject().value("done").toInt(), 1);
            QCOMPARE(summary.value("results").toArray().at(1).toObject().value("result").toString(),
                     QStringLiteral("missing"));
        } else if (code == 0) {
            QCOMPARE(parsedJson(r.out).toObject().value("node").toObject().value("address").toString(), expected);
        } else {
            QVERIFY2(r.err.contains(expected), qPrintable(r.err));
            QVERIFY(r.out.isEmpty());
        }
        for (const QString &line : emu.lines())
            QVERIFY2(!line.endsWith(" 8"), qPrintable(line));
    }

    // Two nodes of one serial are both listed, marked, and each backed up
    // only where its file cannot be taken for the other's.
    void twins()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "3004"), node(1, "3004"), node(2, "3005")}));
        const CliRun search = tarvo({"search"}, &emu);
        QVERIFY2(search.out.contains(QRegularExpression("\\n3004\\* +Rig-1 +192.0.2.10 ")), qPrintable(search.out));
        QVERIFY(search.out.contains(QRegularExpression("\\n3004\\* +Rig-2 +192.0.2.11 ")));
        QVERIFY(search.err.contains("several nodes report this serial"));

        QTemporaryDir dir;
        const CliRun backup = tarvo({"--json", "backup", dir.path(), "--all"}, &emu);
        QCOMPARE(backup.code, 1);
        const QJsonObject tally = parsedJson(backup.out).toObject().value("tally").toObject();
        QCOMPARE(tally.value("done").toInt(), 1);
        QCOMPARE(tally.value("failed").toInt(), 2);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList{"3005.json"});
    }

    // A flood that fills the list is said without --verbose, and a node
    // missing afterwards is told why it may be.
    void fullDiscoveryList()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "3001", {{"faults", QJsonObject{{"discovery-flood",
                                                                        QJsonObject{{"rate", 50000}, {"count", 10100}}}}}})}));
        const CliRun r = tarvo({"--timeout", "1500", "show", "9999"}, &emu);
        QCOMPARE(r.code, 1);
        QVERIFY2(r.err.contains("Discovery list full: 10000"), qPrintable(r.err.left(2000)));
        QVERIFY(r.err.contains("the discovery list was full (10000 entries)"));
    }

    // Whatever the disk or the file is, nothing is lost and nothing
    // unwritten is reported done. $T is tarvo, $D a folder, $F a good file
    // of node 26500001, the others named for what is wrong with them.
    void files_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected"); // each |-separated part in what was printed

        const QString fullDisk = "unshare -m sh -c 'mount -t tmpfs -o size=12k tmpfs $D && echo good > $D/26500001.json "
                                 "&& head -c 100000 /dev/zero > $D/fill 2>/dev/null; %1; echo rc=$?; cat $D/26500001.json; ls $D'";
        QTest::newRow("backup onto a full disk")
            << fullDisk.arg("$T backup $D --all") << "rc=1|26500002 +192.0.2.11 +failed .*No space left on device|"
                                                     "\\ngood\\n26500001.json\\nfill\\n$";
        QTest::newRow("config get -o onto a full disk")
            << fullDisk.arg("$T config get 26500001 -o $D/26500001.json") << "rc=1|No space left on device|\\ngood\\n";
        // Device nodes of our own, in a private mount namespace: written
        // into as a shell's ">" would, never replaced.
        const QString devices = "unshare -m sh -c 'exec 2>&1; mount -t tmpfs tmpfs $D && mknod $D/null c 1 3 && mknod $D/full c 1 7 "
                                "&& mkfifo $D/fifo && %1; test -c $D/null && test -c $D/full && test -p $D/fifo && echo kept'";
        QTest::newRow("config get -o onto devices, a FIFO, a folder")
            << devices.arg("$T config get 26500001 -o $D/null; echo null=$?; $T config get 26500001 -o $D/full; "
                           "echo full=$?; timeout 10 cat $D/fifo > $D/got & $T config get 26500001 -o $D/fifo; echo fifo=$?; wait; "
                           "echo got $(grep -c tarvo-config $D/got); $T config get 26500001 -o $D; echo folder=$?; "
                           // Ctrl-C while it waits for a reader, in its pause between two tries.
                           "$T config get 26500001 -o $D/fifo & p=$!; i=0; until [ $i = 200 ] || "
                           "[ \"$(cat /proc/$p/wchan)\" = hrtimer_nanosleep ]; do sleep 0.05; i=$((i+1)); done; "
                           "kill -INT $p; wait $p; echo unread=$?")
            << "null=0|/full: cannot be written: No space left on device\nfull=1|fifo=0|got 1|"
               "interrupted while waiting for a program to read it\nunread=1|"
               ": cannot be written: Filename refers to a directory\nfolder=1|kept";
        QTest::newRow("metrics -o onto devices")
            << devices.arg("$T metrics --timeout 300 -o $D/null --state $D/s1; echo null=$?; "
                           "$T metrics --timeout 300 -o $D/full --state $D/s2; echo full=$?; grep -c 2650000 $D/s2")
            << "null=0|/full: cannot be written: No space left on device\nfull=1\n3\n|kept";
        QTest::newRow("config get into /dev/full")
            << "$T config get 26500001 > /dev/full; echo rc=$?"
            << "cannot write standard output: No space left on device|rc=1";
        QTest::newRow("symbolic link in DIR")
            << "mkdir $D/b && ln -s $D/outside $D/b/26500001.json && $T backup $D/b 26500001; echo rc=$?; "
               "test -e $D/outside || echo not followed"
            << "symbolic link; not written through|rc=1|not followed";
        QTest::newRow("FIFO as upgrade file") << "mkfifo $D/f.upg && $T upgrade $D/f.upg --all; echo rc=$?"
                                              << "Upgrade file cannot be opened! \\(not a regular file\\)|rc=1";
        QTest::newRow("FIFO as configuration file") << "mkfifo $D/f.json && $T config set 26500001 $D/f.json; echo rc=$?"
                                                    << "f.json: cannot be read: not a regular file|rc=1";
        QTest::newRow("raw image") << "$T upgrade $D/raw.bin --all" << "make the upgrade file from it with tarvo-production";
        QTest::newRow("upgrade file on standard input")
            << "$T upgrade - 26500001 --dry-run < $D/Tarvo_v2.05.upg" << "1 of 1 node\\(s\\) to upgrade \\(a dry run|upgrade +v1.00 -> v2.05";
        QTest::newRow("too large on standard input, as by name")
            << "head -c 600000 /dev/zero > $D/big.upg; $T upgrade $D/big.upg --all; head -c 600000 /dev/zero | $T upgrade - --all"
            << "big.upg: Upgrade file is damaged! \\(far too large\\)|tarvo: standard input: Upgrade file is damaged! \\(far too large\\)";
        QTest::newRow("key given twice") << "$T config set 26500001 $D/twice.json"
                                         << "twice.json: line 6, column 3: the key \"label\" is given twice";
        QTest::newRow("NUL in a label") << "$T config set 26500001 $D/nul.json" << "must not hold a NUL";
        QTest::newRow("five ports") << "$T config set 26500001 $D/five.json" << "\"ports\" must be a list of 4 ports";
        QTest::newRow("gateway before port 1")
            << "$T config set 26500001 $D/order1.json" << "order1.json: gateway: not four decimal numbers";
        QTest::newRow("port 1 before port 2")
            << "$T config set 26500001 $D/order2.json" << "order2.json: port 1 channel count: 5 is not within 24 to 512";
        QTest::newRow("Latin-1 label, file on standard input")
            << "$T config set 26500001 - < $D/cafe.json && $T config get 26500001 -o -" << "\"label\": \"Caf\u00e9\"";
        QTest::newRow("CSV formula") << "$T search --csv" << "\\n26500002,'=2\\+3,|,'-x,";
    }

    void files()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "26500001"), node(1, "26500002", {{"label", "=2+3"}}),
                                node(2, "26500003", {{"label", "-x"}})}));
        QTemporaryDir dir;
        // The node's own file: written whole, label and network settings too.
        const auto own = [](QByteArray text) {
            return editedFile({{"192.0.2.12", "192.0.2.10"}, {"\"serial\": \"2003\"", "\"serial\": \"26500001\""}}, text);
        };
        writeFile(dir.filePath("good.json"), own(configFile()));
        writeFile(dir.filePath("twice.json"), own(editedFile({{"\"label\": \"Solo\",", "\"label\": \"A\",\n  \"label\": \"B\","}})));
        writeFile(dir.filePath("nul.json"), own(editedFile({{"\"Solo\"", "\"So\\u0000lo\""}})));
        writeFile(dir.filePath("five.json"), own(editedFile({{"\"HTP\"}\n  ]", "\"HTP\"},\n    {}\n  ]"}})));
        writeFile(dir.filePath("order1.json"), own(editedFile({{"192.0.2.254", "192.0.2.256"}}, configFile("0"))));
        writeFile(dir.filePath("order2.json"), own(configFile("1", "5", "50")));
        writeFile(dir.filePath("cafe.json"), own(editedFile({{"Solo", "Caf\u00e9"}})));
        const QByteArray raw = fw::rawImage("v2.05");
        writeFile(dir.filePath("raw.bin"), raw);
        const UpgradeFile upgrade = buildUpgradeFile(raw);
        writeFile(dir.filePath(upgrade.fileName), upgrade.data);

        const CliRun r = shell(script, {{"D", dir.path()}}, &emu);
        const QString printed = r.out + r.err;
        if (printed.contains("mknod: "))
            QSKIP("device nodes need root");
        for (const QString &part : expected.split('|'))
            QVERIFY2(printed.contains(QRegularExpression(part)), qPrintable(part + " not in:\n" + printed));
        if (expected.contains("rc=1"))
            QVERIFY2(!printed.contains(QRegularExpression("\\bdone\\b")), qPrintable(printed));
    }

    // The plan before a write: what would change, field by field, and
    // nothing sent; on a terminal, a question before several nodes.
    void planBeforeWrites()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "3"}));
        QTemporaryDir dir;
        const QString file = writeFile(dir.filePath("c.json"),
                                       editedFile({{"192.0.2.12", "192.0.2.10"}, {"\"universe\": 2", "\"universe\": 3"},
                                                   {"\"serial\": \"2003\"", "\"serial\": \"26500001\""}}));
        const CliRun plan = tarvo({"--json", "config", "set", "26500001", file, "--dry-run"}, &emu);
        QCOMPARE(plan.code, 0);
        const QJsonObject doc = parsedJson(plan.out).toObject();
        QCOMPARE(doc.value("format").toString(), QStringLiteral("tarvo-plan"));
        QVERIFY(doc.value("runnable").toBool());
        const QJsonObject one = doc.value("nodes").toArray().at(0).toObject();
        QCOMPARE(one.value("action").toString(), QStringLiteral("write"));
        QVERIFY(one.value("changes").toArray().contains(
            QJsonObject{{"field", "ports[1].universe"}, {"from", 2}, {"to", 3}}));
        QVERIFY(one.value("changes").toArray().contains(QJsonObject{{"field", "label"}, {"from", "Node-1"}, {"to", "Solo"}}));

        // One file onto several nodes: each keeps its own address.
        for (const QStringList &nodes : {QStringList{"--all"}, QStringList{"26500002", "26500003"}}) {
            const QJsonArray planned = parsedJson(tarvo(QStringList{"--json", "config", "set"} + nodes +
                                                            QStringList{file, "--dry-run"}, &emu).out)
                                           .toObject()
                                           .value("nodes")
                                           .toArray();
            QCOMPARE(planned.size(), nodes.size() == 1 ? 3 : 2);
            for (const QJsonValue n : planned)
                for (const QJsonValue c : n.toObject().value("changes").toArray())
                    QVERIFY(!c.toObject().value("field").toString().startsWith("network."));
        }

        // Answered no on a terminal: nothing is sent. --yes asks nothing.
        const QString onTerminal = "printf 'n\\n' | script -qec \"$T default --all%1\" /dev/null; echo rc=$?";
        const CliRun no = shell(onTerminal.arg(""), {}, &emu);
        QVERIFY2(no.out.contains("Go ahead? [y/N]") && no.out.contains("nothing was done") && no.out.contains("rc=1"),
                 qPrintable(no.out));
        const CliRun yes = shell(onTerminal.arg(" --yes"), {}, &emu);
        QVERIFY2(!yes.out.contains("Go ahead") && yes.out.contains("3 done") && yes.out.contains("rc=0"), qPrintable(yes.out));
        QCOMPARE(emu.lines().filter(QRegularExpression(" 9$")).size(), 3);
        QVERIFY(emu.lines().filter(QRegularExpression(" 8$")).isEmpty());
    }

    // A replaced node takes its predecessor's backup by label or address;
    // a backup whose node does not answer is missing.
    void restoreOntoReplacements()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "5001", {{"label", "Stage"}}), node(1, "5002", {{"label", "Desk"}})}));
        QTemporaryDir dir;
        const QString old = dir.filePath("4001.json");
        writeFile(old, editedFile({{"\"Solo\"", "\"Stage\""}, {"192.0.2.12", "192.0.2.10"}}, configFile("9")));
        writeFile(dir.filePath("4999.json"), editedFile({{"\"Solo\"", "\"Gone\""}}));
        QCOMPARE(tarvo({"backup", dir.path(), "5002"}, &emu).code, 0);

        const CliRun all = tarvo({"--json", "restore", dir.path(), "--all"}, &emu);
        QCOMPARE(all.code, 1);
        const QJsonObject summary = parsedJson(all.out).toObject();
        QCOMPARE(summary.value("tally").toObject().value("done").toInt(), 1);
        QCOMPARE(summary.value("tally").toObject().value("missing").toInt(), 2);
        const QJsonObject stage = summary.value("results").toArray().at(0).toObject();
        QCOMPARE(stage.value("result").toString(), QStringLiteral("skipped"));
        QCOMPARE(stage.value("reason").toString(), QStringLiteral("no backup fits it by serial in %1; by label: %2 (--match "
                                                                  "label); by address: %2 (--match address)")
                                                       .arg(dir.path(), old));

        QCOMPARE(tarvo({"restore", dir.path(), "5001"}, &emu).code, 1);
        QCOMPARE(emu.received("192.0.2.10").count("8"), 0);
        QCOMPARE(tarvo({"restore", dir.path(), "Stage", "--match", "label"}, &emu).code, 0);
        QCOMPARE(wire::u32(emu.storedConfig("192.0.2.10"), ConfigRecord::portField(0, PortConfig::UniverseIndex)), 8u);
    }

    // Which backup a node takes: only one that fits it alone, never by an
    // empty label; refused otherwise, each backup accounted for. Bad
    // addresses stop --with-network before anything is sent.
    void restoreRefusals_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("expected"); // "SERIAL ADDRESS RESULT: REASON" lines, or standard error
        QTest::addColumn<QStringList>("written");

        QTest::newRow("by label") << QStringList{"--all", "--match", "label"} << 1
                                  << "5001 192.0.2.10 failed: 2 backups fit it by label: @/4001.json, @/4002.json\n"
                                     "5002 192.0.2.11 skipped: no backup fits it by label in @\n"
                                     "5003 192.0.2.12 skipped: no backup fits it by label in @\n"
                                     "5004 192.0.2.13 failed: @/4004.json fits 2 nodes by label: name the node by address\n"
                                     "5005 192.0.2.14 failed: @/4004.json fits 2 nodes by label: name the node by address\n"
                                     "5006 192.0.2.15 done: written\n"
                                     "4001  failed: backed up in @/4001.json; refused: it fits Stage \\(5001, 192.0.2.10\\) "
                                     "by label, which 2 backups fit\n"
                                     "4002  failed: backed up in @/4002.json; refused: .*\n"
                                     "4003  missing: backed up in @/4003.json, but no node fits it by label among the 6 that answered\n"
                                     "4004  failed: backed up in @/4004.json; refused: it fits 2 nodes by label: Twin "
                                     "\\(5004, 192.0.2.13\\), Twin \\(5005, 192.0.2.14\\)\n$"
                                  << QStringList{"192.0.2.15"};
        QTest::newRow("bad address, with the network")
            << QStringList{"--all", "--match", "label", "--with-network"} << 1
            << "^tarvo: @/4006.json: IP address: not four decimal numbers from 0 to 255\ntarvo: nothing was sent\n$"
            << QStringList{};
        QTest::newRow("dry run of a refusal") << QStringList{"5002", "--match", "label", "--dry-run"} << 1
                                              << "5002 192.0.2.11 refuse: no backup fits it by label" << QStringList{};
    }

    void restoreRefusals()
    {
        QFETCH(QStringList, args);
        QFETCH(int, code);
        QFETCH(QString, expected);
        QFETCH(QStringList, written);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "5001", {{"label", "Stage"}}), node(1, "5002", {{"label", ""}}),
                                node(2, "5003", {{"label", ""}}), node(3, "5004", {{"label", "Twin"}}),
                                node(4, "5005", {{"label", "Twin"}}), node(5, "5006", {{"label", "Desk"}})}));
        QTemporaryDir dir;
        const QList<QPair<QString, QString>> backups{
            {"4001", "Stage"}, {"4002", "Stage"}, {"4003", ""}, {"4004", "Twin"}, {"4006", "Desk"}};
        for (const auto &b : backups)
            writeFile(dir.filePath(b.first + ".json"),
                      editedFile({{"\"Solo\"", "\"" + b.second + "\""},
                                  {"192.0.2.12", b.first == "4006" ? "192.0.2.256" : "192.0.2.99"}}));

        const CliRun r = tarvo(QStringList{"--json", "restore", dir.path()} + args, &emu);
        QCOMPARE(r.code, code);
        QString printed = r.err;
        const QJsonObject doc = parsedJson(r.out).toObject();
        for (const QJsonValue v : doc.value(doc.contains("nodes") ? "nodes" : "results").toArray()) {
            const QJsonObject o = v.toObject();
            printed += QStringLiteral("%1 %2 %3: %4\n")
                           .arg(o.value("serial").toString(), o.value("address").toString(),
                                o.value(o.contains("action") ? "action" : "result").toString(), o.value("reason").toString());
        }
        QVERIFY2(printed.contains(QRegularExpression(expected.replace("@", dir.path()))), qPrintable(printed));
        for (int i = 0; i < 6; ++i) {
            const QString ip = QStringLiteral("192.0.2.%1").arg(10 + i);
            QCOMPARE(emu.received(ip).contains("8"), written.contains(ip));
        }
    }

    // A write is done only when the node answered that very write: an
    // acknowledgement sent before it, or a close after the read, is not one.
    void writesNotAnswered_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QString>("sent"); // the request that must have gone out

        QTest::addColumn<QString>("result");

        // The node's earlier backup is kept whole.
        QTest::newRow("backup, read not answered") << QStringList{"--timeout", "300", "backup", "@", "3001"}
                                                   << QJsonObject{{"no-reply", QJsonArray{7}}} << "7" << "failed";
        const QJsonObject earlyAck{{"send-on-connect", QJsonArray{8}}, {"no-reply", QJsonArray{8}}};
        QTest::newRow("config set, early acknowledgement")
            << QStringList{"config", "set", "3001", "@/c.json"} << earlyAck << "8" << "failed";
        QTest::newRow("restore, early acknowledgement") << QStringList{"restore", "@", "3001"} << earlyAck << "8" << "failed";
        // DefaultConfig has an answer of its own, which the early SetConfig one is not.
        QTest::newRow("default, early acknowledgement") << QStringList{"default", "3001"} << earlyAck << "9" << "done";
        QTest::newRow("move, closed after the read")
            << QStringList{"config", "set", "3001", "@/moved.json", "--with-network"} << QJsonObject{{"close-after-reply", 7}} << "7"
            << ""; // anything but done
    }

    void writesNotAnswered()
    {
        QFETCH(QStringList, args);
        QFETCH(QJsonObject, faults);
        QFETCH(QString, sent);
        QFETCH(QString, result);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "3001", {{"faults", faults}})}));
        QTemporaryDir dir;
        writeFile(dir.filePath("c.json"), editedFile({{"192.0.2.12", "192.0.2.10"}}));
        const QByteArray backup = editedFile({{"192.0.2.12", "192.0.2.10"}});
        writeFile(dir.filePath("3001.json"), backup);
        writeFile(dir.filePath("moved.json"), configFile());
        for (QString &a : args)
            a.replace("@", dir.path());
        const CliRun r = tarvo(QStringList{"--json"} + args, &emu);
        QCOMPARE(r.code, result == "done" ? 0 : 1);
        const QJsonObject row = parsedJson(r.out).toObject().value("results").toArray().at(0).toObject();
        if (result.isEmpty())
            QVERIFY2(row.value("result").toString() != "done", qPrintable(r.out));
        else
            QCOMPARE(row.value("result").toString(), result);
        QVERIFY(!row.value("reason").toString().startsWith("written"));
        QVERIFY(emu.received("192.0.2.10").contains(sent));
        QFile kept(dir.filePath("3001.json"));
        QVERIFY(kept.open(QIODevice::ReadOnly));
        QCOMPARE(kept.readAll(), backup);
    }

    // Every table takes --csv: standard output holds the CSV alone, one
    // header row and the table's columns, node texts quoted and kept from
    // being taken for formulas. In the lines, @ is the folder and %* any text.
    void tablesAsCsv_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<QString>("tally"); // on standard error
        QTest::newRow("summary") << QStringList{"backup", "@", "7001"}
                                 << QStringList{"label,serial,address,result,seconds,reason",
                                                "\"'=Hi, \"\"q\"\"\",7001,192.0.2.10,done,%*,@/7001.json"}
                                 << "1 done";
        QTest::newRow("plan") << QStringList{"config", "set", "7001", "--set", "label=x", "--dry-run"}
                              << QStringList{"node,action,details",
                                             "\"'=Hi, \"\"q\"\" (7001, 192.0.2.10)\",write,1 change(s)",
                                             "\"'=Hi, \"\"q\"\" (7001, 192.0.2.10)\",write,\"label: \"\"=Hi, \\\"\"q\\\"\"\"\" -> \"\"x\"\"\""}
                              << "1 of 1 node(s) to write";
        QTest::newRow("check") << QStringList{"check"}
                               << QStringList{"severity,kind,problem",
                                              "info,bootloader,\"Rig-2 (7002, 192.0.2.11) runs its boot loader (%*); start "
                                              "its application: tarvo run 192.0.2.11\""}
                               << "0 error(s), 0 warning(s), 1 info";
        QTest::newRow("show") << QStringList{"show", "7001"}
                              << QStringList{"port,universe,break,mab,mbf,wait,channels,merge", "1,%*", "2,%*", "3,%*", "4,%*"}
                              << "";
    }

    void tablesAsCsv()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, lines);
        QFETCH(QString, tally);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "7001", {{"label", "=Hi, \"q\""}}), node(1, "7002", {{"type", 666}, {"mac", "02:54:41:52:70:02"}})}));
        QTemporaryDir dir;
        for (QString &a : args)
            a.replace("@", dir.path());
        const CliRun r = tarvo(QStringList{"--csv"} + args, &emu);
        QCOMPARE(r.code, 0);
        const QStringList printed = r.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY2(printed.size() == lines.size(), qPrintable(r.out));
        for (int i = 0; i < lines.size(); ++i) {
            QString pattern = QRegularExpression::escape(QString(lines.at(i)).replace("@", dir.path()));
            pattern.replace("\\%\\*", ".*");
            QVERIFY2(printed.at(i).contains(QRegularExpression("^" + pattern + "$")), qPrintable(printed.at(i)));
        }
        QVERIFY2(r.err.contains(tally), qPrintable(r.err));
    }

    // What the command line itself promises: help, usage errors, the
    // interface by name or from the environment, -q.
    void conventions_data()
    {
        QTest::addColumn<QString>("script");
        QTest::addColumn<QString>("expected"); // in standard output and error
        QTest::addColumn<QString>("absent");

        QTest::newRow("mistyped command") << "$T serach; echo rc=$?" << "did you mean 'search'\\?\\nUsage: tarvo|rc=2" << "";
        QTest::newRow("usage error") << "$T upgrade x.upg; echo rc=$?"
                                     << "^tarvo: name at least one node, or give --all\\nUsage: tarvo \\[options\\] upgrade "
                                        "FILE .*\\nTry 'tarvo upgrade --help' for more.\\n|rc=2"
                                     << "Options:";
        QTest::newRow("help of a command") << "$P help restore" << "--match <serial.label.address>|--dry-run" << "help-all";
        QTest::newRow("csv and json") << "$T search --csv --json; echo rc=$?" << "exclude each other|rc=2" << "";
        QTest::newRow("csv without a table") << "$T metrics --csv; echo rc=$?"
                                             << "^tarvo: --csv is for the commands that print a table\\n|rc=2" << "";
        QTest::newRow("interface by name") << "$P --interface v0 search; echo rc=$?"
                                           << "the interface has several addresses; choose one: 192.0.2.1, 192.0.2.5|rc=2"
                                           << "";
        QTest::newRow("interface from the environment") << "TARVO_INTERFACE=192.0.2.5 $P search; echo rc=$?"
                                                        << "26500001 +Node-1|rc=0" << "";
        QTest::newRow("unknown interface") << "TARVO_INTERFACE=eth9 $P search; echo rc=$?"
                                           << "TARVO_INTERFACE eth9 is neither an interface nor an address|rc=2" << "";
        QTest::newRow("write options before the command") << "$T --yes --parallel 2 default 26500001; echo rc=$?"
                                                          << "1 done|rc=0" << "";
        QTest::newRow("write option on a command that reads") << "$T --dry-run search; echo rc=$?"
                                                              << "--dry-run is for the commands that write|rc=2" << "";
        QTest::newRow("quiet") << "$T -q search 2>&1 >/dev/null; echo rc=$?" << "^rc=0" << "answered";
    }

    void conventions()
    {
        QFETCH(QString, script);
        QFETCH(QString, expected);
        QFETCH(QString, absent);
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "1"}));
        const CliRun r = shell(script, {}, &emu);
        const QString printed = r.err + r.out;
        for (const QString &part : expected.split('|'))
            QVERIFY2(printed.contains(QRegularExpression(part)), qPrintable(part + " not in:\n" + printed));
        if (!absent.isEmpty())
            QVERIFY2(!printed.contains(absent), qPrintable(printed));
    }

    // Two started at once: one listens and finds every node, the other is
    // refused, as it is when another program holds the port.
    void discoveryPortHeldOnce()
    {
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", "20"}));
        const QString refused = "tarvo: cannot listen on 192.0.2.1 port 49999: another program of this workstation "
                                "uses it\n";
        const QStringList search{"--interface", "192.0.2.1", "--timeout", "300", "search", "--csv"};
        for (int pair = 0; pair < 20; ++pair) {
            QProcess a, b;
            a.start(TARVO_CLI, search);
            b.start(TARVO_CLI, search);
            QVERIFY(a.waitForFinished(20000) && b.waitForFinished(20000));
            emu.lines();
            QProcess &winner = a.exitCode() == 0 ? a : b, &loser = a.exitCode() == 0 ? b : a;
            const QString lost = QString::fromUtf8(loser.readAllStandardError());
            QVERIFY2(winner.exitCode() == 0 && loser.exitCode() == 1 && lost == refused, qPrintable(lost));
            QCOMPARE(winner.readAllStandardOutput().count('\n'), 21);
        }

        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress("192.0.2.1"), 49999));
        for (const QStringList &args : {QStringList{"search"}, QStringList{"metrics", "--state", "/nonexistent/s"}}) {
            const CliRun r = tarvo(args, &emu);
            QCOMPARE(r.code, 1);
            QCOMPARE(r.err, refused);
        }
    }

    void noUsableAddress()
    {
        // A network namespace of its own with loopback alone.
        const CliRun r = runProgram("unshare", {"-n", TARVO_CLI, "search"});
        if (r.err.startsWith("unshare:"))
            QSKIP("no nested network namespace here");
        QCOMPARE(r.code, 1);
        QCOMPARE(r.err, QStringLiteral("tarvo: no usable address: this workstation has no IPv4 address other than "
                                       "loopback\n"));
    }
};

TARVO_TEST_MAIN(CliTest)
#include "tst_cli.moc"
