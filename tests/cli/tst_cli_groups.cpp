// One setting across many nodes, nodes named by pattern, files of other
// nodes as templates, and writes that never give two nodes one address.
#include "clirun.h"
#include "testmain.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QDir>
#include <QMap>
#include <QTemporaryDir>
#include <QtEndian>

namespace {

// A site of trusses and a desk: "Truss 1".."Truss N" at 192.0.2.10 onwards,
// serials 2649000N, the desk last.
QJsonArray site(int trusses)
{
    QJsonArray nodes;
    for (int i = 0; i < trusses; ++i)
        nodes.append(QJsonObject{{"ip", QStringLiteral("192.0.2.%1").arg(10 + i)},
                                 {"serial", QStringLiteral("2649%1").arg(i + 1, 4, 10, QLatin1Char('0'))},
                                 {"label", QStringLiteral("Truss %1").arg(i + 1)}});
    nodes.append(QJsonObject{{"ip", QStringLiteral("192.0.2.%1").arg(10 + trusses)}, {"serial", "26499999"}, {"label", "Desk"}});
    return nodes;
}

QString address(int i) { return QStringLiteral("192.0.2.%1").arg(10 + i); }

quint32 u32(const QByteArray &record, int at) { return qFromLittleEndian<quint32>(record.constData() + at); }

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A backup folder's files, by name.
QMap<QString, QByteArray> backups(const QString &dir)
{
    QMap<QString, QByteArray> files;
    for (const QString &name : QDir(dir).entryList(QDir::Files))
        files.insert(name, readAll(QDir(dir).filePath(name)));
    return files;
}

} // namespace

