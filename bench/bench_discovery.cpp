// Discovery of many nodes, as an ordinary user: one search answered by N
// emulated nodes. How many the window lists, how many replies the kernel
// dropped, and the time from the request to the last entry, against a plain
// UDP receiver that sends the same request from a second workstation
// address and counts the replies.
//
//   netns-run --ws 198.18.0.1,198.18.0.2 --nodes 198.18.0.10 N --prefix 15 --
//       bench_discovery --count N [--reply-rate 1000M] [--user nobody]
//                       [--first-ip 198.18.0.10] [--runs R] [--quiet] [--old-list]
//
// Besides the last entry's arrival, it measures when the list shows every
// entry (its layout done: the scroll bar spans them all) and how long a
// click waits meanwhile (one posted every 20 ms). --old-list lays the list
// out as before it had one size for every entry (keys *.oldlist.*), the
// baseline of that change.
//
// --reply-rate paces the nodes' replies to what an Ethernet link of that
// rate carries and answers each search in another shuffled order (keys
// discovery.paced.N.*); without it they come as fast as the veth pair
// takes them (discovery.N.*). --user: once the emulator runs (entering the
// nodes' namespace needs root), the program becomes that user for good, so
// that the receive buffer is what the kernel grants an ordinary user
// (twice net.core.rmem_max, and no SO_RCVBUFFORCE).

#include "benchsupport.h"

#include "link/devicerecord.h"
#include "operator.h"
#include <QMetaMethod> // probe.h uses it without including it
#include "probe.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QMouseEvent>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int requestedBuffer = 8 * 1024 * 1024; // what the tool asks for
constexpr int idleMs = 1500;                     // no more replies after this

// The namespace's count of datagrams dropped for a full receive buffer.
qint64 rcvbufErrors()
{
    QFile f(QStringLiteral("/proc/net/snmp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArray> names;
    for (const QByteArray &line : f.readAll().split('\n')) {
        if (!line.startsWith("Udp: "))
            continue;
        const QList<QByteArray> fields = line.mid(5).split(' ');
        if (names.isEmpty()) {
            names = fields;
            continue;
        }
        const int i = int(names.indexOf("RcvbufErrors"));
        return i >= 0 ? fields.value(i).toLongLong() : -1;
    }
    return -1;
}

qint64 readSysctl(const char *path)
{
    QFile f(QString::fromLatin1(path));
    return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed().toLongLong() : -1;
}

int receiveBuffer(int fd)
{
    int value = 0;
    socklen_t len = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, &len) == 0 ? value : -1;
}

// Sockets of this namespace bound to address:port (/proc/net/udp holds the
// address as a little-endian word in hexadecimal).
int boundSockets(const QString &address, quint16 port)
{
    QFile f(QStringLiteral("/proc/net/udp"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    in_addr a{};
    ::inet_pton(AF_INET, qPrintable(address), &a);
    const QByteArray local = QString::asprintf("%08X:%04X", a.s_addr, port).toLatin1();
    int n = 0;
    for (const QByteArray &line : f.readAll().split('\n'))
        n += line.simplified().split(' ').value(1) == local ? 1 : 0;
    return n;
}

// Whether this process may exceed the cap, as root (CAP_NET_ADMIN) may.
bool canForceBuffer()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int size = requestedBuffer;
    const bool forced = ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0;
    ::close(fd);
    return forced;
}

QByteArray statusField(const char *name)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (f.open(QIODevice::ReadOnly))
        for (const QByteArray &line : f.readAll().split('\n'))
            if (line.startsWith(QByteArray(name) + ':'))
                return line.mid(int(std::strlen(name)) + 1).simplified();
    return QByteArray();
}

// Becomes `name` for good: no supplementary groups, its group and its
// user as real, effective and saved ids. Leaving uid 0 so clears every
// capability.
void becomeUser(const QString &name)
{
    const passwd *pw = ::getpwnam(qPrintable(name));
    if (!pw)
        bench::fail(QStringLiteral("no user %1").arg(name));
    const uid_t uid = pw->pw_uid;
    const gid_t gid = pw->pw_gid;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(gid, gid, gid) != 0 || ::setresuid(uid, uid, uid) != 0)
        bench::fail(QStringLiteral("cannot become %1: %2").arg(name, QString::fromLocal8Bit(std::strerror(errno))));
}

