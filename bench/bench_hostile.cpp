// Nodes that misbehave, each measured against the same run without the
// misbehaviour:
//   --flood     the window's answer to a click while a node floods it with
//               2000 discovery replies a second (each with a serial of its
//               own), against the same clicks on an idle window; and the
//               window's resident memory after the flood;
//   --box       resident memory while a result box is open and the node
//               sends 200 MiB, against the memory before;
//   --acks      packets the node receives for one upgrade when it
//               acknowledges every packet twice, against once.
//
//   netns-run -- bench_hostile [--flood] [--box] [--acks] [--seconds N] [--megabytes N]
//
// A click is a mouse press and release posted to a button connected to
// nothing but the benchmark; its answer time runs from the post to the
// button's clicked().

#include "benchsupport.h"

#include "firmware/upgradefile.h"
#include "link/trace.h"
#include "firmware/upgrademessage.h"
#include "operator.h"
#include <QMetaMethod> // probe.h uses it without including it
#include "probe.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMouseEvent>
#include <QPushButton>
#include <cstdio>

namespace {

const char *const nodeAddress = "192.0.2.10";

QStringList nodeArgs(const QStringList &faults)
{
    QStringList args{QStringLiteral("--first-ip"), QString::fromLatin1(nodeAddress), QStringLiteral("--count"),
                     QStringLiteral("1")};
    for (const QString &f : faults)
        args << QStringLiteral("--fault") << f;
    return args;
}

// Clicks the button every `everyMs` for `seconds`, returns the answer times.
QVector<double> clickTimes(QPushButton *button, int seconds, int everyMs)
{
    QVector<double> times;
    qint64 postedNs = -1;
    const auto conn = QObject::connect(button, &QPushButton::clicked, [&] {
        if (postedNs >= 0)
            times.append(double(bench::nowNs() - postedNs) / 1e6);
        postedNs = -1;
    });
    QElapsedTimer total;
    total.start();
    while (total.elapsed() < seconds * 1000) {
        const QPointF at(button->width() / 2.0, button->height() / 2.0);
        postedNs = bench::nowNs();
        QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonPress, at, button->mapToGlobal(at),
                                                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(button, new QMouseEvent(QEvent::MouseButtonRelease, at, button->mapToGlobal(at),
                                                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        bench::waitUntil([&] { return postedNs < 0; }, 60000);
        bench::settle(everyMs);
    }
    QObject::disconnect(conn);
    return times;
}

void reportClicks(const QString &key, const QVector<double> &times)
{
    const bench::Stats s = bench::Stats::of(times);
    bench::result(key + QStringLiteral(".clicks"), s.n, QStringLiteral("clicks"));
    bench::result(key + QStringLiteral(".median_ms"), s.median, QStringLiteral("ms"));
    bench::result(key + QStringLiteral(".p99_ms"), s.p99, QStringLiteral("ms"));
    bench::result(key + QStringLiteral(".max_ms"), s.max, QStringLiteral("ms"));
}

std::unique_ptr<MainWindow> openWindow()
{
    ScriptedOperator::instance().reset();
    ScriptedOperator::instance().chooseItem(bench::workstationAddress(0));
    auto w = std::make_unique<MainWindow>();
    w->show();
    bench::settle(200);
    return w;
}

// Trace lines go to the standard error, as in the program, rather than into
// the benchmark's memory, so that what is measured is the window's.
void traceToStandardError()
{
    setTraceSink([](const TraceLine &line) { std::fprintf(stderr, "%s\n", qPrintable(line.text)); });
}

void flood(int seconds)
{
    traceToStandardError();
    const int rate = 2000;
    bench::Emulator emu;
    if (!emu.start(nodeArgs({QStringLiteral("discovery-flood={\"rate\":%1,\"count\":%2}").arg(rate).arg(rate * seconds)})))
        bench::fail(QStringLiteral("emulator did not start"));
    auto w = openWindow();
    MainWindowProbe p(*w);
    QPushButton *target = p.button("CreateUpgBtn"); // connected to nothing in the window

    reportClicks(QStringLiteral("hostile.flood.idle"), clickTimes(target, 2, 20));
    const qint64 before = bench::rssKb();
    p.invoke("searchForDevices");
    reportClicks(QStringLiteral("hostile.flood.during"), clickTimes(target, seconds, 20));
    bench::waitUntil([&] { return emu.log().contains(QStringLiteral("flood-done")); }, 30000);
    bench::settle(500);
    bench::result(QStringLiteral("hostile.flood.listed"), p.list()->count(), QStringLiteral("nodes"));
    bench::result(QStringLiteral("hostile.flood.rss_before_kb"), double(before), QStringLiteral("KiB"));
    bench::result(QStringLiteral("hostile.flood.rss_after_kb"), double(bench::rssKb()), QStringLiteral("KiB"));
    setTraceSink({});
}

QString upgradeFile(QTemporaryDir &dir)
{
    const QString path = QDir(dir.path()).filePath(QStringLiteral("fw.upg"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(buildUpgradeFile(bench::firmwareImage()).data) != 131072)
        bench::fail(QStringLiteral("cannot write the upgrade file"));
    return path;
}

bool connectNode(MainWindowProbe &p)
{
    p.invoke("searchForDevices");
    if (!bench::waitUntil([&] { return p.list()->count() > 0; }, 5000))
        return false;
    p.list()->setCurrentRow(0);
    p.invoke("connectBtnPressed");
    return bench::waitUntil([&] { return !p.lastConfigMessage().isEmpty(); }, 5000);
}

// One emulated node with these faults, and the window connected to it.
struct Connected {
    bench::Emulator emu;
    QTemporaryDir dir;
    std::unique_ptr<MainWindow> w;
    std::unique_ptr<MainWindowProbe> p;

    explicit Connected(const QStringList &faults)
    {
        if (!emu.start(nodeArgs(faults)))
            bench::fail(QStringLiteral("emulator did not start"));
        w = openWindow();
        p = std::make_unique<MainWindowProbe>(*w);
        if (!connectNode(*p))
            bench::fail(QStringLiteral("no connection to the node"));
    }

    // "Firmware upgrade", with the operator choosing a valid file.
    void upgrade()
    {
        ScriptedOperator::instance().chooseFile(upgradeFile(dir));
        p->button("FirmwareBtn")->click();
    }
};

void box(int megabytes)
{
    traceToStandardError();
    Connected node({QStringLiteral("wrong-crc=true"),
                    QStringLiteral("flood-after={\"word\":16,\"megabytes\":%1}").arg(megabytes)});
    // The node answers the checksum wrongly, so the result box is the
    // failure box; it stays open until the node has sent everything.
    const qint64 before = bench::rssKb();
    qint64 during = 0;
    bool done = false;
    QElapsedTimer sent;
    ScriptedOperator::instance().holdNextBox(600000);
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        during = qMax(during, bench::rssKb());
        const auto &boxes = ScriptedOperator::instance().boxes;
        if (!done && boxes.size() >= 2 && boxes[1].widget && node.emu.log().contains(QStringLiteral("flood-done"))) {
            done = true;
            bench::result(QStringLiteral("hostile.box.seconds"), double(sent.elapsed()) / 1000, QStringLiteral("s"));
            boxes[1].widget->done(QMessageBox::Ok);
        }
    });
    watch.start(50);
    sent.start();
    node.upgrade();
    if (!bench::waitUntil([&] { return done; }, 600000))
        bench::fail(QStringLiteral("the flood did not end while the box was open"));
    bench::result(QStringLiteral("hostile.box.megabytes"), megabytes, QStringLiteral("MiB"));
    bench::result(QStringLiteral("hostile.box.rss_before_kb"), double(before), QStringLiteral("KiB"));
    bench::result(QStringLiteral("hostile.box.rss_peak_kb"), double(during), QStringLiteral("KiB"));
}

int packetsFor(const QStringList &faults)
{
    Connected node(faults);
    node.upgrade();
    bench::waitUntil([&] { return bench::traces::timeOf(QStringLiteral("CRC OK")) >= 0; }, 30000);
    bench::settle(200);
    return int(node.emu.log().count(QStringLiteral("packet 192.0.2.10 ")));
}

void acks()
{
    bench::traces::clear();
    // The node does not confirm its restart: that spares the window's pause
    // after it, which lies outside what is counted.
    bench::result(QStringLiteral("hostile.acks.once"), packetsFor({QStringLiteral("no-reply=[11]")}),
                  QStringLiteral("packets"));
    bench::traces::clear();
    bench::result(QStringLiteral("hostile.acks.twice"),
                  packetsFor({QStringLiteral("no-reply=[11]"), QStringLiteral("ack-twice=true")}), QStringLiteral("packets"));
}

} // namespace

int main(int argc, char *argv[])
{
    bench::prepareWindowApp();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    bench::requirePrivateNetwork();
    bench::traces::install(false);
    ScriptedOperator::instance().install();
    const bool all = !args.contains(QStringLiteral("--flood")) && !args.contains(QStringLiteral("--box")) &&
        !args.contains(QStringLiteral("--acks"));
    if (all || args.contains(QStringLiteral("--flood")))
        flood(bench::intArg(args, QStringLiteral("--seconds"), 5));
    if (all || args.contains(QStringLiteral("--acks")))
        acks();
    if (all || args.contains(QStringLiteral("--box")))
        box(bench::intArg(args, QStringLiteral("--megabytes"), 200));
    std::fflush(stdout);
    std::_Exit(0);
}
