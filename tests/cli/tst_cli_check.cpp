// tarvo check: every problem a site's replies show, in the table and in
// JSON, and the exit code that follows from them.
#include "clirun.h"
#include "testmain.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QJsonObject at(const QString &ip, const QString &serial, const QString &label, const QString &macEnd, const QJsonObject &extra = {})
{
    QJsonObject n{{"ip", ip}, {"serial", serial}, {"label", label}, {"mac", "02:00:5e:00:01:" + macEnd}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        n.insert(it.key(), it.value());
    return n;
}

// A site with one of every problem that replies can show but lost ones.
const QJsonArray site{
    at("192.0.2.10", "26490001", "Truss 1", "01"),
    at("192.0.2.10", "26490003", "Truss 3", "03", {{"type", 666}}), // the same address
    at("192.0.2.11", "26490002", "Truss 2", "02", {{"netIp", "192.0.2.40"}, {"mask", "255.255.0.0"}, {"version", "v2.05"}}),
    at("192.0.2.13", "26490004", "Spot A", "04", {{"type", 666}, {"version", "BL 0.9"}}),
    at("192.0.2.14", "26490004", "Spot B", "14", {{"gateway", "10.0.0.1"}}),
    at("192.0.2.15", "26490005", "Foyer", "04", {{"netIp", "192.0.2.1"}}),
    at("192.0.2.16", "26490006", "Foyer", "16", {{"gateway", "0.0.0.0"}}),
    at("192.0.2.17", "26490007", "Desk", "17", {{"netIp", "192.0.2.16"}}),
    // Outside the workstation's network; its record holds the top address.
    at("198.51.100.7", "26490009", "Far", "09", {{"netIp", "198.51.100.254"}, {"gateway", "198.51.100.1"}}),
};

} // namespace

class CliCheckTest : public QObject
{
    Q_OBJECT

    EmulatorProcess emu;
    CliRun table, json;
    QJsonArray problems;

private slots:
    void initTestCase()
    {
        const QString nodes = QString::fromLocal8Bit(qgetenv("TARVO_NODES_NETNS"));
        QCOMPARE(QProcess::execute("nsenter", {"--net=" + nodes, "ip", "addr", "add", "198.51.100.7/24", "dev", "v1"}), 0);
        QVERIFY(emu.startNodes(site));
        table = tarvo({"check", "--timeout", "300"}, &emu);
        json = tarvo({"--json", "check", "--timeout", "300"}, &emu);
        problems = parsedJson(json.out).toObject().value("problems").toArray();
    }

    // Each problem once, in its place: errors first, then by address; its
    // nodes (serial@address, by address), one of its facts, and what the
    // table tells the operator to do.
    void everyProblemIsNamed_data()
    {
        QTest::addColumn<int>("place"); // in the list
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("severity");
        QTest::addColumn<QString>("nodes");
        QTest::addColumn<QString>("fact"); // key=value
        QTest::addColumn<QString>("advice"); // a part of the table's row
        int place = 0;
        QTest::newRow("two nodes answer from one address") << place++
            << "address-conflict" << "error" << "26490001@192.0.2.10 26490003@192.0.2.10" << "address=192.0.2.10"
            << "192.0.2.10: Truss 1 (26490001) and Truss 3 (26490003) answer from it; tarvo reaches each of them, "
               "pinning 192.0.2.10 to the node's MAC address for the length of an operation: give all but one another "
               "address, one at a time (tarvo config set 26490001 --set network.ip=ADDR)";
        QTest::newRow("a record claims a node's address") << place++
            << "address-conflict" << "error" << "26490006@192.0.2.16 26490007@192.0.2.17" << "address=192.0.2.16"
            << "Foyer (26490006) answers from it, Desk (26490007), at 192.0.2.17, claims it in its record; give one "
               "another address: tarvo config set 192.0.2.17 --set network.ip=ADDR";
        QTest::newRow("the workstation's address") << place++
            << "workstation-address" << "error" << "26490005@192.0.2.15" << "address=192.0.2.1"
            << "Foyer (26490005, 192.0.2.15) has this workstation's address 192.0.2.1 in its record";
        QTest::newRow("outside the network") << place++
            << "unreachable" << "error" << "26490009@198.51.100.7" << "free_address=198.51.100.253"
            << "outside this workstation's network 192.0.2.0/24: tarvo reaches it from an address in 198.51.100.0/24, "
               "such as 198.51.100.253, for the length of an operation; to bring it into this network: tarvo config "
               "set 198.51.100.7 --set network.ip=ADDR";
        QTest::newRow("record of another address") << place++ << "record-address" << "warning" << "26490002@192.0.2.11"
                                                   << "record_address=192.0.2.40" << "but its record says 192.0.2.40";
        QTest::newRow("record of the workstation's") << place++ << "record-address" << "warning" << "26490005@192.0.2.15"
                                                     << "record_address=192.0.2.1" << "tarvo show 192.0.2.15";
        QTest::newRow("record of a node's") << place++ << "record-address" << "warning" << "26490007@192.0.2.17"
                                            << "record_address=192.0.2.16" << "tarvo show 192.0.2.17";
        QTest::newRow("record of the free one") << place++ << "record-address" << "warning" << "26490009@198.51.100.7"
                                                << "record_address=198.51.100.254" << "tarvo show 198.51.100.7";
        QTest::newRow("mask") << place++ << "mask-mismatch" << "warning" << "26490002@192.0.2.11" << "mask=255.255.0.0"
                              << "tarvo config set 192.0.2.11 --set network.mask=255.255.255.0";
        QTest::newRow("gateway") << place++ << "gateway-outside" << "warning" << "26490004@192.0.2.14" << "gateway=10.0.0.1"
                                 << "outside its network 192.0.2.0/24";
        QTest::newRow("twins") << place++ << "shared-serial" << "warning" << "26490004@192.0.2.13 26490004@192.0.2.14"
                               << "serial=26490004" << "the serial 26490004 is reported by 2 nodes";
        QTest::newRow("MAC") << place++ << "duplicate-mac" << "warning" << "26490004@192.0.2.13 26490005@192.0.2.15"
                             << "mac=02:00:5e:00:01:04" << "the MAC address 02:00:5e:00:01:04 is reported by 2 nodes";
        QTest::newRow("label") << place++ << "duplicate-label" << "warning" << "26490005@192.0.2.15 26490006@192.0.2.16"
                               << "label=Foyer" << "tarvo config set 192.0.2.16 --set label=NEW";
        QTest::newRow("boot loader on a shared address")
            << place++ << "bootloader" << "info" << "26490003@192.0.2.10" << "firmware=v1.00"
            << "start its application: tarvo run 26490003";
        QTest::newRow("boot loader") << place++ << "bootloader" << "info" << "26490004@192.0.2.13" << "firmware=BL 0.9"
                                     << "start its application: tarvo run 192.0.2.13";
        QTest::newRow("versions") << place++
            << "firmware-versions" << "info"
            << "26490001@192.0.2.10 26490002@192.0.2.11 26490004@192.0.2.14 26490005@192.0.2.15 "
               "26490006@192.0.2.16 26490007@192.0.2.17 26490009@198.51.100.7"
            << "versions=[{\"firmware\":\"v1.00\",\"nodes\":6},{\"firmware\":\"v2.05\",\"nodes\":1}]"
            << "the nodes run 2 firmware versions: v1.00 on 6 node(s), v2.05 on 1 node(s)";
    }

