// Reach on a private switch (scripts/netns-switch): nodes a and b share
// 192.0.2.50 with different MAC addresses, node c sits at 198.18.9.5/24,
// the workstation holds 192.0.2.1/24 on e0. Each node's namespace has a
// listener on port 50000 that answers with the node's name and the
// address the connection came from, so a test sees which node it reached.
#include "enginetestmain.h"

#include "link/reach.h"

#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

const QHostAddress ws(QStringLiteral("192.0.2.1"));
const QHostAddress shared(QStringLiteral("192.0.2.50"));
const QHostAddress far(QStringLiteral("198.18.9.5"));
const quint32 mask24 = 0xffffff00u;
const QByteArray macA = QByteArray::fromHex("02000000000a");
const QByteArray macB = QByteArray::fromHex("02000000000b");

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    if (!p.waitForFinished(10000) || p.exitCode() != 0)
        qWarning("%s %s: %s", qPrintable(program), qPrintable(args.join(' ')), p.readAllStandardError().constData());
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QString ip(const QString &args)
{
    return run(QStringLiteral("ip"), args.split(' '));
}

QString ipIn(const char *node, const QString &args)
{
    return run(QStringLiteral("nsenter"),
               QStringList{QStringLiteral("--net=") + qEnvironmentVariable(node), QStringLiteral("ip")} + args.split(' '));
}

QString neighbour()
{
    return ip(QStringLiteral("neigh show 192.0.2.50 dev e0 nud all"));
}

QString addressesOnE0()
{
    return ip(QStringLiteral("-4 -br addr show dev e0")).section(QRegularExpression(QStringLiteral("\\s+")), 2);
}

// A listening socket made in another network namespace: the namespace of
// a socket is the one its maker was in, so one thread enters it for that.
int listenIn(const QByteArray &path, quint16 port)
{
    int fd = -1;
    std::thread([&] {
        const int ns = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0)
            return;
        ::close(ns);
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        if (::bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0 && ::listen(s, 16) == 0)
            fd = s;
        else
            ::close(s);
    }).join();
    return fd;
}

// "a 192.0.2.1": the node reached, and the address it saw the connection
// come from; else why nothing was reached.
QString reached(const QHostAddress &node, const QHostAddress &from = QHostAddress())
{
    QTcpSocket s;
    if (!from.isNull())
        s.bind(from);
    s.connectToHost(node, 50000);
    QElapsedTimer t;
    t.start();
    while (!s.canReadLine() && s.error() == QAbstractSocket::UnknownSocketError && t.elapsed() < 3000)
        QTest::qWait(5);
    return s.canReadLine() ? QString::fromLatin1(s.readLine()).trimmed() : QStringLiteral("error: ") + s.errorString();
}

QString helperPath()
{
    return qEnvironmentVariable("TARVO_REACH_HELPER");
}

// reach_helper hold ..., started and waited for until it holds everything.
struct Helper {
    QProcess p;
    QString held;
    bool start(const QStringList &args)
    {
        p.start(helperPath(), QStringList{QStringLiteral("hold")} + args);
        if (!p.waitForStarted(5000))
            return false;
        while (!p.canReadLine() && p.state() == QProcess::Running)
            p.waitForReadyRead(5000);
        held = QString::fromLatin1(p.readLine()).trimmed();
        return held.startsWith(QLatin1String("held"));
    }
    int end(int signal)
    {
        if (signal)
            ::kill(static_cast<pid_t>(p.processId()), signal);
        else
            p.closeWriteChannel();
        if (!p.waitForFinished(10000))
            return -1;
        return p.exitStatus() == QProcess::CrashExit ? -signal : p.exitCode();
    }
};

} // namespace

class ReachTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TARVO_NETNS_a"))
            QSKIP("runs inside scripts/netns-switch");
        for (const char *name : {"a", "b", "c"}) {
            const int fd = listenIn(qgetenv((QByteArray("TARVO_NETNS_") + name).constData()), 50000);
            QVERIFY(fd >= 0);
            auto server = std::make_unique<QTcpServer>();
            QVERIFY(server->setSocketDescriptor(fd));
            QTcpServer *s = server.get();
            const QByteArray who = name;
            connect(s, &QTcpServer::newConnection, s, [s, who] {
                while (QTcpSocket *c = s->nextPendingConnection()) {
                    c->write(who + ' ' + c->peerAddress().toString().toLatin1() + '\n');
                    c->disconnectFromHost();
                    connect(c, &QTcpSocket::disconnected, c, &QObject::deleteLater);
                }
            });
            servers.push_back(std::move(server));
        }
    }

    // Whatever a test did, it left the interface as it found it.
    void cleanup()
    {
        QCOMPARE(addressesOnE0(), QStringLiteral("192.0.2.1/24"));
        QCOMPARE(ip(QStringLiteral("neigh show nud permanent dev e0")), QString());
        QCOMPARE(neighbour().contains(QLatin1String("NOARP")), false);
    }

    void labelsFitTheInterfaceName()
    {
        QCOMPARE(Reach::labelFor(QStringLiteral("e0")), QStringLiteral("e0:tv"));
        QCOMPARE(Reach::labelFor(QStringLiteral("abcdefghijkl")), QStringLiteral("abcdefghijkl:tv"));
        QCOMPARE(Reach::labelFor(QStringLiteral("abcdefghijklm")), QString());
    }

    void refusalsAndNothingToDo()
    {
        QCOMPARE(Reach(QHostAddress(QStringLiteral("192.0.2.99"))).error(),
                 QStringLiteral("192.0.2.99 is not an address of this workstation"));
        Reach r(ws);
        QVERIFY(r.isValid());
        QCOMPARE(r.interface().name, QStringLiteral("e0"));
        QCOMPARE(r.interface().prefixLength, 24);
        QVERIFY(r.canChange());
        QCOMPARE(r.pin(ws, macA).reason, QStringLiteral("192.0.2.1 is the workstation's own address"));
        QCOMPARE(r.pin(shared, QByteArray::fromHex("01005e000001")).reason,
                 QStringLiteral("01:00:5e:00:00:01 is not a unicast MAC address"));
        QCOMPARE(r.unpin(shared).reason, QStringLiteral("192.0.2.50 is not pinned"));
        TemporaryAddress t;
        QCOMPARE(r.temporaryAddressFor(far, 0, {}, &t).reason,
                 QStringLiteral("the node's mask 0.0.0.0 gives no network to join"));
        QCOMPARE(r.temporaryAddressFor(QHostAddress(QStringLiteral("198.18.9.0")), mask24, {}, &t).reason,
                 QStringLiteral("198.18.9.0 is not a host address in its network /24"));
        // A route the workstation has is not overridden.
        ip(QStringLiteral("route add 198.18.30.0/24 via 192.0.2.254 dev e0"));
        QCOMPARE(r.temporaryAddressFor(QHostAddress(QStringLiteral("198.18.30.5")), mask24, {}, &t).reason,
                 QStringLiteral("the workstation routes 198.18.30.5 via 192.0.2.254 already; an address on e0 would "
                                "take that away"));
        ip(QStringLiteral("route del 198.18.30.0/24 via 192.0.2.254 dev e0"));
        // A node in the workstation's own network needs nothing.
        const ReachResult r2 = r.temporaryAddressFor(QHostAddress(QStringLiteral("192.0.2.77")), mask24, {}, &t);
        QVERIFY2(r2.ok, qPrintable(r2.reason));
        QCOMPARE(t.address, ws);
        QVERIFY(!t.held);
    }

    void sharedAddressReachesEachNodeWhenPinned()
    {
        Reach r(ws);
        QVERIFY(r.pin(shared, macA));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(reached(shared), QStringLiteral("a 192.0.2.1"));
        // A second operation on the same node shares the pin; one on the
        // other node waits until it is undone.
        QVERIFY(r.pin(shared, macA));
        QCOMPARE(r.pin(shared, macB).reason,
                 QStringLiteral("192.0.2.50 is pinned to 02:00:00:00:00:0a for another operation"));
        QVERIFY(r.unpin(shared));
        QCOMPARE(neighbour(), QStringLiteral("192.0.2.50 lladdr 02:00:00:00:00:0a PERMANENT proto 116"));
        QVERIFY(r.unpin(shared));
        QCOMPARE(neighbour(), QString());

        QVERIFY(r.pin(shared, macB));
        for (int i = 0; i < 3; ++i)
            QCOMPARE(reached(shared), QStringLiteral("b 192.0.2.1"));
        QVERIFY(r.unpin(shared));
        QCOMPARE(neighbour(), QString());
    }

    void neighbourEntryPutBackAsItWas_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<QString>("after");
        QTest::newRow("none") << QString() << QString();
        // A learnt entry comes back by itself, with whatever answers then.
        QTest::newRow("learnt") << QStringLiteral("learn") << QString();
        QTest::newRow("someone's permanent entry")
            << QStringLiteral("neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0f nud permanent dev e0")
            << QStringLiteral("192.0.2.50 lladdr 02:00:00:00:00:0f PERMANENT");
        QTest::newRow("someone's static router entry")
            << QStringLiteral("neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0b nud noarp router proto static dev e0")
            << QStringLiteral("192.0.2.50 lladdr 02:00:00:00:00:0b router NOARP proto static");
        QTest::newRow("someone's permanent entry for the same node")
            << QStringLiteral("neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0a nud permanent dev e0")
            << QStringLiteral("192.0.2.50 lladdr 02:00:00:00:00:0a PERMANENT");
    }

    void neighbourEntryPutBackAsItWas()
    {
        QFETCH(QString, before);
        QFETCH(QString, after);
        if (before == QLatin1String("learn")) {
            QVERIFY(reached(shared).endsWith(QLatin1String(" 192.0.2.1")));
            QVERIFY(neighbour().contains(QRegularExpression(QStringLiteral("REACHABLE|STALE|DELAY"))));
        } else if (!before.isEmpty()) {
            ip(before);
        }
        {
            Reach r(ws);
            QVERIFY(r.pin(shared, macA));
            QCOMPARE(reached(shared), QStringLiteral("a 192.0.2.1"));
            QVERIFY(r.unpin(shared));
        }
        QCOMPARE(neighbour(), after);
        if (!after.isEmpty())
            ip(QStringLiteral("neigh del 192.0.2.50 dev e0"));
    }

    void anotherNetworkThroughATemporaryAddress()
    {
        QVERIFY(reached(far).startsWith(QLatin1String("error: ")));
        Reach r(ws);
        TemporaryAddress t;
        const ReachResult got = r.temporaryAddressFor(far, mask24, {}, &t);
        QVERIFY2(got.ok, qPrintable(got.reason));
        QCOMPARE(t.address, QHostAddress(QStringLiteral("198.18.9.254")));
        QCOMPARE(t.prefixLength, 24);
        QVERIFY(t.held);
        QVERIFY(ip(QStringLiteral("-4 addr show dev e0")).contains(QLatin1String("inet 198.18.9.254/24 brd 198.18.9.255 scope global e0:tv")));
        QCOMPARE(reached(far), QStringLiteral("c 198.18.9.254"));
        QCOMPARE(reached(far, t.address), QStringLiteral("c 198.18.9.254"));

        // Another node of that network shares the address.
        TemporaryAddress second;
        QVERIFY(r.temporaryAddressFor(QHostAddress(QStringLiteral("198.18.9.6")), mask24, {}, &second));
        QCOMPARE(second.address, t.address);
        QVERIFY(r.releaseAddress(t.address));
        QCOMPARE(reached(far), QStringLiteral("c 198.18.9.254"));
        QVERIFY(r.releaseAddress(t.address));
        QCOMPARE(addressesOnE0(), QStringLiteral("192.0.2.1/24"));
        QVERIFY(reached(far).startsWith(QLatin1String("error: ")));
    }

    // Addresses discovery heard are never chosen, nor one a host answers ARP for.
    void temporaryAddressIsNobodysElse()
    {
        ipIn("TARVO_NETNS_c", QStringLiteral("addr add 198.18.9.254/24 dev e0"));
        {
            Reach r(ws);
            TemporaryAddress t;
            const ReachResult got =
                r.temporaryAddressFor(far, mask24, {QHostAddress(QStringLiteral("198.18.9.253"))}, &t);
            QVERIFY2(got.ok, qPrintable(got.reason));
            QCOMPARE(t.address, QHostAddress(QStringLiteral("198.18.9.252")));
            QCOMPARE(reached(far), QStringLiteral("c 198.18.9.252"));
        }
        ipIn("TARVO_NETNS_c", QStringLiteral("addr del 198.18.9.254/24 dev e0"));
    }

    // An address someone adds to the network meanwhile hangs on ours (the
    // kernel deletes it with ours); ours stays until theirs is gone.
    void someoneElsesAddressInTheNetworkIsKept()
    {
        Reach r(ws);
        TemporaryAddress t;
        QVERIFY(r.temporaryAddressFor(far, mask24, {}, &t));
        ip(QStringLiteral("addr add 198.18.9.100/24 dev e0"));
        QCOMPARE(r.releaseAddress(t.address).reason,
                 QStringLiteral("198.18.9.100/24 was added to its network meanwhile, and the kernel would remove it "
                                "with 198.18.9.254; 198.18.9.254 is left on e0"));
        QCOMPARE(addressesOnE0(), QStringLiteral("192.0.2.1/24 198.18.9.254/24 198.18.9.100/24"));
        ip(QStringLiteral("addr del 198.18.9.100/24 dev e0"));
        QStringList removed;
        QVERIFY(r.removeLeftovers(&removed));
        QCOMPARE(removed, QStringList{QStringLiteral("198.18.9.254/24")});
    }

    void goneHoweverTheRunEnds_data()
    {
        QTest::addColumn<QString>("end");
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("exitCode");
        QTest::newRow("normal end") << QStringLiteral("stdin") << 0 << 0;
        QTest::newRow("failure") << QStringLiteral("fail") << 0 << 1;
        QTest::newRow("SIGINT, undone in the handler") << QStringLiteral("handler") << SIGINT << 130;
        QTest::newRow("SIGTERM, undone by the event loop") << QStringLiteral("loop") << SIGTERM << 130;
        QTest::newRow("killed, cleaned up by the next start") << QStringLiteral("stdin") << SIGKILL << -SIGKILL;
    }

    void goneHoweverTheRunEnds()
    {
        QFETCH(QString, end);
        QFETCH(int, signal);
        QFETCH(int, exitCode);
        Helper h;
        QVERIFY(h.start({ws.toString(), QStringLiteral("--pin"), shared.toString(), QStringLiteral("02:00:00:00:00:0a"),
                         QStringLiteral("--address"), far.toString(), QStringLiteral("24"), QStringLiteral("--end"), end}));
        QCOMPARE(h.held, QStringLiteral("held 198.18.9.254"));
        QCOMPARE(reached(far), QStringLiteral("c 198.18.9.254"));
        QCOMPARE(reached(shared), QStringLiteral("a 192.0.2.1"));
        QCOMPARE(h.end(signal), exitCode);
        if (signal == SIGKILL) {
            QCOMPARE(addressesOnE0(), QStringLiteral("192.0.2.1/24 198.18.9.254/24"));
            QStringList removed;
            const ReachResult r = Reach(ws).removeLeftovers(&removed);
            QVERIFY2(r.ok, qPrintable(r.reason));
            QCOMPARE(removed, (QStringList{QStringLiteral("192.0.2.50 lladdr 02:00:00:00:00:0a"),
                                           QStringLiteral("198.18.9.254/24")}));
        }
        QCOMPARE(neighbour(), QString());
    }

    // Two tarvo processes: one pin per address at a time, a temporary
    // address shared, and nothing of the other's taken for a leftover.
    void anotherProcessKeepsWhatItHolds()
    {
        Helper h;
        QVERIFY(h.start({ws.toString(), QStringLiteral("--pin"), shared.toString(), QStringLiteral("02:00:00:00:00:0a"),
                         QStringLiteral("--address"), far.toString(), QStringLiteral("24")}));
        {
            Reach r(ws);
            QCOMPARE(r.pin(shared, macB).reason,
                     QStringLiteral("192.0.2.50 on e0 is pinned by another tarvo process (pid %1)").arg(h.p.processId()));
            QStringList removed;
            QVERIFY(r.removeLeftovers(&removed));
            QCOMPARE(removed, QStringList());
            TemporaryAddress t;
            QVERIFY(r.temporaryAddressFor(far, mask24, {}, &t));
            QCOMPARE(t.address, QHostAddress(QStringLiteral("198.18.9.254")));
            QCOMPARE(reached(shared), QStringLiteral("a 192.0.2.1"));

            QCOMPARE(h.end(0), 0);
            QCOMPARE(neighbour(), QString());
            QCOMPARE(reached(far), QStringLiteral("c 198.18.9.254"));
            QVERIFY(r.releaseAddress(t.address));
        }
    }

    void withoutTheRightNothingChanges()
    {
        // A killed run's pin, for the clean-up to report.
        ip(QStringLiteral("neigh replace 192.0.2.77 lladdr 02:00:00:00:00:0c nud permanent proto 116 dev e0"));
        const auto state = [] {
            return ip(QStringLiteral("-4 addr show dev e0")) + '\n' + ip(QStringLiteral("neigh show nud permanent dev e0"))
                   + '\n' + neighbour();
        };
        const QString before = state();
        const QString said = run(QStringLiteral("setpriv"),
                                 {QStringLiteral("--inh-caps=-net_admin,-net_raw"),
                                  QStringLiteral("--bounding-set=-net_admin,-net_raw"), helperPath(), QStringLiteral("try"),
                                  ws.toString(), QStringLiteral("--pin"), shared.toString(),
                                  QStringLiteral("02:00:00:00:00:0a"), QStringLiteral("--address"), far.toString(),
                                  QStringLiteral("24")});
        QCOMPARE(said.split('\n'),
                 (QStringList{
                     QStringLiteral("change: failed: changing e0 needs CAP_NET_ADMIN (root)"),
                     QStringLiteral("pin: failed: changing e0 needs CAP_NET_ADMIN (root)"),
                     QStringLiteral("  do: ip neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0a nud permanent dev e0"),
                     QStringLiteral("  undo: ip neigh del 192.0.2.50 dev e0"),
                     QStringLiteral("address: failed: changing e0 needs CAP_NET_ADMIN (root); 198.18.9.254 was not "
                                    "checked for a duplicate on the wire"),
                     QStringLiteral("  do: ip addr add 198.18.9.254/24 dev e0 label e0:tv"),
                     QStringLiteral("  undo: ip addr del 198.18.9.254/24 dev e0"),
                     QStringLiteral("leftovers: failed: changing e0 needs CAP_NET_ADMIN (root)"),
                     QStringLiteral("  do: ip neigh del 192.0.2.77 dev e0"),
                 }));
        QCOMPARE(state(), before);

        // The commands given do what was asked, and their undoing puts it back.
        const QStringList lines = said.split('\n');
        const auto commands = [&](const QString &kind) {
            for (const QString &l : lines)
                if (l.startsWith(kind) && !l.contains(QLatin1String("192.0.2.77")))
                    run(QStringLiteral("sh"), {QStringLiteral("-c"), l.mid(kind.size() + 1)});
        };
        commands(QStringLiteral("  do:"));
        QCOMPARE(reached(shared), QStringLiteral("a 192.0.2.1"));
        QCOMPARE(reached(far), QStringLiteral("c 198.18.9.254"));
        commands(QStringLiteral("  undo:"));
        QCOMPARE(state(), before);
        ip(QStringLiteral("neigh del 192.0.2.77 dev e0"));
    }

    // A name of 15 bytes leaves no room for a label: the address is found
    // again by its mark alone.
    void longInterfaceName()
    {
        const QString name = QStringLiteral("abcdefghijklmno");
        ip(QStringLiteral("link add %1 type veth peer name x1").arg(name));
        ip(QStringLiteral("link set %1 up").arg(name));
        ip(QStringLiteral("link set x1 up"));
        ip(QStringLiteral("addr add 198.18.20.1/24 dev %1").arg(name));
        Helper h;
        QVERIFY(h.start({QStringLiteral("198.18.20.1"), QStringLiteral("--address"), QStringLiteral("198.18.21.5"),
                         QStringLiteral("24")}));
        QCOMPARE(h.held, QStringLiteral("held 198.18.21.254"));
        QVERIFY(ip(QStringLiteral("-4 addr show dev %1").arg(name))
                    .contains(QStringLiteral("inet 198.18.21.254/24 brd 198.18.21.255 scope global %1\n").arg(name)));
        QCOMPARE(h.end(SIGKILL), -SIGKILL);
        QStringList removed;
        QVERIFY(Reach(QHostAddress(QStringLiteral("198.18.20.1"))).removeLeftovers(&removed));
        QCOMPARE(removed, QStringList{QStringLiteral("198.18.21.254/24")});
        QCOMPARE(ip(QStringLiteral("-4 -br addr show dev %1").arg(name)).section(QRegularExpression(QStringLiteral("\\s+")), 2),
                 QStringLiteral("198.18.20.1/24"));
        ip(QStringLiteral("link del %1").arg(name));
    }

private:
    std::vector<std::unique_ptr<QTcpServer>> servers;
};

TARVO_ENGINE_TEST_MAIN(ReachTest)
#include "tst_reach.moc"