struct Run {
    int listed = 0;
    double firstMs = 0; // request sent to first entry (or datagram)
    double lastMs = 0;  // request sent to last entry
    double shownMs = 0; // request sent to the list laid out with every entry
    QVector<double> clicks; // how long each click posted meanwhile waited
    qint64 dropped = 0; // the namespace's Udp RcvbufErrors
    qint64 lost = 0;    // the tool's own count ("Discovery replies lost: N")
    int requests = 1;   // requests sent, the tool's repeat included
    int buffer = 0;     // effective SO_RCVBUF
    int sockets = 1;    // sockets sharing the port
};

// The baseline: a socket that asks for the same buffer, sends the same
// request, and does nothing with a reply but count it.
Run rawRun(const QString &address, int expected)
{
    Run run;
    const int fd = bench::discoverySocket(address, requestedBuffer);
    run.buffer = receiveBuffer(fd);

    QByteArray request(DeviceRecord::Size, '\0');
    wire::putU32(request, DeviceRecord::CommandOffset, DiscoveryRequest);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DiscoveryPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    const qint64 before = rcvbufErrors();
    ::sendto(fd, request.constData(), size_t(request.size()), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    const qint64 start = bench::nowNs();
    qint64 last = start;
    char buffer[2048];
    pollfd p{fd, POLLIN, 0};
    while (run.listed < expected && ::poll(&p, 1, idleMs) > 0) {
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n >= DeviceRecord::UsedSize &&
            qFromLittleEndian<quint32>(buffer + DeviceRecord::CommandOffset) == DiscoveryReply) {
            last = bench::nowNs();
            if (!run.listed++)
                run.firstMs = double(last - start) / 1e6;
        }
    }
    run.lastMs = double(last - start) / 1e6;
    run.dropped = rcvbufErrors() - before;
    ::close(fd);
    return run;
}

