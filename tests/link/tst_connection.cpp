#include "emulator.h"
#include "firmwarefiles.h"
#include "testmain.h"
#include "window.h"

#include "link/devicerecord.h"

#include <QJsonArray>
#include <QJsonObject>

namespace {

QJsonObject node(const QString &ip, const QString &serial, int type = 421, const QJsonObject &faults = {})
{
    return QJsonObject{{"ip", ip}, {"label", "Lab-" + serial}, {"serial", serial}, {"type", type}, {"faults", faults}};
}

bool waitUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(5);
    }
    return true;
}

// Searches and waits until `count` nodes are listed.
bool search(MainWindowProbe &p, int count)
{
    p.invoke("searchForDevices");
    return waitUntil([&] { return p.list()->count() >= count; });
}

// The second answers a moment later, so that it is listed second: the
// emulator's nodes answer side by side, in no fixed order.
bool startTwoNodes(EmulatorProcess &emu)
{
    return emu.startNodes(
        {node("192.0.2.10", "15030001"), node("192.0.2.11", "15030002", 421, {{"discovery-delay-ms", 30}})});
}

// Finds the one node and connects to it as the operator does.
bool searchAndConnect(MainWindowProbe &p)
{
    if (!search(p, 1))
        return false;
    p.list()->setCurrentRow(0);
    p.invoke("connectBtnPressed");
    return true;
}

bool isConnected(MainWindowProbe &p)
{
    return p.tcpSocket()->state() == QAbstractSocket::ConnectedState;
}

} // namespace

class Connection : public QObject
{
    Q_OBJECT

private slots:
    void connectRefreshDisconnectAndSearchAgain()
    {
        EmulatorProcess emu;
        QVERIFY(startTwoNodes(emu));
        auto w = openWindow();
        MainWindowProbe p(*w);
        QVERIFY(search(p, 2));

        // Nothing selected: "Connect" does nothing.
        p.button("ConnectBtn")->click();
        QCOMPARE(p.tcpSocket()->state(), QAbstractSocket::UnconnectedState);

        p.list()->setCurrentRow(1);
        p.button("ConnectBtn")->click();
        QVERIFY(Traces::contains("Connecting to: 192.0.2.11"));
        QVERIFY(Traces::waitFor("TCP message received: 7"));
        QCOMPARE(p.selectedDeviceIndex(), 1);
        QCOMPARE(p.connectedSerial(), QByteArray("15030002"));
        QCOMPARE(emu.received("192.0.2.11"), QStringList{"7"}); // GetConfig comes first
        QVERIFY(p.button("DisonnectBtn")->isVisible());
        QVERIFY(!p.button("ConnectBtn")->isVisible());
        QVERIFY(p.button("RefreshBtn")->isVisible() && p.button("RefreshBtn")->isEnabled());
        QVERIFY(!p.button("RunBtn")->isVisible());
        QVERIFY(p.button("SetBtn")->isEnabled() && p.button("FirmwareBtn")->isEnabled());
        QVERIFY(!p.line("IPLine")->isReadOnly());

        // "Refresh" reconnects and reads the configuration afresh.
        Traces::clear();
        p.button("RefreshBtn")->click();
        QVERIFY(Traces::waitFor("TCP message received: 7"));
        QVERIFY(Traces::contains("disconnected"));
        QVERIFY(emu.waitForLine("connected 192.0.2.11"));
        QCOMPARE(emu.received("192.0.2.11"), (QStringList{"7", "7"}));

        // "Disconnect" reaches the socket; the window follows its signal.
        Traces::clear();
        p.button("DisonnectBtn")->click();
        QVERIFY(waitUntil([&] { return Traces::contains("disconnected"); }));
        QVERIFY(p.button("ConnectBtn")->isVisible());
        QVERIFY(!p.button("SetBtn")->isEnabled());

        // A search while connected closes the connection first.
        p.list()->setCurrentRow(0);
        p.invoke("connectBtnPressed");
        QVERIFY(waitUntil([&] { return isConnected(p); }));
        Traces::clear();
        QVERIFY(search(p, 2));
        QCOMPARE(Traces::lines().mid(0, 2), (QStringList{"disconnected", "Discovery msg sended."}));
        QVERIFY(!isConnected(p));
    }

