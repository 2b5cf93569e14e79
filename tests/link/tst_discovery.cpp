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
        QVERIFY(emu.startNodes({node("192.0.2.10", "Lab-1", "15030001"), late, node("192.0.2.12", "Lab-4", "15030002", 666),
                                badStatus, node("192.0.2.14", "Odd", "15030004", 999)}));
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

    void shortGarbageAndForeignDatagramsLeaveNoEntry()
    {
        EmulatorProcess emu;
        QJsonObject n = node("192.0.2.10", "Lab-1", "15030001");
        n["faults"] = QJsonObject{{"extra-datagrams", QJsonArray{"short", "tiny", "garbage"}}};
        QVERIFY(emu.startNodes({n}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, 1));
        QTest::qWait(100);
        QCOMPARE(p.list()->count(), 1);
        QCOMPARE(p.list()->item(0)->text(), QStringLiteral("Lab-1"));
        // The short reply (281 bytes) and the garbage one carry command 1 and
        // are traced; the 3-byte one has no command word and is not.
        QVERIFY(Traces::contains("Datagram size: 281"));
        QCOMPARE(Traces::count("Discovery response:"), 3);

        // A request (command 0), such as the tool's own broadcast, is silent.
        Traces::clear();
        QUdpSocket other;
        QVERIFY(other.bind(QHostAddress("192.0.2.1"), 0));
        QByteArray request(DeviceRecord::Size, '\0');
        other.writeDatagram(request, QHostAddress("192.0.2.1"), DiscoveryPort);
        QTest::qWait(100);
        QVERIFY(!Traces::contains("Discovery response:"));
        QCOMPARE(p.list()->count(), 1);
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
    }

    void manyNodesAreAllListed()
    {
        const int count = 200;
        EmulatorProcess emu;
        QVERIFY(emu.start({"--count", QString::number(count), "--first-ip", "192.0.2.10"}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.invoke("searchForDevices");
        QVERIFY(waitForEntries(p, count, 10000));
        QTest::qWait(100);
        QCOMPARE(p.list()->count(), count);
    }
};

TARVO_TEST_MAIN(DiscoveryTest)
#include "tst_discovery.moc"