class CliGroupsTest : public QObject
{
    Q_OBJECT

private slots:
    // --set writes the one field on every node named and nothing else of
    // any record; a node that holds the value already is not written.
    void oneFieldAcrossManyNodes()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(site(40)));
        QTemporaryDir dir;
        QCOMPARE(tarvo({"backup", dir.filePath("before"), "--all"}, &emu).code, 0);
        const CliRun r = tarvo({"--json", "config", "set", "Truss*", "--set", "ports[1].break=200", "--yes", "--parallel", "16"}, &emu);
        QCOMPARE(r.code, 0);
        QCOMPARE(parsedJson(r.out).toObject().value("tally").toObject().value("done").toInt(), 40);
        QCOMPARE(tarvo({"backup", dir.filePath("after"), "--all"}, &emu).code, 0);
        const QMap<QString, QByteArray> before = backups(dir.filePath("before")), after = backups(dir.filePath("after"));
        QCOMPARE(after.size(), 41);
        for (auto it = after.cbegin(); it != after.cend(); ++it) {
            // A truss's file differs in its second port's BREAK alone.
            const bool desk = it.key() == "26499999.json";
            if (!desk)
                QCOMPARE(emu.storedConfig(address(it.key().mid(4, 4).toInt() - 1)).mid(112, 4), QByteArray::fromHex("c8000000"));
            QCOMPARE(it.value().count("\"break\": 200"), desk ? 0 : 1);
            QCOMPARE(QString(it.value()).replace("\"break\": 200", "\"break\": 176"), QString(before.value(it.key())));
        }
        QVERIFY(!emu.received(address(40)).contains("8")); // the desk is no truss

        // Again: every node holds it, nothing is written.
        const CliRun again = tarvo({"--json", "config", "set", "Truss*", "--set", "ports[1].break=200", "--yes"}, &emu);
        QCOMPARE(again.code, 0);
        QCOMPARE(parsedJson(again.out).toObject().value("tally").toObject().value("skipped").toInt(), 40);
        QCOMPARE(emu.received(address(0)).count("8"), 1);
    }

    // A value ending in + counts up from node to node, in natural order of
    // the labels for a pattern; one that would leave its range, or land on
    // an address another node holds, is refused before anything is sent.
    void sequences_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("code");
        QTest::addColumn<QStringList>("expected"); // per truss: its field after, as the plan shows it
        QTest::newRow("universes of every port")
            << QStringList{"Truss*", "--set", "ports[*].universe=1+"} << 0
            << QStringList{"1 2 3 4", "5 6 7 8", "9 10 11 12", "13 14 15 16", "17 18 19 20", "21 22 23 24", "25 26 27 28",
                           "29 30 31 32", "33 34 35 36", "37 38 39 40", "41 42 43 44", "45 46 47 48"};
        QTest::newRow("addresses, in the order named")
            << QStringList{"Truss 3", "Truss 1", "--set", "network.ip=192.0.2.100+"} << 0
            << QStringList{"192.0.2.101", "", "192.0.2.100"};
        QTest::newRow("beyond the universes") << QStringList{"Truss*", "--set", "ports[*].universe=220+"} << 1 << QStringList{};
        QTest::newRow("onto a node's address") << QStringList{"Truss 1", "Truss 2", "--set", "network.ip=192.0.2.21+"} << 1
                                               << QStringList{};
        QTest::newRow("beyond the network") << QStringList{"Truss*", "--set", "network.ip=192.0.2.250+"} << 1
                                            << QStringList{};
        QTest::newRow("a pattern that fits nothing") << QStringList{"Rigging*", "--set", "label=x"} << 1 << QStringList{};
    }

    void sequences()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, expected);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(site(12)));
        const CliRun r = tarvo(QStringList{"--json", "config", "set"} + args + QStringList{"--yes"}, &emu);
        QTEST(r.code, "code");
        for (int i = 0; i <= 12; ++i) {
            const QByteArray stored = emu.storedConfig(address(i));
            if (stored.isEmpty()) { // not written: it held the value already
                QVERIFY(i >= expected.size() || expected.at(i).isEmpty() || expected.at(i) == "1 2 3 4");
                continue;
            }
            if (i >= expected.size() || expected.at(i).isEmpty()) {
                QVERIFY2(!emu.received(address(i)).contains("8"), qPrintable(address(i)));
                continue;
            }
            QStringList got;
            if (expected.at(i).contains('.'))
                got.append(QStringLiteral("%1.%2.%3.%4").arg(quint8(stored[266])).arg(quint8(stored[267])).arg(quint8(stored[268])).arg(quint8(stored[269])));
            else
                for (int p = 0; p < 4; ++p)
                    got.append(QString::number(u32(stored, 84 + 28 * p + 24) + 1));
            QCOMPARE(got.join(' '), expected.at(i));
        }
        if (QTest::currentDataTag() == QByteArray("onto a node's address"))
            QVERIFY2(r.err.contains("Truss 1 (26490001, 192.0.2.10): 192.0.2.21 is held by Truss 12, serial 26490012"),
                     qPrintable(r.err));
    }

    // Asked on a terminal, a write shows what it will change on each node
    // it writes and counts the skips by reason rather than listing them;
    // answered no, nothing is sent.
    void questionShowsTheChanges_data()
    {
        QTest::addColumn<QString>("before"); // run first, $D a folder
        QTest::addColumn<QString>("command");
        QTest::addColumn<QStringList>("shown"); // patterns
        QTest::newRow("config set")
            << "$T --yes config set 26490001 26490002 26490003 --set 'ports[1].break=200'"
            << "config set --all --set 'ports[1].break=200'"
            << QStringList{"tarvo config set: 4 of 7 node\\(s\\) to write\r?\n",
                           "\nTruss 4 \\(26490004, 192\\.0\\.2\\.13\\) +write +1 change\\(s\\)\r?\n +ports\\[1\\]\\.break: 176 -> 200\r?\n",
                           "\n3 node\\(s\\) to skip \\(it holds these values already\\)\r?\n"};
        QTest::newRow("restore")
            << "$T backup $D 26490001 26490002 && sed -i 's/\"Truss 1\"/\"Truss 1b\"/' $D/26490001.json"
            << "restore $D --all"
            << QStringList{"tarvo restore: 2 of 7 node\\(s\\) to write\r?\n",
                           "\nTruss 1 \\(26490001, 192\\.0\\.2\\.10\\) +write +1 change\\(s\\); [^\\n]*/26490001\\.json\r?\n"
                           " +label: \"Truss 1\" -> \"Truss 1b\"\r?\n",
                           "\n5 node\\(s\\) to skip \\(no backup fits it by serial in [^)]*\\)\r?\n"
                           "\\(--dry-run lists the skipped nodes too\\)\r?\nGo ahead\\? \\[y/N\\] "};
    }

    void questionShowsTheChanges()
    {
        QFETCH(QString, before);
        QFETCH(QString, command);
        QFETCH(QStringList, shown);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(site(6)));
        QTemporaryDir dir;
        QCOMPARE(shell(before, {{"D", dir.path()}}, &emu).code, 0);
        const auto writes = [&emu] {
            int n = 0;
            for (int i = 0; i < 7; ++i)
                n += int(emu.received(address(i)).count("8"));
            return n;
        };
        const int written = writes();
        const CliRun r = shell("printf 'n\\n' | script -qec \"$T " + command + "\" /dev/null", {{"D", dir.path()}}, &emu);
        for (const QString &pattern : shown)
            QVERIFY2(r.out.contains(QRegularExpression(pattern)), qPrintable(pattern + " not in:\n" + r.out));
        QVERIFY2(!r.out.contains("skip  ") && r.out.contains("nothing was done"), qPrintable(r.out));
        QCOMPARE(writes(), written);
    }

    // A file taken from another node is a template: its ports are written,
    // the node keeps its label and network settings unless asked; asked,
    // a write onto another node's address is refused, nothing sent.
    void anotherNodesFileIsATemplate()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes(site(3)));
        QTemporaryDir dir;
        const QString file = dir.filePath("truss.json");
        QVERIFY(tarvo({"config", "get", "Truss 1", "-o", file}, &emu).code == 0);
        QVERIFY(!writeFile(file, QString::fromUtf8(readAll(file)).replace("\"universe\": 1,", "\"universe\": 9,").toUtf8()).isEmpty());

        const CliRun plan = tarvo({"config", "set", "Truss 3", file, "--dry-run"}, &emu);
        QCOMPARE(plan.code, 0);
        QVERIFY2(plan.out.contains("a template (the file is 26490001's): its own label and network settings kept"),
                 qPrintable(plan.out));
        QCOMPARE(tarvo({"config", "set", "Truss 3", file}, &emu).code, 0);
        const QByteArray stored = emu.storedConfig(address(2));
        QCOMPARE(u32(stored, 108), 8u);                      // port 1's universe 9, from the file
        QCOMPARE(stored.mid(196, 8), QByteArray("Truss 3\0", 8)); // its own label
        QCOMPARE(stored.mid(266, 4), QByteArray::fromHex("c000020c")); // its own address

        for (const char *with : {"--with-network", "--with-label"}) {
            const CliRun moved = tarvo({"config", "set", "Truss 3", file, with}, &emu);
            if (QByteArray(with) == "--with-label") {
                QCOMPARE(moved.code, 0);
                continue;
            }
            QCOMPARE(moved.code, 1);
            QVERIFY2(moved.err.contains("Truss 3 (26490003, 192.0.2.12): 192.0.2.10 is held by Truss 1, serial 26490001"),
                     qPrintable(moved.err));
        }
        QCOMPARE(emu.received(address(2)).count("8"), 2); // the template and --with-label: the refused one sent nothing
    }
};

TARVO_TEST_MAIN(CliGroupsTest)
#include "tst_cli_groups.moc"