// The window's own search: the "Search" slot, then replies handled by its
// discovery slot as they come, until all are listed or none come for a while.
Run toolRun(MainWindowProbe &p, int expected)
{
    Run run;
    qint64 firstRow = 0, lastRow = 0;
    const QMetaObject::Connection counting =
        QObject::connect(p.list()->model(), &QAbstractItemModel::rowsInserted, [&](const QModelIndex &, int first, int last) {
            run.listed += last - first + 1;
            lastRow = bench::nowNs();
            if (!firstRow)
                firstRow = lastRow;
        });
    const qint64 before = rcvbufErrors();
    bench::traces::clear();
    p.invoke("searchForDevices");
    run.listed = 0; // rows of the previous search went with its clear()
    run.buffer = receiveBuffer(int(p.udpSocket()->socketDescriptor()));
    run.sockets = boundSockets(p.udpSocket()->localAddress().toString(), DiscoveryPort);
    const qint64 start = bench::traces::timeOf(QStringLiteral("Discovery msg sended."));

    // A click every 20 ms, as an impatient operator would, answered by a
    // button of its own.
    QPushButton clickTarget;
    qint64 posted = -1;
    QObject::connect(&clickTarget, &QPushButton::clicked, [&] {
        if (posted >= 0)
            run.clicks.append(double(bench::nowNs() - posted) / 1e6);
        posted = -1;
    });
    QTimer clicker;
    QObject::connect(&clicker, &QTimer::timeout, [&] {
        if (posted >= 0)
            return;
        const QPointF at(clickTarget.width() / 2.0, clickTarget.height() / 2.0);
        posted = bench::nowNs();
        QCoreApplication::postEvent(&clickTarget, new QMouseEvent(QEvent::MouseButtonPress, at, at, Qt::LeftButton,
                                                                  Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(&clickTarget, new QMouseEvent(QEvent::MouseButtonRelease, at, at, Qt::LeftButton,
                                                                  Qt::NoButton, Qt::NoModifier));
    });
    clicker.start(20);
    // Shown: the scroll bar spans every entry, which only a layout of all of
    // them gives (one entry per step; the page holds the visible ones).
    const QScrollBar *bar = p.list()->verticalScrollBar();
    qint64 shownAt = 0;
    bench::waitUntil([&] {
        if (!shownAt && run.listed >= expected && bar->maximum() + bar->pageStep() >= expected)
            shownAt = bench::nowNs();
        return shownAt || bench::nowNs() - (lastRow ? lastRow : start) > qint64(idleMs) * 1000000;
    }, 60000);
    clicker.stop();
    QObject::disconnect(counting);
    run.shownMs = shownAt ? double(shownAt - start) / 1e6 : 0;
    run.lastMs = lastRow ? double(lastRow - start) / 1e6 : 0;
    run.firstMs = firstRow ? double(firstRow - start) / 1e6 : 0;
    run.dropped = rcvbufErrors() - before;
    run.requests = 0;
    const QString lostLabel = QStringLiteral("Discovery replies lost: ");
    for (const bench::traces::Line &l : bench::traces::lines()) {
        if (l.text == QLatin1String("Discovery msg sended."))
            ++run.requests;
        else if (l.text.startsWith(lostLabel))
            run.lost += l.text.mid(lostLabel.size()).toLongLong();
    }
    return run;
}

void report(const QString &prefix, const QVector<Run> &runs)
{
    QVector<double> first, times, listed, dropped, lost, requests, shown, clicks;
    for (const Run &r : runs) {
        shown.append(r.shownMs);
        clicks += r.clicks;
        first.append(r.firstMs);
        times.append(r.lastMs);
        listed.append(r.listed);
        dropped.append(double(r.dropped));
        lost.append(double(r.lost));
        requests.append(r.requests);
    }
    const bench::Stats t = bench::Stats::of(times);
    bench::result(prefix + QStringLiteral(".listed.min"), bench::Stats::of(listed).min, QStringLiteral("nodes"));
    bench::result(prefix + QStringLiteral(".listed.max"), bench::Stats::of(listed).max, QStringLiteral("nodes"));
    bench::result(prefix + QStringLiteral(".dropped.max"), bench::Stats::of(dropped).max, QStringLiteral("datagrams"));
    bench::result(prefix + QStringLiteral(".first_ms.median"), bench::Stats::of(first).median, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".last_ms.min"), t.min, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".last_ms.median"), t.median, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".last_ms.max"), t.max, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".rcvbuf"), runs.value(0).buffer, QStringLiteral("bytes"));
    bench::result(prefix + QStringLiteral(".sockets"), runs.value(0).sockets, QStringLiteral("sockets"));
    if (!prefix.endsWith(QLatin1String(".raw"))) {
        bench::result(prefix + QStringLiteral(".shown_ms.median"), bench::Stats::of(shown).median, QStringLiteral("ms"));
        bench::result(prefix + QStringLiteral(".shown_ms.max"), bench::Stats::of(shown).max, QStringLiteral("ms"));
        bench::result(prefix + QStringLiteral(".click_ms.median"), bench::Stats::of(clicks).median, QStringLiteral("ms"));
        bench::result(prefix + QStringLiteral(".click_ms.max"), bench::Stats::of(clicks).max, QStringLiteral("ms"));
    }
    if (!prefix.endsWith(QLatin1String(".raw"))) {
        bench::result(prefix + QStringLiteral(".lost.max"), bench::Stats::of(lost).max, QStringLiteral("datagrams"));
        bench::result(prefix + QStringLiteral(".requests.max"), bench::Stats::of(requests).max, QStringLiteral("requests"));
    }
}

// tarvo's own search, as a process from the second workstation address:
// how many nodes it lists, and how long it takes with its default window.
Run cliRun(const QString &address, int expected)
{
    Run run;
    QProcess tarvo;
    const qint64 start = bench::nowNs();
    tarvo.start(QStringLiteral(TARVO_CLI),
                {QStringLiteral("--interface"), address, QStringLiteral("--json"), QStringLiteral("search")});
    if (!tarvo.waitForFinished(60000))
        bench::fail(QStringLiteral("tarvo search did not end"));
    run.lastMs = double(bench::nowNs() - start) / 1e6;
    run.listed = int(tarvo.readAllStandardOutput().count("\"serial\""));
    Q_UNUSED(expected);
    return run;
}

} // namespace

