// Firmware upgrades of many nodes from the command line, each timed as the
// whole `tarvo upgrade` process an operator waits for: start, discovery,
// connections, transfers, restarts and the verification by discovery.
//
// Scale: 1, 10, 100 and 1000 nodes upgraded at once (--parallel N), served
// side by side by one emulator process with a node's latency (--erase-ms
// for the erase, --packet-ms per 512-byte packet; 500 and 2 by default),
// against the time of one node; the tool's processor time per exchange
// round (one request and its reply) and its peak resident memory.
//
// Memory: 240 nodes that answer at once, upgraded with --parallel 8,
// against 8 of them: memory is bounded by what runs at once, not by how
// many nodes were done.
//
//   netns-run --ws 198.18.0.1 --nodes 198.18.0.10 1250 --prefix 15 --
//     bench_fleet [--runs N] [--counts 1,10,100,1000] [--erase-ms N] [--packet-ms N]

#include "benchsupport.h"

#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <cerrno>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

enum : int { ScaleNodes = 1000, MemoryNodes = 240, MemoryParallel = 8, ExchangesPerNode = 258 };

QString address(int i)
{
    return QHostAddress(QHostAddress(QStringLiteral("198.18.0.10")).toIPv4Address() + quint32(i)).toString();
}

// One upgrade file per version, so that every run moves the nodes on.
QString upgradeFile(const QString &dir, const QByteArray &version)
{
    QByteArray raw = bench::firmwareImage();
    wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, version);
    const UpgradeFile file = buildUpgradeFile(raw);
    QFile f(QDir(dir).filePath(file.fileName));
    if (file.result != UpgradeFile::Ok || !f.open(QIODevice::WriteOnly) || f.write(file.data) != file.data.size())
        bench::fail(QStringLiteral("cannot write the upgrade file"));
    return f.fileName();
}

struct Run {
    double wallMs = 0;
    double userMs = 0;  // the tarvo process's own processor time
    double cpuMs = 0;   // user and system time of the tarvo process
    double peakKb = 0;  // its peak resident memory
};

