// Editing, sending and restoring a node's configuration against the
// emulated node.
#include "emulator.h"
#include "testmain.h"
#include "window.h"

#include "config/configrecord.h"

#include <QSignalSpy>

namespace {

const QString node = QStringLiteral("192.0.2.10");

// Finds the node, fills its details and connects to it, as an operator does.
bool connectNode(MainWindowProbe &p)
{
    p.invoke("searchForDevices");
    if (!QTest::qWaitFor([&] { return p.list()->count() > 0; }, 5000))
        return false;
    p.list()->setCurrentRow(0);
    p.invoke("displayDevice");
    p.invoke("connectBtnPressed");
    return Traces::waitFor(QStringLiteral("Serial number: 26500001"));
}

const char *const portNames[6] = {"UniverseLine", "BREAKLine", "MABLine", "MBFLine", "WAITLine", "ChannelsLine"};

QLineEdit *portLine(MainWindowProbe &p, int port, int field)
{
    QByteArray name(portNames[field]);
    if (port > 0)
        name += "_" + QByteArray::number(port + 1);
    return p.line(name.constData());
}

QComboBox *mergeBox(MainWindowProbe &p, int port)
{
    return p.combo(port ? ("MergeModeBox_" + QByteArray::number(port + 1)).constData() : "MergeModeBox");
}

} // namespace

class ConfigLinkTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> w;
    EmulatorProcess emu;
    ScriptedOperator &op = ScriptedOperator::instance();

    MainWindowProbe start(const QStringList &faults = {})
    {
        w.reset(); // its discovery socket holds the port the next window binds
        emu.stop();
        QStringList args;
        for (const QString &f : faults)
            args << QStringLiteral("--fault") << f;
        if (!emu.start(args))
            qFatal("emulator did not start");
        w = openWindow();
        MainWindowProbe p(*w);
        if (!connectNode(p))
            qFatal("no connection to the emulated node");
        return p;
    }

    // Waits for the node's acknowledgement of the last record sent.
    static bool acknowledged() { return Traces::waitFor(QStringLiteral("TCP message received: 8")); }

