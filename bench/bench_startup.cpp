// Start-up to the shown window, and peak memory after a search: the
// configurator's own main() (bench_startup_tool, with the address dialog
// answered at once) against a bare Qt program that shows an empty window of
// the same size (bench_startup_bare), each started afresh, alternating.
//
//   netns-run -- bench_startup [--runs R]
//   netns-run --nodes 198.18.0.10 1000 --prefix 15 --ws 198.18.0.1 --
//       bench_startup --search 1000 [--first-ip 198.18.0.10] [--runs R]

#include "benchsupport.h"

#include <QCoreApplication>
#include <QHash>
#include <QProcess>

namespace {

using Report = QHash<QString, double>;

Report launch(const QString &program, int search)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    if (!env.contains(QStringLiteral("QT_QPA_PLATFORM")))
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    if (search > 0)
        env.insert(QStringLiteral("BENCH_SEARCH"), QString::number(search));
    process.setProcessEnvironment(env);
    const qint64 start = bench::nowNs();
    process.start(program, {});
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        bench::fail(QStringLiteral("%1 did not run to its end: %2")
                        .arg(program, QString::fromLocal8Bit(process.readAllStandardError())));
    Report r;
    for (const QByteArray &line : process.readAllStandardOutput().split('\n')) {
        const int eq = int(line.indexOf('='));
        if (eq > 0)
            r.insert(QString::fromLatin1(line.left(eq)), line.mid(eq + 1).toDouble());
    }
    if (!r.contains(QStringLiteral("shown_ns")))
        bench::fail(QStringLiteral("%1 never showed its window").arg(program));
    r.insert(QStringLiteral("startup_ms"), (r.value(QStringLiteral("shown_ns")) - double(start)) / 1e6);
    r.insert(QStringLiteral("to_app_ms"), (r.value(QStringLiteral("app_ns")) - double(start)) / 1e6);
    if (r.value(QStringLiteral("dialog_ns")) > 0) {
        r.insert(QStringLiteral("to_dialog_ms"), (r.value(QStringLiteral("dialog_ns")) - double(start)) / 1e6);
        r.insert(QStringLiteral("after_dialog_ms"),
                 (r.value(QStringLiteral("shown_ns")) - r.value(QStringLiteral("dialog_ns"))) / 1e6);
    }
    return r;
}

QVector<double> column(const QVector<Report> &reports, const QString &key)
{
    QVector<double> v;
    for (const Report &r : reports)
        v.append(r.value(key));
    return v;
}

double median(const QVector<Report> &reports, const QString &key)
{
    return bench::Stats::of(column(reports, key)).median;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int search = bench::intArg(args, QStringLiteral("--search"), 0);
    const int runs = bench::intArg(args, QStringLiteral("--runs"), search > 0 ? 3 : 10);
    bench::requirePrivateNetwork();
    const QString tool = QStringLiteral(BENCH_STARTUP_TOOL);
    const QString bare = QStringLiteral(BENCH_STARTUP_BARE);

    if (search == 0) {
        QVector<Report> t, b;
        launch(tool, 0); // the first start of each loads the libraries from disk
        launch(bare, 0);
        for (int i = 0; i < runs; ++i) {
            t.append(launch(tool, 0));
            b.append(launch(bare, 0));
        }
        bench::note(QStringLiteral("start-up: %1 starts of each program, alternating, after one unmeasured start").arg(runs));
        bench::result(QStringLiteral("startup.tool.shown_ms.median"), median(t, QStringLiteral("startup_ms")), QStringLiteral("ms"));
        bench::result(QStringLiteral("startup.tool.to_qapplication_ms.median"), median(t, QStringLiteral("to_app_ms")),
                      QStringLiteral("ms"));
        // Where the configurator's time goes: up to its address dialog
        // (the form built, the addresses listed), and from the dialog to
        // the window (the answer, the sockets, the rest of the form).
        bench::result(QStringLiteral("startup.tool.to_dialog_ms.median"), median(t, QStringLiteral("to_dialog_ms")),
                      QStringLiteral("ms"));
        bench::result(QStringLiteral("startup.tool.dialog_to_shown_ms.median"), median(t, QStringLiteral("after_dialog_ms")),
                      QStringLiteral("ms"));
        bench::result(QStringLiteral("startup.bare.shown_ms.median"), median(b, QStringLiteral("startup_ms")), QStringLiteral("ms"));
        bench::result(QStringLiteral("startup.bare.to_qapplication_ms.median"), median(b, QStringLiteral("to_app_ms")),
                      QStringLiteral("ms"));
        bench::result(QStringLiteral("startup.ratio"),
                      median(t, QStringLiteral("startup_ms")) / median(b, QStringLiteral("startup_ms")), QStringLiteral("x"));
        bench::result(QStringLiteral("memory.tool.shown_kb.median"), median(t, QStringLiteral("hwm_shown_kb")), QStringLiteral("KiB"));
        bench::result(QStringLiteral("memory.bare.shown_kb.median"), median(b, QStringLiteral("hwm_shown_kb")), QStringLiteral("KiB"));
        return 0;
    }

    bench::Emulator emu;
    const QString first = bench::stringArg(args, QStringLiteral("--first-ip"), QStringLiteral("198.18.0.10"));
    if (!emu.start({QStringLiteral("--count"), QString::number(search), QStringLiteral("--first-ip"), first}))
        bench::fail(QStringLiteral("emulator did not start"));
    QVector<Report> t, b;
    for (int i = 0; i < runs; ++i) {
        t.append(launch(tool, search));
        b.append(launch(bare, 0));
    }
    const QString key = QStringLiteral("memory.search%1").arg(search);
    bench::note(QStringLiteral("memory: %1 starts of the program, each searching once for %2 nodes").arg(runs).arg(search));
    bench::result(key + QStringLiteral(".listed.min"), bench::Stats::of(column(t, QStringLiteral("listed"))).min,
                  QStringLiteral("nodes"));
    bench::result(key + QStringLiteral(".search_ms.median"), median(t, QStringLiteral("search_ms")), QStringLiteral("ms"));
    bench::result(key + QStringLiteral(".tool.peak_before_kb.median"), median(t, QStringLiteral("hwm_shown_kb")),
                  QStringLiteral("KiB"));
    bench::result(key + QStringLiteral(".tool.peak_after_kb.median"), median(t, QStringLiteral("hwm_search_kb")),
                  QStringLiteral("KiB"));
    bench::result(key + QStringLiteral(".tool.rss_after_kb.median"), median(t, QStringLiteral("rss_search_kb")),
                  QStringLiteral("KiB"));
    bench::result(key + QStringLiteral(".bare.peak_kb.median"), median(b, QStringLiteral("hwm_shown_kb")), QStringLiteral("KiB"));
    bench::result(key + QStringLiteral(".ratio_after_vs_before"),
                  median(t, QStringLiteral("hwm_search_kb")) / median(t, QStringLiteral("hwm_shown_kb")), QStringLiteral("x"));
    bench::result(key + QStringLiteral(".ratio_after_vs_bare"),
                  median(t, QStringLiteral("hwm_search_kb")) / median(b, QStringLiteral("hwm_shown_kb")), QStringLiteral("x"));
    return 0;
}