// Runs tarvo as a child of its own, so that wait4() gives exactly its
// processor time and peak memory; its summary must show every node verified.
Run upgrade(const QString &dir, const QString &file, const QStringList &nodes, int parallel)
{
    const QString out = QDir(dir).filePath(QStringLiteral("summary.json"));
    // --allow-same-version: every run upgrades every node named, whatever
    // the run before left on it.
    QList<QByteArray> args{QByteArray(TARVO_CLI), "--interface", bench::workstationAddress().toUtf8(), "--json",
                           "--yes", "upgrade", file.toUtf8(), "--parallel", QByteArray::number(parallel),
                           "--allow-same-version"};
    for (const QString &n : nodes)
        args.append(n.toUtf8());
    std::vector<char *> argv;
    for (QByteArray &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.toUtf8().constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = 0;
    const qint64 start = bench::nowNs();
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
        bench::fail(QStringLiteral("cannot start tarvo"));
    posix_spawn_file_actions_destroy(&actions);
    int status = 0;
    rusage usage{};
    while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    Run run;
    run.wallMs = double(bench::nowNs() - start) / 1e6;
    run.userMs = double(usage.ru_utime.tv_sec) * 1e3 + double(usage.ru_utime.tv_usec) / 1e3;
    run.cpuMs = run.userMs + double(usage.ru_stime.tv_sec) * 1e3 + double(usage.ru_stime.tv_usec) / 1e3;
    run.peakKb = double(usage.ru_maxrss);
    QFile summary(out);
    summary.open(QIODevice::ReadOnly);
    const QJsonDocument doc = QJsonDocument::fromJson(summary.readAll());
    const QJsonArray rows = doc.isObject() ? doc.object().value(QStringLiteral("results")).toArray() : doc.array();
    int verified = 0;
    QString firstFailure;
    for (const QJsonValue v : rows) {
        const QJsonObject row = v.toObject();
        if (row.value(QStringLiteral("result")).toString() == QLatin1String("verified"))
            ++verified;
        else if (firstFailure.isEmpty())
            firstFailure = row.value(QStringLiteral("address")).toString() + QStringLiteral(": ") +
                row.value(QStringLiteral("result")).toString() + QStringLiteral(", ") +
                row.value(QStringLiteral("reason")).toString();
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0 || verified != nodes.size())
        bench::fail(QStringLiteral("tarvo upgrade of %1 node(s): %2 verified, exit %3 (%4)")
                        .arg(nodes.size())
                        .arg(verified)
                        .arg(WIFEXITED(status) ? WEXITSTATUS(status) : -1)
                        .arg(firstFailure));
    return run;
}

QStringList addresses(int first, int count)
{
    QStringList list;
    for (int i = 0; i < count; ++i)
        list.append(address(first + i));
    return list;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 3);
    const int eraseMs = bench::intArg(args, QStringLiteral("--erase-ms"), 500);
    const int packetMs = bench::intArg(args, QStringLiteral("--packet-ms"), 2);
    QList<int> counts;
    for (const QString &c : bench::stringArg(args, QStringLiteral("--counts"), QStringLiteral("1,10,100,1000")).split(','))
        counts.append(qBound(1, c.toInt(), int(ScaleNodes)));
    bench::requirePrivateNetwork();

    // One emulator process for the nodes with a flash's latency, one for
    // those that answer at once; the open-file limit of each is raised.
    const QString latency = QStringLiteral("delay-ms={\"12\":%1,\"13\":%2}").arg(eraseMs).arg(packetMs);
    bench::Emulator slow, fast;
    if (!slow.start({QStringLiteral("--listen-each"), QStringLiteral("--count"), QString::number(ScaleNodes),
                     QStringLiteral("--first-ip"), address(0), QStringLiteral("--first-serial"), QStringLiteral("0"),
                     QStringLiteral("--fault"), latency}, 60000) ||
        !fast.start({QStringLiteral("--listen-each"), QStringLiteral("--count"), QString::number(MemoryNodes),
                     QStringLiteral("--first-ip"), address(ScaleNodes), QStringLiteral("--first-serial"),
                     QString::number(ScaleNodes)}, 60000))
        bench::fail(QStringLiteral("emulator did not start"));

    QTemporaryDir dir;
    const QString file = upgradeFile(dir.path(), "v2.05");

    // Scale: N nodes at once against one, alternating, after one warm-up.
    QMap<int, QVector<Run>> scale;
    for (int i = 0; i <= runs; ++i) {
        for (const int n : counts) {
            const Run r = upgrade(dir.path(), file, addresses(0, n), n);
            if (i > 0)
                scale[n].append(r);
        }
    }
    bench::note(QStringLiteral("fleet: %1 runs; node latency: erase %2 ms, %3 ms per packet; all nodes in one emulator "
                               "process")
                    .arg(runs)
                    .arg(eraseMs)
                    .arg(packetMs));
    double oneMs = 0;
    for (const int n : counts) {
        QVector<double> wall, cpuPerRound, userPerRound, peak;
        for (const Run &r : scale[n]) {
            wall.append(r.wallMs);
            cpuPerRound.append(r.cpuMs * 1000.0 / (double(n) * ExchangesPerNode));
            userPerRound.append(r.userMs * 1000.0 / (double(n) * ExchangesPerNode));
            peak.append(r.peakKb / 1024.0);
        }
        const QString key = QStringLiteral("fleet.%1").arg(n);
        const double median = bench::Stats::of(wall).median;
        if (n == 1)
            oneMs = median;
        bench::result(key + QStringLiteral(".total_ms.median"), median, QStringLiteral("ms"));
        // User time is the tool's own work; system time also holds the
        // emulated node's receive path, which the kernel runs in the
        // sender's write() on the test network's veth pair.
        bench::result(key + QStringLiteral(".cpu_us_per_round.median"), bench::Stats::of(cpuPerRound).median,
                      QStringLiteral("us"));
        bench::result(key + QStringLiteral(".user_us_per_round.median"), bench::Stats::of(userPerRound).median,
                      QStringLiteral("us"));
        bench::result(key + QStringLiteral(".peak_mb.max"), bench::Stats::of(peak).max, QStringLiteral("MiB"));
        if (oneMs > 0)
            bench::result(key + QStringLiteral(".ratio"), median / oneMs, QStringLiteral("x"));
    }

    // Memory: 8 nodes, then 240, each with --parallel 8.
    QVector<double> few, many;
    for (int i = 0; i < runs; ++i) {
        few.append(upgrade(dir.path(), file, addresses(ScaleNodes, MemoryParallel), MemoryParallel).peakKb / 1024.0);
        many.append(upgrade(dir.path(), file, addresses(ScaleNodes, MemoryNodes), MemoryParallel).peakKb / 1024.0);
    }
    const double fewMb = bench::Stats::of(few).median, manyMb = bench::Stats::of(many).median;
    bench::result(QStringLiteral("fleet.memory.8.peak_mb.median"), fewMb, QStringLiteral("MiB"));
    bench::result(QStringLiteral("fleet.memory.240.peak_mb.median"), manyMb, QStringLiteral("MiB"));
    bench::result(QStringLiteral("fleet.memory.ratio"), manyMb / fewMb, QStringLiteral("x"));
    return 0;
}