private slots:
    void cleanup()
    {
        w.reset();
        emu.stop();
    }

    void roundTrip()
    {
        MainWindowProbe p = start();
        for (int pass = 0; pass < 2; ++pass) {
            // Every field its own value; the extremes of the universe; the
            // node's own address written with decimal leading zeros.
            quint32 sent[4][6];
            for (int port = 0; port < 4; ++port) {
                const int low[6] = {1, 92, 12, 0, 10, 24};
                for (int f = 0; f < 6; ++f) {
                    const int value = f == 0 && pass ? 256 : low[f] + port + 100 * pass;
                    portLine(p, port, f)->setText(QString::number(value));
                    sent[port][f] = f == 0 ? quint32(value - 1) : quint32(value);
                }
                mergeBox(p, port)->setCurrentIndex((port + pass) % 2);
            }
            const QByteArray label = pass ? QByteArray(63, 'L') : QByteArray("Stage left");
            p.line("DeviceLabelLine")->setText(QString::fromLatin1(label));
            p.line("IPLine")->setText(QStringLiteral("192.000.002.010"));
            p.line("SubnetLine")->setText(QStringLiteral("255.255.255.000"));
            p.line("GatewayLine")->setText(QStringLiteral("192.0.2.254"));
            Traces::clear();
            p.invoke("sendConfig");
            QVERIFY(acknowledged());

            const QByteArray stored = emu.storedConfig(node);
            QCOMPARE(stored.size(), 1024);
            QCOMPARE(wire::u32(stored, 0), quint32(SetConfig));
            for (int port = 0; port < 4; ++port) {
                const int words[6] = {PortConfig::UniverseIndex, PortConfig::BreakTime, PortConfig::MabTime,
                                      PortConfig::MbfTime, PortConfig::WaitTime, PortConfig::ChannelCount};
                for (int f = 0; f < 6; ++f)
                    QCOMPARE(wire::u32(stored, ConfigRecord::portField(port, words[f])), sent[port][f]);
                QCOMPARE(wire::u32(stored, ConfigRecord::mergeMode(port)), quint32((port + pass) % 2));
            }
            QCOMPARE(wire::u32(stored, ConfigRecord::portField(0, PortConfig::UniverseIndex)), pass ? 255u : 0u);
            QCOMPARE(stored.mid(ConfigRecord::LabelOffset, label.size() + 1), label + '\0');
            QCOMPARE(stored.mid(ConfigRecord::IpOffset, 12), QByteArray::fromHex("c000020affffff00c00002fe"));
            QCOMPARE(p.lastConfigMessage(), stored);
            QVERIFY(!p.statusBox() && !p.operationTimer().isActive());
        }
        QCOMPARE(op.boxesTitled(QStringLiteral("Set config status")).size(), 2);

        // The details of the connected node show the new label at once.
        p.line("DeviceLabelLine")->clear();
        p.invoke("displayDevice");
        QCOMPARE(p.line("DeviceLabelLine")->text(), QString(63, QLatin1Char('L')));
    }

    void checksInOrder()
    {
        MainWindowProbe p = start();
        struct Step {
            QLineEdit *line;
            QString bad, good;
        };
        QList<Step> steps{{p.line("DeviceLabelLine"), QString(64, QLatin1Char('x')), QString(63, QLatin1Char('x'))},
                          {p.line("IPLine"), QStringLiteral("192.0.2"), node},
                          {p.line("SubnetLine"), QString(), QStringLiteral("255.255.255.0")},
                          {p.line("GatewayLine"), QStringLiteral("1.2.3.4.5"), QStringLiteral("192.0.2.254")}};
        const QString bad[6] = {QStringLiteral("0"), QStringLiteral("91"), QString(), QStringLiteral("1000"),
                                QStringLiteral("9"), QStringLiteral("513")};
        for (int port = 0; port < 4; ++port)
            for (int f = 0; f < 6; ++f)
                steps.append({portLine(p, port, f), bad[f], portLine(p, port, f)->text()});
        steps[4].bad = QStringLiteral("300"); // port 1 universe, as a received record may put it there
        for (const Step &s : steps)
            s.line->setText(s.bad);

        QStringList texts{"Device name is too long!", "IP address is invalid!", "Subnet is invalid!", "Gateway is invalid!"};
        const char *const what[6] = {"universe is invalid! Choose value between 1 and 256.",
                                     "BREAK time is invalid! Choose value between 92 and 999 us.",
                                     "MAB time is invalid! Choose value between 12 and 999 us.",
                                     "MBF time is invalid! Choose value between 0 and 999 us.",
                                     "WAIT time is invalid! Choose value between 10 and 999 us.",
                                     "Channels number is invalid! Choose value between 24 and 512."};
        for (int port = 1; port <= 4; ++port)
            for (const char *field : what)
                texts << QStringLiteral("DMX Port %1: ").arg(port) + QLatin1String(field);
        // The node tool's own slips, kept as they are.
        texts[8] = "DMX Port 1: WAIT time is invalid!Choose value between 10 and 999 us";
        texts[14] = "DMX Port 2: WAIT time is invalid! Choose value between 10 and 999 us";
        texts[17] = "DMX Port 3: BREAK time is invalid! Choose value between 92 nad 999 us.";
        texts[21] = "DMX Port 3: Channel number is invalid! Choose value between 24 and 512.";
        const QByteArray devicesBefore = p.devices().value(0);
        op.reset();
        for (int i = 0; i < steps.size(); ++i) {
            p.invoke("sendConfig"); // only the first bad field in order is reported
            QCOMPARE(op.boxes.size(), i + 1);
            const auto &box = op.boxes.last();
            QCOMPARE(box.title, QStringLiteral("Config error"));
            QCOMPARE(box.text, texts[i]);
            QCOMPARE(box.icon, i >= 24 ? QMessageBox::NoIcon : QMessageBox::Warning);
            QCOMPARE(box.defaultButton, QMessageBox::Ok);
            QVERIFY(!box.hasParent && box.modal);
            steps[i].line->setText(steps[i].good);
        }
        // Where the locale has digits of its own the validator takes them,
        // but they are no plain number and must not go out as 0 (which MBF,
        // unlike the other fields, would accept).
        auto *mbf = const_cast<QValidator *>(p.line("MBFLine")->validator());
        mbf->setLocale(QLocale(QLocale::Arabic, QLocale::Egypt));
        const QString good = p.line("MBFLine")->text();
        p.line("MBFLine")->setText(QStringLiteral(u"\u0665"));
        p.invoke("sendConfig");
        QCOMPARE(op.boxes.last().text, texts[7]);
        mbf->setLocale(QLocale::c());
        p.line("MBFLine")->setText(good);

        QVERIFY(!emu.received(node).contains(QStringLiteral("8")));
        QCOMPARE(p.devices().value(0), devicesBefore);
        QVERIFY(!p.statusBox() && !p.operationTimer().isActive());
        p.invoke("sendConfig"); // all corrected
        QVERIFY(acknowledged());
    }

    void refusesReceivedOutOfRangeValues()
    {
        // The node's own configuration holds values no field accepts: they
        // are shown as sent, and refused when the operator sends them back.
        MainWindowProbe p = start({QStringLiteral("out-of-range=true")});
        QCOMPARE(p.line("UniverseLine_2")->text(), QStringLiteral("300"));
        QCOMPARE(p.line("UniverseLine_3")->text(), QStringLiteral("0"));
        QCOMPARE(p.combo("MergeModeBox")->currentText(), QStringLiteral("LTP"));
        op.reset();
        p.invoke("sendConfig");
        p.line("UniverseLine_2")->setText(QStringLiteral("256"));
        p.invoke("sendConfig");
        QCOMPARE(op.boxes.size(), 2);
        QCOMPARE(op.boxes[0].text, QStringLiteral("DMX Port 2: universe is invalid! Choose value between 1 and 256."));
        QCOMPARE(op.boxes[1].text, QStringLiteral("DMX Port 3: universe is invalid! Choose value between 1 and 256."));
        QVERIFY(!emu.received(node).contains(QStringLiteral("8")));
        p.line("UniverseLine_3")->setText(QStringLiteral("1"));
        p.invoke("sendConfig");
        QVERIFY(acknowledged());
        QCOMPARE(emu.received(node).count(QStringLiteral("8")), 1);
    }

    void notConnected()
    {
        MainWindowProbe p = start();
        p.tcpSocket()->abort();
        op.reset();
        p.invoke("sendConfig");
        p.invoke("setDefaultConfig");
        QCOMPARE(op.boxes.size(), 2);
        QCOMPARE(op.boxes[0].title, QStringLiteral("Config error"));
        QCOMPARE(op.boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(op.boxes[1].title, QStringLiteral("Default config status"));
        QCOMPARE(op.boxes[1].icon, QMessageBox::NoIcon);
        for (const auto &b : op.boxes)
            QCOMPARE(b.text, QStringLiteral("You are not connected to device!"));
        QTest::qWait(50);
        QCOMPARE(emu.received(node), QStringList{QStringLiteral("7")});
    }

    void changedAddressDropsConnection()
    {
        MainWindowProbe p = start();
        p.line("IPLine")->setText(QStringLiteral("192.0.2.077"));
        op.reset();
        p.invoke("sendConfig");
        QVERIFY(Traces::waitFor(QStringLiteral("disconnected")));
        QVERIFY(Traces::since(QStringLiteral("Send Config")).contains(QStringLiteral("Net config has changed")));
        QTRY_COMPARE(emu.storedConfig(node).mid(ConfigRecord::IpOffset, 4), QByteArray::fromHex("c000024d"));
        QVERIFY(op.boxes.isEmpty() && !p.statusBox() && !p.operationTimer().isActive());
    }

    void statusBoxAndTimeout()
    {
        MainWindowProbe p = start({QStringLiteral("no-ack=true")});
        op.reset();
        p.invoke("sendConfig");
        QPointer<QMessageBox> first = p.statusBox();
        QCoreApplication::processEvents(); // lets the operator look at it
        p.invoke("sendConfig"); // the first box goes before the second appears
        QCoreApplication::processEvents();
        QTRY_VERIFY(!first || !first->isVisible());
        QCOMPARE(op.boxes.size(), 2);
        for (const auto &b : op.boxes) {
            QCOMPARE(b.title, QStringLiteral("Set config status"));
            QCOMPARE(b.text, QStringLiteral("Sending new configuration..."));
            QCOMPARE(b.icon, QMessageBox::Information);
            QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::NoButton));
            QVERIFY(!b.hasParent && b.modal);
        }
        QVERIFY(p.statusBox() && p.statusBox()->isVisible());
        QVERIFY(p.operationTimer().isActive() && p.operationTimer().isSingleShot());
        QCOMPARE(p.operationTimer().interval(), 3000);
        QTRY_COMPARE(emu.received(node).count(QStringLiteral("8")), 2);

        const QByteArray before = p.lastConfigMessage();
        p.operationTimer().stop();
        p.invoke("timerTimeout");
        QCOMPARE(op.boxes.last().text, QStringLiteral("Setting new config timeout!"));
        QCOMPARE(op.boxes.last().icon, QMessageBox::Warning);
        QCOMPARE(Traces::count(QStringLiteral("Timeout")), 2);
        QVERIFY(!p.statusBox());
        QCOMPARE(p.lastConfigMessage(), before);
        QCOMPARE(p.tcpSocket()->state(), QAbstractSocket::ConnectedState);
    }

    void lateAcknowledgement()
    {
        MainWindowProbe p = start({QStringLiteral("late-ack-ms=300")});
        p.line("BREAKLine_4")->setText(QStringLiteral("321"));
        p.invoke("sendConfig");
        p.operationTimer().stop();
        p.line("BREAKLine_4")->setText(QStringLiteral("999")); // refreshed from the acknowledgement
        op.holdNextBox(3000);
        QElapsedTimer shown;
        shown.start();
        p.invoke("timerTimeout"); // the acknowledgement comes while its box is open, and closes it
        QVERIFY(shown.elapsed() < 2500);
        QCOMPARE(op.boxes.last().text, QStringLiteral("Setting new config timeout!"));
        QVERIFY(Traces::contains(QStringLiteral("TCP message received: 8")));
        QVERIFY(!p.statusBox());
        QCOMPARE(p.line("BREAKLine_4")->text(), QStringLiteral("321"));
        QCOMPARE(p.lastConfigMessage(), emu.storedConfig(node));
    }

    void factoryDefaults()
    {
        MainWindowProbe p = start();
        p.line("MABLine_3")->setText(QStringLiteral("77"));
        p.invoke("sendConfig");
        QVERIFY(acknowledged());
        const QByteArray set = p.lastConfigMessage();

        op.reset();
        Traces::clear();
        QSignalSpy written(p.tcpSocket(), &QTcpSocket::bytesWritten);
        p.invoke("setDefaultConfig");
        QVERIFY(Traces::waitFor(QStringLiteral("Net config doesnt changed")));
        qint64 bytes = 0;
        for (const auto &args : written)
            bytes += args.at(0).toLongLong();
        QCOMPARE(bytes, 1024);
        QCOMPARE(emu.received(node).last(), QStringLiteral("9"));
        QCOMPARE(Traces::lines().first(), QStringLiteral("Default config sended"));
        QVERIFY(op.boxes.isEmpty());
        QCOMPARE(p.lastConfigMessage(), set);
        QCOMPARE(p.line("MABLine_3")->text(), QStringLiteral("77"));
        QCOMPARE(p.tcpSocket()->state(), QAbstractSocket::ConnectedState);

        MainWindowProbe moving = start({QStringLiteral("factory-ip=192.0.2.99")});
        moving.invoke("setDefaultConfig");
        QVERIFY(Traces::waitFor(QStringLiteral("disconnected")));
        QVERIFY(Traces::contains(QStringLiteral("Net config has changed")));
        QVERIFY(op.boxes.isEmpty());
    }
};

TARVO_TEST_MAIN(ConfigLinkTest)
#include "tst_configlink.moc"
