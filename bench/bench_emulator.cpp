// The emulator at scale: firmware upgrades of one node, then of N nodes at
// once (100 and 1000 by default), all served by one tarvo-emulator process,
// alternating, each timed from the first connect to the last ResetDevice
// reply. The nodes take a flash's time by the emulator's timers (erase-delay-ms,
// and delay-ms for each ProgramPacket), so N nodes side by side should take
// little longer than one; the ratio shows what the emulator (and the client)
// add. The client is the least one can write: non-blocking sockets on one
// epoll loop, a buffer per connection, no allocation per message. It checks
// every reply and the checksum.
//
//   sh scripts/netns-run --ws 198.18.0.1 --nodes 198.18.0.10 1001 --prefix 15 --
//     build-bench/bench/bench_emulator [--sizes 100,1000] [--runs N] [--erase-ms N] [--packet-ms N]
//     [--label NAME] [--emulator-args "ARGS..."]
//
// --emulator-args adds options to the emulator (e.g. "--threads 1", or
// "--omit-events none" to keep every event line; the benchmark leaves out
// rx and packet lines, which it does not read).

#include "benchsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QThread>
#include <QtEndian>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

// The node protocol as this client needs it; literal, like a node's own.
enum : int { Message = 1024, Packets = 256, PacketBytes = 512, Payload = 67, Number = 8, Length = 12, Crc = 67 };
enum : quint32 { Reset = 11, Erase = 12, Program = 13, ReadCrc = 16 };

const char *const firstNode = "198.18.0.10";

QString nodeAddress(int i)
{
    return QHostAddress(QHostAddress(QString::fromLatin1(firstNode)).toIPv4Address() + quint32(i)).toString();
}

// One node's upgrade: the request in flight and the reply coming in.
struct Upgrade {
    int fd = -1;
    quint32 expect = 0; // word of the reply awaited; 0 while connecting
    int packet = 0;
    char out[Message];
    int sent = 0; // of out; Message when nothing waits
    char in[Message];
    int got = 0;
    bool done = false;
};

class Client
{
public:
    Client(const QByteArray &image) : image(image)
    {
        const auto *b = reinterpret_cast<const unsigned char *>(image.constData());
        for (int i = 0; i < 0x1FFFC; ++i)
            sum += b[i];
    }