int main(int argc, char *argv[])
{
    bench::prepareWindowApp();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = bench::intArg(args, QStringLiteral("--count"), 100);
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 3);
    const QString first = bench::stringArg(args, QStringLiteral("--first-ip"), QStringLiteral("198.18.0.10"));
    const QString rate = bench::stringArg(args, QStringLiteral("--reply-rate"), QString());
    const QString user = bench::stringArg(args, QStringLiteral("--user"), QString());
    bench::requirePrivateNetwork();
    const QString toolAddress = bench::workstationAddress(0);
    const QString rawAddress = bench::workstationAddress(1);
    if (rawAddress.isEmpty())
        bench::fail(QStringLiteral("needs two workstation addresses (--ws A,B)"));
    bench::traces::install(!args.contains(QStringLiteral("--quiet")));
    ScriptedOperator::instance().install();

    bench::Emulator emu;
    // Serials from 26500000, so that ten thousand fit the counter's four digits.
    QStringList emuArgs{QStringLiteral("--count"), QString::number(count), QStringLiteral("--first-ip"), first,
                        QStringLiteral("--first-serial"), QStringLiteral("0")};
    if (!rate.isEmpty())
        emuArgs << QStringLiteral("--reply-rate") << rate << QStringLiteral("--shuffle");
    if (!emu.start(emuArgs))
        bench::fail(QStringLiteral("emulator did not start"));
    if (!user.isEmpty())
        becomeUser(user);
    const bool forced = canForceBuffer();

    ScriptedOperator::instance().chooseItem(toolAddress);
    MainWindow window;
    window.show();
    MainWindowProbe p(window);
    const bool oldList = args.contains(QStringLiteral("--old-list"));
    if (oldList) {
        p.list()->setUniformItemSizes(false);
        p.list()->setLayoutMode(QListView::SinglePass);
    }
    bench::settle(200); // shown and painted, as when an operator presses "Search"

    QVector<Run> tool, raw, cli;
    for (int i = 0; i < runs; ++i) {
        tool.append(toolRun(p, count));
        bench::settle(200);
        raw.append(rawRun(rawAddress, count));
        bench::settle(200);
        if (!oldList)
            cli.append(cliRun(rawAddress, count));
    }

    const QString key = QStringLiteral("discovery.%1%2").arg(rate.isEmpty() ? QString() : QStringLiteral("paced.")).arg(count);
    const qint64 rmemMax = readSysctl("/proc/sys/net/core/rmem_max");
    bench::note(QStringLiteral("discovery: %1 nodes, %2, %3 searches each; uid %4, CapEff %5, SO_RCVBUFFORCE %6; "
                               "net.core.rmem_max = %7")
                    .arg(count)
                    .arg(rate.isEmpty() ? QStringLiteral("unpaced") : QStringLiteral("paced at %1 and shuffled").arg(rate))
                    .arg(runs)
                    .arg(::getuid())
                    .arg(QString::fromLatin1(statusField("CapEff")))
                    .arg(forced ? QStringLiteral("granted") : QStringLiteral("refused"))
                    .arg(rmemMax));
    bench::result(key + QStringLiteral(".uid"), ::getuid(), QString());
    bench::result(key + QStringLiteral(".rcvbufforce"), forced ? 1 : 0, QString());
    bench::result(key + QStringLiteral(".rmem_max"), double(rmemMax), QStringLiteral("bytes"));
    report(key + (oldList ? QStringLiteral(".oldlist") : QStringLiteral(".tool")), tool);
    report(key + QStringLiteral(".raw"), raw);
    if (!cli.isEmpty()) {
        QVector<double> listed, seconds;
        for (const Run &r : cli) {
            listed.append(r.listed);
            seconds.append(r.lastMs / 1000.0);
        }
        bench::result(key + QStringLiteral(".cli.listed.min"), bench::Stats::of(listed).min, QStringLiteral("nodes"));
        bench::result(key + QStringLiteral(".cli.seconds.median"), bench::Stats::of(seconds).median, QStringLiteral("s"));
    }
    QVector<double> toolTimes, rawTimes;
    for (const Run &r : tool)
        toolTimes.append(r.lastMs);
    for (const Run &r : raw)
        rawTimes.append(r.lastMs);
    bench::result(key + QStringLiteral(".ratio"), bench::Stats::of(toolTimes).median / bench::Stats::of(rawTimes).median,
                  QStringLiteral("x"));
    std::fflush(stdout);
    std::_Exit(0);
}