    void everyProblemIsNamed()
    {
        QFETCH(QString, kind);
        QFETCH(QString, severity);
        QFETCH(QString, fact);
        QFETCH(QString, advice);
        QFETCH(int, place);
        QVERIFY2(place < problems.size(), qPrintable(json.out));
        const QJsonObject p = problems.at(place).toObject();
        QCOMPARE(p.value("kind").toString(), kind);
        QCOMPARE(p.value("severity").toString(), severity);
        QStringList nodes;
        for (const QJsonValue n : p.value("nodes").toArray())
            nodes.append(n.toObject().value("serial").toString() + "@" + n.toObject().value("address").toString());
        QTEST(nodes.join(' '), "nodes");
        const QString key = fact.section('=', 0, 0), value = fact.section('=', 1);
        const QJsonValue got = p.value(key);
        QCOMPARE(got.isArray() ? QString::fromUtf8(QJsonDocument(got.toArray()).toJson(QJsonDocument::Compact)) : got.toString(), value);
        QVERIFY2(p.value("advice").toString().contains(advice), qPrintable(p.value("advice").toString()));
        const QString row = table.out.split('\n').value(place + 1);
        QVERIFY2(row.startsWith(severity.leftJustified(10) + kind) && row.contains(advice), qPrintable(table.out));
    }

    // Nothing more is listed; errors fail the command, in both forms.
    void theWholeSite()
    {
        QCOMPARE(table.code, 1);
        QCOMPARE(json.code, 1);
        QCOMPARE(problems.size(), 16);
        QCOMPARE(table.out.split('\n', Qt::SkipEmptyParts).size(), 1 + 16 + 1);
        QVERIFY2(table.out.endsWith("\n4 error(s), 9 warning(s), 3 info\n"), qPrintable(table.out));
        const QJsonObject doc = parsedJson(json.out).toObject();
        QCOMPARE(doc.value("format").toString(), QStringLiteral("tarvo-check"));
        QCOMPARE(doc.value("version").toInt(), 1);
        QCOMPARE(doc.value("tally").toObject(), (QJsonObject{{"error", 4}, {"warning", 9}, {"info", 3}}));
        QCOMPARE(doc.value("workstation").toObject(),
                 (QJsonObject{{"address", "192.0.2.1"}, {"mask", "255.255.255.0"}, {"interface", "v0"}}));
        QCOMPARE(doc.value("nodes").toArray().size(), site.size());
        QCOMPARE(doc.value("replies_lost").toInt(-1), 0);
        QVERIFY(table.err.contains("9 node(s) answered"));
    }

    // Warnings and notes alone leave the exit code 0.
    void withoutErrors_data()
    {
        QTest::addColumn<QJsonArray>("nodes");
        QTest::addColumn<QString>("out");
        QTest::newRow("healthy") << QJsonArray{at("192.0.2.20", "1", "A", "20"), at("192.0.2.21", "2", "B", "21")}
                                 << "0 error(s), 0 warning(s), 0 info\n";
        QTest::newRow("a boot loader")
            << QJsonArray{at("192.0.2.20", "1", "A", "20", {{"type", 666}})}
            << "SEVERITY  KIND        PROBLEM\n"
               "info      bootloader  A (1, 192.0.2.20) runs its boot loader (v1.00); start its application: tarvo run 192.0.2.20\n"
               "0 error(s), 0 warning(s), 1 info\n";
    }

    void withoutErrors()
    {
        QFETCH(QJsonArray, nodes);
        emu.stop();
        QVERIFY(emu.startNodes(nodes));
        const CliRun r = tarvo({"check", "--timeout", "300"}, &emu);
        QCOMPARE(r.code, 0);
        QTEST(r.out, "out");
    }
};

TARVO_TEST_MAIN(CliCheckTest)
#include "tst_cli_check.moc"