    // Upgrades nodes first..first+count-1 at once; false on any fault.
    bool run(int first, int count, QString *why)
    {
        const int ep = epoll_create1(EPOLL_CLOEXEC);
        std::vector<Upgrade> all(static_cast<size_t>(count));
        int left = count;
        bool ok = true;
        for (int i = 0; i < count && ok; ++i) {
            Upgrade &u = all[size_t(i)];
            u.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            const int one = 1;
            setsockopt(u.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(50000);
            to.sin_addr.s_addr = htonl(QHostAddress(nodeAddress(first + i)).toIPv4Address());
            if (::connect(u.fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) != 0 && errno != EINPROGRESS) {
                *why = QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                ok = false;
            }
            epoll_event ev{};
            ev.events = EPOLLIN | EPOLLOUT;
            ev.data.ptr = &u;
            epoll_ctl(ep, EPOLL_CTL_ADD, u.fd, &ev);
        }
        const qint64 deadline = bench::nowNs() + 120'000'000'000LL;
        epoll_event events[256];
        while (ok && left > 0) {
            const int n = epoll_wait(ep, events, 256, 1000);
            if (bench::nowNs() > deadline) {
                *why = QStringLiteral("no end after 120 s, %1 node(s) left").arg(left);
                ok = false;
            }
            for (int e = 0; e < n && ok; ++e) {
                Upgrade &u = *static_cast<Upgrade *>(events[e].data.ptr);
                if (!step(ep, u, events[e].events, why))
                    ok = false;
                else if (u.done)
                    --left;
            }
        }
        for (Upgrade &u : all)
            if (u.fd >= 0)
                ::close(u.fd);
        ::close(ep);
        return ok;
    }

private:
    void request(Upgrade &u, quint32 word)
    {
        std::memset(u.out, 0, Message);
        qToLittleEndian<quint32>(word, u.out);
        if (word == Program) {
            qToLittleEndian<quint32>(quint32(u.packet), u.out + Number);
            qToLittleEndian<quint32>(PacketBytes, u.out + Length);
            std::memcpy(u.out + Payload, image.constData() + u.packet * PacketBytes, PacketBytes);
        }
        u.expect = word;
        u.sent = 0;
    }

    bool flush(int ep, Upgrade &u, QString *why)
    {
        while (u.sent < Message) {
            const ssize_t n = ::send(u.fd, u.out + u.sent, size_t(Message - u.sent), MSG_NOSIGNAL);
            if (n < 0 && errno == EAGAIN)
                break;
            if (n <= 0) {
                *why = QStringLiteral("send: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                return false;
            }
            u.sent += int(n);
        }
        epoll_event ev{};
        ev.events = u.sent < Message ? EPOLLIN | EPOLLOUT : EPOLLIN;
        ev.data.ptr = &u;
        epoll_ctl(ep, EPOLL_CTL_MOD, u.fd, &ev);
        return true;
    }

    bool step(int ep, Upgrade &u, quint32 ready, QString *why)
    {
        if (u.expect == 0) { // the connection is up, or failed
            int err = 0;
            socklen_t len = sizeof err;
            getsockopt(u.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                *why = QStringLiteral("connect: %1").arg(QString::fromLocal8Bit(std::strerror(err)));
                return false;
            }
            request(u, Erase);
            return flush(ep, u, why);
        }
        if ((ready & EPOLLOUT) && u.sent < Message && !flush(ep, u, why))
            return false;
        if (!(ready & (EPOLLIN | EPOLLHUP | EPOLLERR)))
            return true;
        const ssize_t n = ::recv(u.fd, u.in + u.got, size_t(Message - u.got), 0);
        if (n < 0 && errno == EAGAIN)
            return true;
        if (n <= 0) {
            *why = QStringLiteral("the node closed the connection (word %1 awaited)").arg(u.expect);
            return false;
        }
        u.got += int(n);
        if (u.got < Message)
            return true;
        u.got = 0;
        const quint32 word = qFromLittleEndian<quint32>(u.in);
        if (word != u.expect || (word == Program && qFromLittleEndian<quint32>(u.in + Number) != quint32(u.packet))) {
            *why = QStringLiteral("reply %1 where %2 was awaited").arg(word).arg(u.expect);
            return false;
        }
        switch (word) {
        case Erase:
            u.packet = 0;
            request(u, Program);
            break;
        case Program:
            if (++u.packet < Packets)
                request(u, Program);
            else
                request(u, ReadCrc);
            break;
        case ReadCrc:
            if (qFromLittleEndian<quint32>(u.in + Crc) != sum) {
                *why = QStringLiteral("checksum differs");
                return false;
            }
            request(u, Reset);
            break;
        default:
            u.done = true;
            epoll_ctl(ep, EPOLL_CTL_DEL, u.fd, nullptr);
            return true;
        }
        return flush(ep, u, why);
    }

    const QByteArray image;
    quint32 sum = 0;
};

// CPU time (user and system) of a process, in ms.
double cpuMs(qint64 pid)
{
    QFile f(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!f.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray stat = f.readAll();
    // Fields after the command's closing parenthesis: state is the 3rd field, utime the 14th.
    const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toDouble() + fields.value(12).toDouble()) * 1000.0 / double(sysconf(_SC_CLK_TCK));
}

double ownCpuMs()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1e3 + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e3;
}

// nsenter replaces itself with the emulator: a child of ours by that name.
qint64 childNamed(const QByteArray &name)
{
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        QFile f(QStringLiteral("/proc/%1/stat").arg(entry));
        if (!f.open(QIODevice::ReadOnly))
            continue;
        const QByteArray stat = f.readAll();
        const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
        if (stat.contains("(" + name.left(15) + ")") && fields.value(1).toLongLong() == qint64(getpid()))
            return entry.toLongLong();
    }
    return -1;
}

