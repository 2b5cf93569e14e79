// Firmware upgrade exchange: the window's own code (updateFirmware and the
// reply handlers, reached through the "Firmware upgrade" button) against a
// minimal lock-step client, both talking to the same emulated node, runs
// alternating. Timed from the EraseSector request to the ReadCrc reply
// checked: the traces "Erase Sector..." and "CRC OK" for the tool.
//
//   netns-run -- bench_upgrade [--runs N] [--quiet]

#include "benchsupport.h"
#include "rawclient.h"

#include "firmware/image.h"
#include "firmware/upgradefile.h"
#include "operator.h"
#include <QMetaMethod> // probe.h uses it without including it
#include "probe.h"

#include <QApplication>
#include <QDir>
#include <QFile>

namespace {

const char *const nodeAddress = "192.0.2.10";

struct ToolRun {
    bool ok = false;
    qint64 totalNs = 0;
    QVector<double> roundNs;
    QVector<double> handlerNs; // from a packet's acknowledgement to the next packet written
};

ToolRun toolRun(MainWindowProbe &p, const QString &file)
{
    ToolRun run;
    ScriptedOperator::instance().reset();
    // The progress box of the last run stays up until a reset reply the
    // node is told not to send: start each run without it.
    delete p.statusBox();
    p.statusBox() = nullptr;
    ScriptedOperator::instance().chooseFile(file);
    bench::traces::clear();
    p.button("FirmwareBtn")->click();
    const auto finished = [] {
        return bench::traces::timeOf(QStringLiteral("CRC OK")) >= 0 ||
            bench::traces::timeOf(QStringLiteral("CRC error!")) >= 0;
    };
    if (!bench::waitUntil(finished, 30000))
        return run;
    const qint64 start = bench::traces::timeOf(QStringLiteral("Erase Sector..."));
    const qint64 end = bench::traces::timeOf(QStringLiteral("CRC OK"));
    if (start < 0 || end < 0)
        return run;
    qint64 last = start;
    qint64 ackNs = -1;
    for (const bench::traces::Line &l : bench::traces::lines()) {
        if (l.ns > start && l.text.startsWith(QLatin1String("TCP message received: "))) {
            run.roundNs.append(double(l.ns - last));
            last = l.ns;
            ackNs = l.text.endsWith(QLatin1String(" 13")) ? l.ns : -1;
        } else if (ackNs >= 0 && l.text.startsWith(QLatin1String("Program packet nr: "))) {
            run.handlerNs.append(double(l.ns - ackNs));
            ackNs = -1;
        }
    }
    run.totalNs = end - start;
    run.ok = run.roundNs.size() == 258;
    return run;
}

void report(const QString &who, const QVector<double> &totals, const QVector<double> &rounds)
{
    const bench::Stats t = bench::Stats::of(totals);
    const bench::Stats r = bench::Stats::of(rounds);
    bench::result(QStringLiteral("upgrade.%1.total_ms.median").arg(who), t.median / 1e6, QStringLiteral("ms"));
    bench::result(QStringLiteral("upgrade.%1.total_ms.min").arg(who), t.min / 1e6, QStringLiteral("ms"));
    bench::result(QStringLiteral("upgrade.%1.round_us.median").arg(who), r.median / 1e3, QStringLiteral("us"));
    bench::result(QStringLiteral("upgrade.%1.round_us.p99").arg(who), r.p99 / 1e3, QStringLiteral("us"));
}

} // namespace

int main(int argc, char *argv[])
{
    bench::prepareWindowApp();
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 10);
    bench::requirePrivateNetwork();
    bench::traces::install(!args.contains(QStringLiteral("--quiet")));
    ScriptedOperator::instance().install();

    // The node does not answer ResetDevice: that spares the tool's 5 s
    // settling sleep, which lies outside the timed exchange anyway.
    bench::Emulator emu;
    if (!emu.start({QStringLiteral("--count"), QStringLiteral("1"), QStringLiteral("--first-ip"),
                    QString::fromLatin1(nodeAddress), QStringLiteral("--fault"), QStringLiteral("no-reply=[11]")}))
        bench::fail(QStringLiteral("emulator did not start"));

    QTemporaryDir dir;
    const UpgradeFile upgrade = buildUpgradeFile(bench::firmwareImage());
    const QString file = QDir(dir.path()).filePath(QStringLiteral("bench.upg"));
    QFile f(file);
    if (upgrade.result != UpgradeFile::Ok || !f.open(QIODevice::WriteOnly) || f.write(upgrade.data) != upgrade.data.size())
        bench::fail(QStringLiteral("cannot write the upgrade file"));
    f.close();
    QByteArray decoded = upgrade.data;
    decodeImage(bytes(decoded), decoded.size());

    ScriptedOperator::instance().chooseItem(bench::workstationAddress());
    MainWindow window;
    window.show();
    MainWindowProbe p(window);
    p.invoke("searchForDevices");
    if (!bench::waitUntil([&p] { return p.list()->count() > 0; }, 5000))
        bench::fail(QStringLiteral("the node was not found"));
    p.list()->setCurrentRow(0);
    p.invoke("connectBtnPressed");
    const auto configured = [] {
        for (const bench::traces::Line &l : bench::traces::lines())
            if (l.text.startsWith(QLatin1String("Serial number: ")))
                return true;
        return false;
    };
    if (!bench::waitUntil(configured, 5000) || !p.button("FirmwareBtn")->isEnabled())
        bench::fail(QStringLiteral("no connection to the node"));

    RawClient raw;
    if (!raw.connectTo(nodeAddress, DevicePort))
        bench::fail(QStringLiteral("raw client cannot connect"));

    QVector<double> toolTotals, rawTotals, toolRounds, rawRounds, toolHandler;
    for (int i = 0; i <= runs; ++i) { // run 0 warms both up and is not counted
        const ToolRun t = toolRun(p, file);
        if (!t.ok)
            bench::fail(QStringLiteral("tool upgrade run %1 did not complete").arg(i));
        bench::settle(50); // the tool's ResetDevice leaves before the raw client starts
        const RawClient::Run r = raw.exchange(decoded);
        if (!r.ok)
            bench::fail(QStringLiteral("raw upgrade run %1 did not complete").arg(i));
        bench::settle(20);
        if (i == 0)
            continue;
        toolTotals.append(double(t.totalNs));
        rawTotals.append(double(r.totalNs));
        toolRounds += t.roundNs;
        toolHandler += t.handlerNs;
        rawRounds += r.roundNs;
    }

    bench::note(QStringLiteral("upgrade: %1 runs each of 258 request-reply rounds, alternating").arg(runs));
    report(QStringLiteral("tool"), toolTotals, toolRounds);
    report(QStringLiteral("raw"), rawTotals, rawRounds);
    // The tool's own share of a round: the acknowledgement handled and the
    // next packet queued; the rest is the wire and the node.
    bench::result(QStringLiteral("upgrade.tool.handler_us.median"), bench::Stats::of(toolHandler).median / 1e3,
                  QStringLiteral("us"));
    bench::result(QStringLiteral("upgrade.ratio"),
                  bench::Stats::of(toolTotals).median / bench::Stats::of(rawTotals).median, QStringLiteral("x"));
    std::fflush(stdout);
    // The window's teardown is not what is measured.
    std::_Exit(0);
}
