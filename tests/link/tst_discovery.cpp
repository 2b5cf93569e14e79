#include "emulator.h"
#include "testmain.h"
#include "window.h"

#include "link/devicerecord.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QUdpSocket>

namespace {

QJsonObject node(const QString &ip, const QString &label, const QString &serial, int type = 421)
{
    return QJsonObject{{"ip", ip}, {"label", label}, {"serial", serial}, {"type", type}};
}

bool waitForEntries(MainWindowProbe &p, int n, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (p.list()->count() < n && !deadline.hasExpired())
        QTest::qWait(10);
    return p.list()->count() >= n;
}

} // namespace

class DiscoveryTest : public QObject
{
    Q_OBJECT

private slots:
    void acceptsEachNodeOnceAndDropsBadReplies()
    {
        EmulatorProcess emu;
        QJsonObject late = node("192.0.2.11", "Dup", "15030001");
        late["faults"] = QJsonObject{{"discovery-delay-ms", 150}};
        QJsonObject badStatus = node("192.0.2.13", "Busy", "15030003");
        badStatus["status"] = 3;
        // Replies sent within microseconds of each other may cross on the
        // test network's link: the first node's goes out alone, the others'
        // a little later, so that the order of arrival is the order sent.
        QJsonObject second = node("192.0.2.12", "Lab-4", "15030002", 666);
        QJsonObject odd = node("192.0.2.14", "Odd", "15030004", 999);
        for (QJsonObject *n : {&second, &badStatus, &odd})
            (*n)["faults"] = QJsonObject{{"discovery-delay-ms", 30}};
        QVERIFY(emu.startNodes({node("192.0.2.10", "Lab-1", "15030001"), late, second, badStatus, odd}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(Traces::contains("Discovery msg sended."));
        QVERIFY(waitForEntries(p, 2));
        QVERIFY(Traces::waitFor("Serial: 15030004"));
        QVERIFY(Traces::waitFor("Sender: 192.0.2.11")); // the late duplicate is heard, then dropped
        QTest::qWait(100);

        QCOMPARE(p.list()->count(), 2);
        QCOMPARE(p.devices().size(), 2);
        QCOMPARE(p.deviceAddresses(), (QVector<QHostAddress>{QHostAddress("192.0.2.10"), QHostAddress("192.0.2.12")}));
        QCOMPARE(p.list()->item(0)->text(), QStringLiteral("Lab-1"));
        QCOMPARE(p.list()->item(0)->font().weight(), p.list()->font().weight());
        QCOMPARE(p.list()->item(1)->text(), QStringLiteral("Lab-4 bootloader"));
        QCOMPARE(p.list()->item(1)->font().weight(), QFont::Bold);
        QCOMPARE(Traces::count("Discovery response:"), 5);

        const QStringList first = Traces::since("Discovery response:").mid(0, 8);
        QCOMPARE(first, (QStringList{"Discovery response:", "Command: 1", "Device: 421", "Label: Lab-1", "Serial: 15030001",
                                     "Sender: 192.0.2.10", "Sender port: 49999", "Datagram size: 512"}));
    }

    void showsTheSelectedNodesDetails()
    {
        EmulatorProcess emu;
        QJsonObject n = node("192.0.2.10", "Stage left", "15030001");
        n["mac"] = "00:1a:2b:3c:4d:5e";
        n["netIp"] = "192.168.1.10";
        n["mask"] = "255.255.0.0";
        n["gateway"] = "192.168.0.1";
        n["name"] = "DMX4-Pro";
        n["version"] = "v2.17";
        QVERIFY(emu.startNodes({n}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, 1));
        p.list()->setCurrentRow(0);
        p.invoke("displayDevice");
        QCOMPARE(p.line("DeviceLabelLine")->text(), QStringLiteral("Stage left"));
        QCOMPARE(p.label("DevNameLabel")->text(), QStringLiteral("DMX4-Pro"));
        QCOMPARE(p.label("FirmwareLabel")->text(), QStringLiteral("v2.17"));
        QCOMPARE(p.label("SerialNoLabel")->text(), QStringLiteral("15030001"));
        QCOMPARE(p.line("IPLine")->text(), QStringLiteral("192.168.1.10"));
        QCOMPARE(p.line("SubnetLine")->text(), QStringLiteral("255.255.0.0"));
        QCOMPARE(p.line("GatewayLine")->text(), QStringLiteral("192.168.0.1"));
        QCOMPARE(p.label("MACLabel")->text(), QStringLiteral("00::1a::2b::3c::4d::5e"));
        QVERIFY(Traces::contains("This device is not conneted"));
        QVERIFY(p.line("IPLine")->isReadOnly());

        // A new search empties the details and the list.
        p.invoke("searchForDevices");
        QCOMPARE(p.label("MACLabel")->text(), QString());
        QCOMPARE(p.line("DeviceLabelLine")->text(), QString());
        QVERIFY(waitForEntries(p, 1));
    }

    void textFieldsWithoutTerminatorEndAtTheirField()
    {
        EmulatorProcess emu;
        QJsonObject n = node("192.0.2.10", QString(70, 'L'), "1234567890ABCDEFGH");
        QVERIFY(emu.startNodes({n}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, 1));
        QCOMPARE(p.list()->item(0)->text(), QString(64, 'L'));
        p.list()->setCurrentRow(0);
        p.invoke("displayDevice");
        QCOMPARE(p.label("SerialNoLabel")->text(), QStringLiteral("1234567890ABCDEF"));
        p.invoke("connectBtnPressed");
        QCOMPARE(p.connectedSerial(), QByteArray("1234567890ABCDE")); // 15 characters and the NUL
        // Both sides compare the same 15 characters: the connected node's
        // own entry shows it connected.
        QVERIFY(Traces::waitFor("Serial number: 1234567890ABCDE"));
        p.invoke("displayDevice");
        QVERIFY(Traces::contains("This device is connected"));
        QVERIFY(p.button("SetBtn")->isEnabled());
    }

    // A node's texts reach the traces and the form on one line, with every
    // control character spelled out: they cannot forge a trace line nor
    // drive a terminal.
    void nodeTextsCannotForgeLines()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node("192.0.2.10", "NL\nDiscovery msg sended.\nX\x1b[2J\x07", "S\n1")}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, 1));
        QVERIFY(Traces::contains("Label: NL\\x0aDiscovery msg sended.\\x0aX\\x1b[2J\\x07"));
        QVERIFY(Traces::contains("Serial: S\\x0a1"));
        QCOMPARE(Traces::count("Discovery msg sended."), 1);
        QCOMPARE(p.list()->item(0)->text(), QStringLiteral("NL\\x0aDiscovery msg sended.\\x0aX\\x1b[2J\\x07"));
        p.list()->setCurrentRow(0);
        p.invoke("displayDevice");
        QCOMPARE(p.label("SerialNoLabel")->text(), QStringLiteral("S\\x0a1"));
        QCOMPARE(p.label("SerialNoLabel")->textFormat(), Qt::PlainText);
    }

    // Where a label or name is only shown, it appears as the node sent it,
    // a backslash as a backslash, only its control characters (DEL too)
    // spelled out; a trace line spells out the backslash as well, so that a
    // traced \x01 is never ambiguous. The label field is edited and sent
    // back: it holds the label as the node sent it, and an untouched form
    // returns it byte for byte.
    void labelsGoBackAsTheNodeSentThem()
    {
        const QByteArray label("A\\x01B\x01" "C\x7f");
        EmulatorProcess emu;
        QJsonObject n = node("192.0.2.10", QString::fromLatin1(label), "S2");
        n.insert("name", "Stage\\Left");
        QVERIFY(emu.startNodes({n}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, 1));
        QCOMPARE(p.list()->item(0)->text(), QStringLiteral("A\\x01B\\x01C\\x7f"));
        QVERIFY(Traces::contains(QStringLiteral("Label: A\\\\x01B\\x01C\\x7f")));
        p.list()->setCurrentRow(0);
        p.invoke("displayDevice");
        QCOMPARE(p.line("DeviceLabelLine")->text(), QString::fromLatin1(label));
        QCOMPARE(p.label("DevNameLabel")->text(), QStringLiteral("Stage\\Left"));
        p.invoke("connectBtnPressed");
        QVERIFY(Traces::waitFor(QStringLiteral("Serial number: S2")));
        p.invoke("sendConfig");
        QVERIFY(Traces::waitFor(QStringLiteral("TCP message received: 8")));
        QCOMPARE(emu.storedConfig("192.0.2.10").mid(196, label.size() + 1), label + '\0');
    }
};

TARVO_TEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
