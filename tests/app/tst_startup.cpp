// Start-up: choosing the workstation address. Built twice, for a namespace
// with one workstation address and for one with several (TARVO_WS_ADDRS).

#include "proberun.h"
#include "testmain.h"
#include "window.h"

#include <QHostInfo>
#include <QNetworkInterface>

namespace {

QStringList workstationAddresses()
{
    return qEnvironmentVariable("TARVO_WS_ADDRS").split(QLatin1Char(','), Qt::SkipEmptyParts);
}

const QString invalidTitle = QStringLiteral("IP address");
const QString invalidText = QStringLiteral("IP address is invalid!");

} // namespace

class Startup : public QObject
{
    Q_OBJECT

    QStringList addresses;
    ScriptedOperator &op = ScriptedOperator::instance();

    std::unique_ptr<MainWindow> start()
    {
        Traces::clear();
        auto w = std::make_unique<MainWindow>();
        w->show();
        return w;
    }

    void verifyAddressDialog(const ScriptedOperator::Dialog &d)
    {
        QCOMPARE(d.kind, QStringLiteral("item"));
        QCOMPARE(d.title, QStringLiteral("IP"));
        QCOMPARE(d.label, QStringLiteral("IP address: "));
        QCOMPARE(d.items, addresses);
        QCOMPARE(d.current, 0);
        QVERIFY(d.hasParent);
    }

    void verifyBound(MainWindow &w, const QString &address)
    {
        MainWindowProbe p(w);
        QCOMPARE(p.udpSocket()->state(), QAbstractSocket::BoundState);
        QCOMPARE(p.udpSocket()->localAddress().toString(), address);
        QCOMPARE(p.udpSocket()->localPort(), quint16(49999));
    }

private slots:
    void initTestCase()
    {
        addresses = workstationAddresses();
        QVERIFY2(!addresses.isEmpty(), "run through netns-run, which sets TARVO_WS_ADDRS");
    }
    void init() { op.reset(); }

    // The namespace is what the tests below assume: the workstation's IPv4
    // addresses besides loopback are exactly those netns-run gave it, and
    // the enumeration also holds loopback and IPv6 addresses to be left out.
    void namespaceHoldsTheTestAddresses()
    {
        QStringList ipv4;
        bool loopback = false, ipv6 = false;
        for (const QHostAddress &a : QNetworkInterface::allAddresses()) {
            loopback |= a == QHostAddress(QHostAddress::LocalHost);
            ipv6 |= a.protocol() == QAbstractSocket::IPv6Protocol;
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback())
                ipv4.append(a.toString());
        }
        QCOMPARE(ipv4, addresses);
        QVERIFY(loopback);
        QVERIFY(ipv6);
    }

    // Every address is offered, in enumeration order with the first one
    // preselected, even when there is only one; the choice is what the
    // discovery socket is bound to.
    void offersEveryAddressAndBindsTheChoice()
    {
        op.chooseItem(addresses.last());
        auto w = start();
        QCOMPARE(op.dialogs.size(), 1);
        verifyAddressDialog(op.dialogs[0]);
        QVERIFY(op.boxes.isEmpty());
        QVERIFY(op.unexpected.isEmpty());
        verifyBound(*w, addresses.last());
        QVERIFY(w->isVisible());
    }

    void cancelTakesTheFirstEntry()
    {
        op.cancel();
        auto w = start();
        QCOMPARE(op.dialogs.size(), 1);
        QVERIFY(op.boxes.isEmpty());
        verifyBound(*w, addresses.first());
    }

    // A text that is no address is refused with a warning and the dialog
    // comes back, as often as needed.
    void invalidTextAsksAgain()
    {
        op.typeItemText(QStringLiteral("not an address"));
        op.typeItemText(QStringLiteral("192.0.2."));
        op.chooseItem(addresses.last());
        auto w = start();
        QCOMPARE(op.dialogs.size(), 3);
        for (const ScriptedOperator::Dialog &d : op.dialogs)
            verifyAddressDialog(d);
        QCOMPARE(op.boxes.size(), 2);
        for (const ScriptedOperator::Box &b : op.boxes) {
            QCOMPARE(b.title, invalidTitle);
            QCOMPARE(b.text, invalidText);
            QCOMPARE(b.icon, QMessageBox::Warning);
            QCOMPARE(b.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
            QVERIFY(!b.hasParent);
            QVERIFY(b.modal);
        }
        verifyBound(*w, addresses.last());
    }

    void tracesEveryAddressThenTheHostName()
    {
        op.chooseItem(addresses.first());
        auto w = start();
        QStringList expected;
        for (const QString &a : addresses)
            expected.append(QStringLiteral("IP address: ") + a);
        expected.append(QStringLiteral("Hostname: ") + QHostInfo::localHostName());
        QCOMPARE(Traces::lines().mid(0, expected.size()), expected);
        for (const QString &line : Traces::lines().mid(expected.size()))
            QVERIFY2(!line.startsWith(QLatin1String("IP address: ")) && !line.startsWith(QLatin1String("Hostname: ")),
                     qPrintable(line));
    }

    // The program itself: main() shows the window after the dialog, and the
    // process ends with exit code 0 once "Quit" closes it.
    void programShowsTheWindowAndQuits()
    {
        const ProbeRun run = runStartupProbe({QStringLiteral("TARVO_PROBE_ANSWERS=choose:") + addresses.last(),
                                              QStringLiteral("TARVO_PROBE_QUIT=1")});
        QVERIFY2(run.finished, run.errors.constData());
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.shown(), 1);
        const QList<QStringList> dialogs = run.of(QStringLiteral("dialog"));
        QCOMPARE(dialogs.size(), 1);
        QCOMPARE(dialogs[0], (QStringList{QStringLiteral("item"), QStringLiteral("IP"), QStringLiteral("IP address: "),
                                          addresses.join(QLatin1Char(',')), QStringLiteral("0"), QStringLiteral("1")}));
        QVERIFY(run.of(QStringLiteral("box")).isEmpty());
        QVERIFY(run.of(QStringLiteral("unexpected")).isEmpty());
        QVERIFY(run.traces().contains(QStringLiteral("Hostname: ") + QHostInfo::localHostName()));
    }
};

TARVO_TEST_MAIN(Startup)
#include "tst_startup.moc"
