// Parallel firmware upgrade from the command line: `tarvo upgrade FILE NODE`
// against `tarvo upgrade FILE --parallel 50 NODE...` (50 nodes), alternating,
// each timed as the whole process an operator waits for: start, discovery,
// connections, transfers, restarts and the verification by discovery.
//
// The emulated nodes take the time a node's flash takes (--erase-ms for the
// erase, --packet-ms per 512-byte packet; 500 and 2 by default): without it
// a node answers in microseconds, and 50 nodes cost 50 times the work of one
// on the same two cores, whatever the tool overlaps. --erase-ms 0
// --packet-ms 0 measures exactly that, for the record.
//
//   netns-run --ws 198.18.0.1 --nodes 198.18.0.10 60 --prefix 15 --
//     bench_fleet [--runs N] [--erase-ms N] [--packet-ms N] [--label NAME]

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

#include <memory>
#include <vector>

namespace {

enum : int { Fleet = 50, Processes = 10 };

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

// Runs tarvo; returns the wall time in ns once every node was verified.
qint64 upgrade(const QString &file, const QStringList &nodes)
{
    QStringList args{QStringLiteral("--interface"), bench::workstationAddress(), QStringLiteral("--json"),
                     QStringLiteral("upgrade"), file, QStringLiteral("--parallel"), QString::number(nodes.size())};
    QProcess p;
    p.setStandardErrorFile(QProcess::nullDevice());
    const qint64 start = bench::nowNs();
    p.start(QStringLiteral(TARVO_CLI), args + nodes);
    if (!p.waitForFinished(120000) || p.exitCode() != 0)
        bench::fail(QStringLiteral("tarvo upgrade of %1 node(s) failed (exit %2)").arg(nodes.size()).arg(p.exitCode()));
    const qint64 ns = bench::nowNs() - start;
    const QJsonArray rows = QJsonDocument::fromJson(p.readAllStandardOutput()).array();
    for (const QJsonValue v : rows)
        if (v.toObject().value(QStringLiteral("result")).toString() != QLatin1String("verified"))
            bench::fail(QStringLiteral("a node was not verified"));
    if (rows.size() != nodes.size())
        bench::fail(QStringLiteral("the summary lacks nodes"));
    return ns;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 5);
    const int eraseMs = bench::intArg(args, QStringLiteral("--erase-ms"), 500);
    const int packetMs = bench::intArg(args, QStringLiteral("--packet-ms"), 2);
    const QString label = bench::stringArg(args, QStringLiteral("--label"), QStringLiteral("fleet"));
    bench::requirePrivateNetwork();

    // Fifty real nodes answer side by side, each with a processor of its
    // own; one emulator process would answer them one after another and
    // measure itself. So the fifty are spread over Processes emulators
    // (Fleet / Processes nodes each), and the single node has one of its own.
    const QString latency = QStringLiteral("delay-ms={\"12\":%1,\"13\":%2}").arg(eraseMs).arg(packetMs);
    std::vector<std::unique_ptr<bench::Emulator>> emulators;
    for (int p = 0; p <= Processes; ++p) {
        const int first = p == 0 ? 0 : 1 + (p - 1) * (Fleet / Processes);
        const int count = p == 0 ? 1 : Fleet / Processes;
        emulators.push_back(std::make_unique<bench::Emulator>());
        if (!emulators.back()->start({QStringLiteral("--listen-each"), QStringLiteral("--count"), QString::number(count),
                                      QStringLiteral("--first-ip"), address(first), QStringLiteral("--first-serial"),
                                      QString::number(first + 1), QStringLiteral("--fault"), latency}))
            bench::fail(QStringLiteral("emulator did not start"));
    }

    QTemporaryDir dir;
    const QString files[2] = {upgradeFile(dir.path(), "v2.05"), upgradeFile(dir.path(), "v2.06")};
    const QStringList one{address(0)};
    QStringList fifty;
    for (int i = 1; i <= Fleet; ++i)
        fifty.append(address(i));

    QVector<double> oneMs, fiftyMs, ratios;
    for (int i = 0; i <= runs; ++i) { // run 0 warms up and is not counted
        const QString &file = files[i % 2];
        const double a = double(upgrade(file, one)) / 1e6;
        const double b = double(upgrade(file, fifty)) / 1e6;
        if (i == 0)
            continue;
        oneMs.append(a);
        fiftyMs.append(b);
        ratios.append(b / a);
    }

    const bench::Stats o = bench::Stats::of(oneMs), f = bench::Stats::of(fiftyMs), r = bench::Stats::of(ratios);
    bench::note(QStringLiteral("%1: %2 runs, alternating; node latency: erase %3 ms, %4 ms per packet")
                    .arg(label)
                    .arg(runs)
                    .arg(eraseMs)
                    .arg(packetMs)
                    + QStringLiteral("; the fifty spread over %1 emulator processes").arg(Processes));
    bench::result(label + QStringLiteral(".one.total_ms.median"), o.median, QStringLiteral("ms"));
    bench::result(label + QStringLiteral(".fifty.total_ms.median"), f.median, QStringLiteral("ms"));
    bench::result(label + QStringLiteral(".ratio.min"), r.min, QStringLiteral("x"));
    bench::result(label + QStringLiteral(".ratio.max"), r.max, QStringLiteral("x"));
    bench::result(label + QStringLiteral(".ratio"), f.median / o.median, QStringLiteral("x"));
    return 0;
}