QString machine()
{
    QFile cpu(QStringLiteral("/proc/cpuinfo"));
    QString model = QStringLiteral("?");
    if (cpu.open(QIODevice::ReadOnly))
        for (const QByteArray &line : cpu.readAll().split('\n'))
            if (line.startsWith("model name")) {
                model = QString::fromLatin1(line.mid(line.indexOf(':') + 1).trimmed());
                break;
            }
    QFile load(QStringLiteral("/proc/loadavg"));
    const QByteArray avg = load.open(QIODevice::ReadOnly) ? load.readAll().split(' ').mid(0, 3).join(' ') : QByteArray("?");
    return QStringLiteral("%1 cores (nproc), %2, load average %3").arg(QThread::idealThreadCount()).arg(model, QString::fromLatin1(avg));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 3);
    const int eraseMs = bench::intArg(args, QStringLiteral("--erase-ms"), 500);
    const int packetMs = bench::intArg(args, QStringLiteral("--packet-ms"), 2);
    const QString label = bench::stringArg(args, QStringLiteral("--label"), QStringLiteral("emulator"));
    QVector<int> sizes;
    for (const QString &s : bench::stringArg(args, QStringLiteral("--sizes"), QStringLiteral("100,1000")).split(QLatin1Char(',')))
        sizes.append(s.toInt());
    const QStringList extra = bench::stringArg(args, QStringLiteral("--emulator-args"), QString()).split(QLatin1Char(' '), Qt::SkipEmptyParts);
    bench::requirePrivateNetwork();
    rlimit files{}; // a connection for each node
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }

    // Node 0 upgrades alone, nodes 1..N together.
    const int largest = *std::max_element(sizes.begin(), sizes.end());
    // The benchmark reads no event line: the per-packet ones stay out
    // unless --emulator-args says otherwise (the last --omit-events wins).
    const QStringList emulatorArgs =
        QStringList{QStringLiteral("--count"), QString::number(largest + 1), QStringLiteral("--first-ip"), QString::fromLatin1(firstNode),
                    QStringLiteral("--fault"), QStringLiteral("erase-delay-ms=%1").arg(eraseMs), QStringLiteral("--fault"),
                    QStringLiteral("delay-ms={\"13\":%1}").arg(packetMs), QStringLiteral("--omit-events"), QStringLiteral("rx,packet")} +
        extra;
    bench::Emulator emulator;
    if (!emulator.start(emulatorArgs))
        bench::fail(QStringLiteral("the emulator did not start"));
    const qint64 emulatorPid = childNamed("tarvo-emulator");
    if (emulatorPid <= 0)
        bench::fail(QStringLiteral("the emulator's process is not to be found"));

    Client client(bench::firmwareImage());
    struct Run {
        QVector<double> ms, emulatorCpuMs, clientCpuMs, ratios;
    };
    const auto timed = [&](int first, int count, Run &into) {
        QString why;
        const double e0 = cpuMs(emulatorPid), c0 = ownCpuMs();
        const qint64 start = bench::nowNs();
        if (!client.run(first, count, &why))
            bench::fail(QStringLiteral("%1 node(s): %2").arg(count).arg(why));
        into.ms.append(double(bench::nowNs() - start) / 1e6);
        into.emulatorCpuMs.append(cpuMs(emulatorPid) - e0);
        into.clientCpuMs.append(ownCpuMs() - c0);
    };

    Run one, warm; // run 0 warms up and is not counted
    QVector<Run> many(sizes.size());
    for (int r = 0; r <= runs; ++r) {
        timed(0, 1, r == 0 ? warm : one);
        for (int s = 0; s < sizes.size(); ++s) {
            Run &into = r == 0 ? warm : many[s];
            timed(1, sizes[s], into);
            if (r > 0)
                into.ratios.append(into.ms.last() / one.ms.last());
        }
    }

    bench::note(QStringLiteral("%1: machine %2 at the end; %3 runs, alternating; node latency: erase %4 ms, %5 ms per packet; "
                               "emulator arguments: %6")
                    .arg(label, machine())
                    .arg(runs)
                    .arg(eraseMs)
                    .arg(packetMs)
                    .arg(emulatorArgs.join(QLatin1Char(' '))));
    const auto median = [](const QVector<double> &v) { return bench::Stats::of(v).median; };
    bench::result(label + QStringLiteral(".one.total_ms.median"), median(one.ms), QStringLiteral("ms"));
    for (int s = 0; s < sizes.size(); ++s) {
        const QString key = label + QLatin1Char('.') + QString::number(sizes[s]);
        const Run &m = many[s];
        bench::result(key + QStringLiteral(".total_ms.median"), median(m.ms), QStringLiteral("ms"));
        bench::result(key + QStringLiteral(".ratio"), median(m.ms) / median(one.ms), QStringLiteral("x"));
        bench::result(key + QStringLiteral(".ratio.min"), bench::Stats::of(m.ratios).min, QStringLiteral("x"));
        bench::result(key + QStringLiteral(".ratio.max"), bench::Stats::of(m.ratios).max, QStringLiteral("x"));
        bench::result(key + QStringLiteral(".emulator_cpu_ms.median"), median(m.emulatorCpuMs), QStringLiteral("ms"));
        bench::result(key + QStringLiteral(".client_cpu_ms.median"), median(m.clientCpuMs), QStringLiteral("ms"));
        // Per request and reply: the emulator against the least a peer can do.
        const double exchanges = double(sizes[s]) * (Packets + 3);
        bench::result(key + QStringLiteral(".emulator_cpu_us_per_exchange"), median(m.emulatorCpuMs) * 1e3 / exchanges,
                      QStringLiteral("us"));
        bench::result(key + QStringLiteral(".client_cpu_us_per_exchange"), median(m.clientCpuMs) * 1e3 / exchanges,
                      QStringLiteral("us"));
    }
    return 0;
}
