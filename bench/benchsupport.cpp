#include "benchsupport.h"

#include "firmware/image.h"
#include "link/messages.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QNetworkInterface>
#include <QThread>
#include <QTimer>
#include <QEventLoop>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace bench {

qint64 nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

Stats Stats::of(QVector<double> v)
{
    Stats s;
    s.n = int(v.size());
    if (v.isEmpty())
        return s;
    std::sort(v.begin(), v.end());
    // Nearest rank: the value below which the given share of samples lies.
    const auto rank = [&v](double q) { return v.at(qBound(0, int(std::ceil(q * v.size())) - 1, int(v.size()) - 1)); };
    s.min = v.first();
    s.max = v.last();
    s.median = v.size() % 2 ? v.at(v.size() / 2) : (v.at(v.size() / 2 - 1) + v.at(v.size() / 2)) / 2;
    s.p90 = rank(0.90);
    s.p99 = rank(0.99);
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / v.size();
    return s;
}

void result(const QString &key, double value, const QString &unit)
{
    std::printf("RESULT %s %.6g %s\n", qPrintable(key), value, qPrintable(unit));
    std::fflush(stdout);
}

void note(const QString &line)
{
    std::printf("# %s\n", qPrintable(line));
    std::fflush(stdout);
}

void fail(const QString &why)
{
    std::fprintf(stderr, "benchmark failed: %s\n", qPrintable(why));
    std::printf("FAILED %s\n", qPrintable(why));
    std::fflush(stdout);
    std::_Exit(1);
}

namespace {

bool testAddress(const QHostAddress &a)
{
    return a.isLoopback() || a.isInSubnet(QHostAddress(QStringLiteral("192.0.2.0")), 24) ||
        a.isInSubnet(QHostAddress(QStringLiteral("198.18.0.0")), 15);
}

} // namespace

void requirePrivateNetwork()
{
    if (!qEnvironmentVariableIsSet("TARVO_NODES_NETNS"))
        fail(QStringLiteral("run me through scripts/netns-run (no nodes' namespace)"));
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !testAddress(a))
            fail(QStringLiteral("address %1 is not a test address: not a private network").arg(a.toString()));
}

QString workstationAddress(int index)
{
    return qEnvironmentVariable("TARVO_WS_ADDRS").split(QLatin1Char(','), Qt::SkipEmptyParts).value(index);
}

int discoverySocket(const QString &address, int receiveBuffer, bool force)
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, force ? SO_RCVBUFFORCE : SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(DiscoveryPort);
    ::inet_pton(AF_INET, qPrintable(address), &local.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0)
        fail(QStringLiteral("raw receiver cannot bind %1").arg(address));
    return fd;
}

namespace traces {

namespace {

QVector<Line> &store()
{
    static QVector<Line> s;
    return s;
}
bool echoLines = true;

void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg)
        store().append({nowNs(), msg});
    // One write per line, as Qt's own handler makes.
    if (echoLines || type != QtDebugMsg)
        std::fputs((msg.toLocal8Bit() + '\n').constData(), stderr);
}

} // namespace

void install(bool echo)
{
    echoLines = echo;
    store().reserve(4096);
    qInstallMessageHandler(handler);
}

void clear() { store().clear(); }

const QVector<Line> &lines() { return store(); }

qint64 timeOf(const QString &text)
{
    for (const Line &l : store())
        if (l.text == text)
            return l.ns;
    return -1;
}

} // namespace traces

bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QTimer wake; // to look at the clock now and then
    wake.start(20);
    const qint64 deadline = nowNs() + qint64(timeoutMs) * 1000000;
    while (!done()) {
        if (nowNs() > deadline)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

void settle(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

namespace {

qint64 statusKb(const char *field)
{
    QFile f(QStringLiteral("/proc/self/status"));
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray key = QByteArray(field) + ':';
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(key.size()).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

} // namespace

qint64 peakRssKb() { return statusKb("VmHWM"); }
qint64 rssKb() { return statusKb("VmRSS"); }

Emulator::~Emulator() { stop(); }

bool Emulator::start(const QStringList &args, int timeoutMs)
{
    const QString program = qEnvironmentVariable("TARVO_EMULATOR", QStringLiteral(TARVO_EMULATOR_PATH));
    const QString out = QDir(dir.path()).filePath(QStringLiteral("emulator.log"));
    process.setStandardOutputFile(out);
    process.setStandardErrorFile(QDir(dir.path()).filePath(QStringLiteral("emulator.err")));
    process.start(QStringLiteral("nsenter"),
                  QStringList{QStringLiteral("--net=") + qEnvironmentVariable("TARVO_NODES_NETNS"), program,
                              QStringLiteral("--exit-with-parent")} + args);
    if (!process.waitForStarted(5000))
        return false;
    QFile log(out);
    for (int waited = 0; waited < timeoutMs; waited += 20) {
        if (process.state() == QProcess::NotRunning)
            return false;
        if (log.open(QIODevice::ReadOnly)) {
            if (log.readAll().contains("ready "))
                return true;
            log.close();
        }
        QThread::msleep(20);
    }
    return false;
}

void Emulator::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

QString Emulator::log() const
{
    QFile f(QDir(dir.path()).filePath(QStringLiteral("emulator.log")));
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

void prepareWindowApp()
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QCoreApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
}

QByteArray firmwareImage()
{
    QByteArray image(ImageInfo::ImageSize, '\0');
    for (int i = 0; i < ImageInfo::Offset; ++i)
        image[i] = char((i * 7 + 13 + (i >> 9)) & 0xff);
    wire::putText(image, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
    return image;
}

int intArg(const QStringList &args, const QString &name, int fallback)
{
    const int i = int(args.indexOf(name));
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1).toInt() : fallback;
}

QString stringArg(const QStringList &args, const QString &name, const QString &fallback)
{
    const int i = int(args.indexOf(name));
    return i >= 0 && i + 1 < args.size() ? args.at(i + 1) : fallback;
}

} // namespace bench