    void doubleClickConnects()
    {
        EmulatorProcess emu;
        QVERIFY(startTwoNodes(emu));
        auto w = openWindow();
        MainWindowProbe p(*w);
        QVERIFY(search(p, 2));
        QListWidgetItem *item = p.list()->item(1);
        emit p.list()->itemDoubleClicked(item);
        QVERIFY(Traces::waitFor("TCP message received: 7"));
        QCOMPARE(p.selectedDeviceIndex(), 1);
        QCOMPARE(emu.received("192.0.2.11"), QStringList{"7"});
        // An item that is not in the list only closes the connection.
        QListWidgetItem stray(QStringLiteral("stray"));
        QMetaObject::invokeMethod(w.get(), "connectToDevice", Q_ARG(QListWidgetItem *, &stray));
        QCOMPARE(p.tcpSocket()->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(p.selectedDeviceIndex(), 1);
    }

    void bootLoaderNodeOffersRun()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node("192.0.2.10", "15030001", 666)}));
        auto w = openWindow();
        MainWindowProbe p(*w);
        QVERIFY(searchAndConnect(p));
        QVERIFY(Traces::waitFor("TCP message received: 7"));
        QVERIFY(p.button("RunBtn")->isVisible() && p.button("RunBtn")->isEnabled());
        QVERIFY(!p.button("RefreshBtn")->isVisible());

        // Clicking the connected node's entry keeps the connected form;
        // the view never reads outside the kept records.
        p.invoke("displayDevice");
        QVERIFY(Traces::contains("This device is connected"));
        p.selectedDeviceIndex() = 7;
        p.setConnectedView();
        QVERIFY(p.button("RefreshBtn")->isVisible());
    }

    // The time-out guards a configuration write while no upgrade runs, and
    // the whole upgrade otherwise.
    void timeoutShowsItsBox_data()
    {
        QTest::addColumn<int>("state");
        QTest::addColumn<QStringList>("traces");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("text");
        QTest::newRow("config") << int(Idle) << QStringList{"Timeout", "Timeout"} << "Set config status"
                                << "Setting new config timeout!";
        QTest::newRow("upgrade") << int(EraseRequested) << QStringList{"Timeout", "Error during firmware update"}
                                 << "Upgrade firmware status" << "Firmware upgrade timeout!";
    }

    void timeoutShowsItsBox()
    {
        QFETCH(int, state);
        auto w = openWindow();
        MainWindowProbe p(*w);
        auto &op = ScriptedOperator::instance();
        if (state != Idle)
            p.startUpgrade(buildUpgradeFile(fw::rawImage("v2.05")).data);
        Traces::clear();
        p.invoke("timerTimeout");
        QTEST(Traces::lines(), "traces");
        QCOMPARE(op.boxes.size(), 1);
        const auto box = op.boxes[0];
        QTEST(box.title, "title");
        QTEST(box.text, "text");
        QCOMPARE(box.icon, QMessageBox::Warning);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
        QVERIFY(!box.hasParent);
        QVERIFY(p.statusBox() == nullptr);
        QCOMPARE(p.upgradeState(), Idle);

        // A late acknowledgement of a packet is ignored once idle.
        QByteArray ack = wire::message(ProgramPacket);
        wire::putU32(ack, 8, 3);
        p.handleMessage(ack);
        QCOMPARE(p.upgradeState(), Idle);
        QVERIFY(!Traces::contains("Program packet nr: 4"));
    }

    void aReplyDuringTheTimeoutBoxClosesButNeverDestroysIt()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        auto &op = ScriptedOperator::instance();
        op.holdNextBox(10000);
        // The acknowledgement arrives while the box's exec() is running.
        QTimer::singleShot(100, [&] {
            QVERIFY(p.statusBox() != nullptr);
            p.handleMessage(wire::message(SetConfig));
        });
        QElapsedTimer clock;
        clock.start();
        p.invoke("timerTimeout");
        QVERIFY(clock.elapsed() < 9000); // closed by the reply, not by the operator
        QVERIFY(p.statusBox() == nullptr);
        QCOMPARE(op.boxes.size(), 1);
        QTRY_VERIFY(op.boxes[0].widget.isNull()); // deleted once exec() returned
    }
};

TARVO_TEST_MAIN(Connection)
#include "tst_connection.moc"
