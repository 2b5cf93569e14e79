// Discovery of many nodes: one search answered by N emulated nodes. How
// many the window lists, and the time from the request to the last entry,
// against a plain UDP receiver that sends the same request from a second
// workstation address and counts the replies. Both run once more with the
// receive buffer cut to what a stock kernel allows (net.core.rmem_max =
// 212992), to show what the cap costs and that reading faster would not
// make up for it.
//
//   netns-run --ws 198.18.0.1,198.18.0.2 --nodes 198.18.0.10 N --prefix 15 --
//       bench_discovery --count N [--first-ip 198.18.0.10] [--runs R] [--quiet]

#include "benchsupport.h"

#include "link/devicerecord.h"
#include "operator.h"
#include <QMetaMethod> // probe.h uses it without including it
#include "probe.h"

#include <QApplication>
#include <QFile>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int requestedBuffer = 8 * 1024 * 1024; // what the tool asks for
constexpr int stockCap = 212992;                 // Debian's net.core.rmem_max
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

struct Run {
    int listed = 0;
    double firstMs = 0; // request sent to first entry (or datagram)
    double lastMs = 0;  // request sent to last entry
    qint64 dropped = 0;
    int buffer = 0;    // effective SO_RCVBUF
};

// The baseline: a socket that asks for the same buffer, sends the same
// request, and does nothing with a reply but count it.
Run rawRun(const QString &address, int expected, int cap)
{
    Run run;
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    const int size = cap > 0 ? cap : requestedBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(DiscoveryPort);
    ::inet_pton(AF_INET, qPrintable(address), &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        bench::fail(QStringLiteral("raw receiver cannot bind %1").arg(address));
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
Run toolRun(MainWindowProbe &p, int expected, int cap)
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
    const int fd = int(p.udpSocket()->socketDescriptor());
    if (cap > 0) // as if net.core.rmem_max were the stock value
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &cap, sizeof cap);
    run.buffer = receiveBuffer(fd);
    const qint64 start = bench::traces::timeOf(QStringLiteral("Discovery msg sended."));

    bench::waitUntil([&] {
        return run.listed >= expected || bench::nowNs() - (lastRow ? lastRow : start) > qint64(idleMs) * 1000000;
    }, 60000);
    QObject::disconnect(counting);
    run.lastMs = lastRow ? double(lastRow - start) / 1e6 : 0;
    run.firstMs = firstRow ? double(firstRow - start) / 1e6 : 0;
    run.dropped = rcvbufErrors() - before;
    return run;
}

void report(const QString &prefix, const QVector<Run> &runs)
{
    QVector<double> first, times, listed, dropped;
    for (const Run &r : runs) {
        first.append(r.firstMs);
        times.append(r.lastMs);
        listed.append(r.listed);
        dropped.append(double(r.dropped));
    }
    bench::result(prefix + QStringLiteral(".listed.min"), bench::Stats::of(listed).min, QStringLiteral("nodes"));
    bench::result(prefix + QStringLiteral(".dropped.max"), bench::Stats::of(dropped).max, QStringLiteral("datagrams"));
    bench::result(prefix + QStringLiteral(".first_ms.median"), bench::Stats::of(first).median, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".last_ms.median"), bench::Stats::of(times).median, QStringLiteral("ms"));
    bench::result(prefix + QStringLiteral(".rcvbuf"), runs.value(0).buffer, QStringLiteral("bytes"));
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
    bench::requirePrivateNetwork();
    const QString toolAddress = bench::workstationAddress(0);
    const QString rawAddress = bench::workstationAddress(1);
    if (rawAddress.isEmpty())
        bench::fail(QStringLiteral("needs two workstation addresses (--ws A,B)"));
    bench::traces::install(!args.contains(QStringLiteral("--quiet")));
    ScriptedOperator::instance().install();

    bench::Emulator emu;
    if (!emu.start({QStringLiteral("--count"), QString::number(count), QStringLiteral("--first-ip"), first}))
        bench::fail(QStringLiteral("emulator did not start"));

    ScriptedOperator::instance().chooseItem(toolAddress);
    MainWindow window;
    window.show();
    MainWindowProbe p(window);
    bench::settle(200); // shown and painted, as when an operator presses "Search"

    QVector<Run> tool, capped, raw, rawCapped;
    for (int i = 0; i < runs; ++i) {
        tool.append(toolRun(p, count, 0));
        bench::settle(200);
        raw.append(rawRun(rawAddress, count, 0));
        bench::settle(200);
        capped.append(toolRun(p, count, stockCap));
        bench::settle(200);
        rawCapped.append(rawRun(rawAddress, count, stockCap));
        bench::settle(200);
    }

    const QString key = QStringLiteral("discovery.%1").arg(count);
    bench::note(QStringLiteral("discovery: %1 nodes, %2 searches per variant; net.core.rmem_max = %3")
                    .arg(count).arg(runs).arg(readSysctl("/proc/sys/net/core/rmem_max")));
    report(key + QStringLiteral(".tool"), tool);
    report(key + QStringLiteral(".raw"), raw);
    report(key + QStringLiteral(".tool_stockcap"), capped);
    report(key + QStringLiteral(".raw_stockcap"), rawCapped);
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
