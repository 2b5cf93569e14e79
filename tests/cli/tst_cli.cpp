#include "clirun.h"
#include "testmain.h"

#include "config/configrecord.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>

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
        QVERIFY(emu.start({"--count", "20"}));
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

        // The emulated node stores the new address but keeps answering from its
        // old one: the move is sent, and not reported as done.
        const CliRun moved = tarvo({"--timeout", "100", "restore", folder, "26500003", "--with-network"}, &emu);
        QCOMPARE(moved.code, 1);
        QVERIFY2(moved.out.contains("not verified") && moved.out.contains("did not answer at 192.0.2.99"),
                 qPrintable(moved.out));
        QTRY_COMPARE(wire::dottedQuad(emu.storedConfig("192.0.2.12"), ConfigRecord::IpOffset), QStringLiteral("192.0.2.99"));
    }

    void showDefaultAndRun()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(0, "3001", {{"label", "Desk"}, {"type", 666},
                                                 {"faults", QJsonObject{{"factory-ip", "192.0.2.77"}}}})}));
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
        for (QString &a : args)
            a.replace("@", dir.path());

        const CliRun r = withInterface ? tarvo(args, &emu) : runProgram(TARVO_CLI, args, &emu);
        QCOMPARE(r.code, code);
        QVERIFY2(r.err.contains(message), qPrintable(r.err));
        QVERIFY(r.out.isEmpty());
        for (const QString &line : emu.lines())
            QVERIFY2(!line.startsWith("connected"), qPrintable(line));
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
