// The chaos judge: random nodes with random faults, some that move, pause
// or vanish, random tarvo commands and interrupts, and every row of every
// summary checked against what the nodes' journals say they did.
//
// TARVO_CHAOS_SEED (default 1) seeds the first round, each round the next;
// TARVO_CHAOS_OPS (default 300) node operations are judged at least;
// TARVO_CHAOS_COMMANDS stops after that many commands (to reproduce one).

#include "enginetestmain.h"
#include "firmwarefiles.h"
#include "judge.h"

#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <map>

namespace {

constexpr int CommandsPerRound = 12;
constexpr int TimeoutMs = 400;

struct Firmware {
    QString path, version;
    qint64 sum;
};

struct Command {
    Asked asked;
    QStringList args; // after the program and its --interface
};

// Everything a command maker may use.
struct Round {
    Rng &rng;
    Fleet &fleet;
    QString dir;
    const QVector<Firmware> &upgrades;
    bool backedUp = false;
    int files = 0;
};

void print(const QString &text)
{
    std::fputs(qPrintable(text + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

// Some nodes by address, serial or label, or --all; every node the same way
// in one command.
QStringList names(Round &r)
{
    if (r.rng.chance(0.45))
        return {QStringLiteral("--all")};
    QVector<ChaosNode> nodes = r.fleet.nodes;
    std::shuffle(nodes.begin(), nodes.end(), r.rng.g);
    const int way = r.rng.between(0, 2);
    QStringList out;
    for (int i = r.rng.between(1, 4); i > 0; --i) {
        const ChaosNode &n = nodes.at(i - 1);
        out.append(way == 0 ? n.at : way == 1 ? n.serial() : n.config.value("label").toString());
    }
    return out;
}

QJsonObject randomPorts(Rng &rng, QJsonObject file)
{
    QJsonArray ports;
    for (int p = 0; p < 4; ++p)
        ports.append(QJsonObject{{"universe", rng.between(1, 256)}, {"break", rng.between(92, 999)}, {"mab", rng.between(12, 999)},
                                 {"mbf", rng.between(0, 999)}, {"wait", rng.between(10, 999)}, {"channels", rng.between(24, 512)},
                                 {"merge", rng.chance(0.5) ? "HTP" : "LTP"}});
    file.insert("ports", ports);
    return file;
}

QString writeJson(Round &r, const QString &name, const QJsonObject &o)
{
    const QString path = QDir(r.dir).filePath(name);
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(QJsonDocument(o).toJson()) > 0 ? path : QString();
}

// --- the commands, each a maker of its arguments and of what it asks -------

Command configSet(Round &r)
{
    Command c;
    const QStringList targets = names(r);
    const bool single = targets.size() == 1 && targets.first() != QLatin1String("--all");
    const auto named = std::find_if(r.fleet.nodes.cbegin(), r.fleet.nodes.cend(), [&](const ChaosNode &n) {
        return n.at == targets.first() || n.serial() == targets.first() || n.config.value("label") == targets.first();
    });
    // The node's own file writes everything; a template (serial "1") keeps
    // each node's label and network settings unless told otherwise, and
    // several nodes never take one network.
    const bool own = single && named != r.fleet.nodes.cend() && r.rng.chance(0.5);
    const bool withLabel = !own && r.rng.chance(0.3);
    const bool withNetwork = !own && single && r.rng.chance(0.3);
    c.asked.keepLabel = !own && !withLabel;
    c.asked.keepNetwork = !own && !withNetwork;
    // One node: its network settings as they are, or another address, mask
    // or gateway.
    QJsonObject network{{"ip", "192.0.2.30"}, {"mask", "255.255.255.0"}, {"gateway", "192.0.2.254"}};
    if (!c.asked.keepNetwork && named != r.fleet.nodes.cend()) {
        const QJsonObject now = named->config;
        network = {{"ip", now.value("ip")}, {"mask", now.value("mask")}, {"gateway", now.value("gateway")}};
        switch (r.rng.between(0, 3)) {
        case 1:
            network.insert("ip", freeAddress(r.rng, r.fleet.nodes));
            break;
        case 2:
            network.insert("mask", now.value("mask") == "255.255.0.0" ? "255.255.255.0" : "255.255.0.0");
            break;
        case 3:
            network.insert("gateway", now.value("gateway") == "192.0.2.1" ? "192.0.2.253" : "192.0.2.1");
            break;
        }
    }
    QJsonObject file{{"format", "tarvo-config"}, {"version", 1}, {"serial", own ? named->serial() : QStringLiteral("1")},
                     {"label", r.rng.chance(0.3) ? QString::fromUtf8("Bühne %1").arg(r.rng.between(1, 99)) : QStringLiteral("Chaos %1").arg(r.rng.between(1, 99))},
                     {"network", network}};
    file = randomPorts(r.rng, file);
    if (r.rng.chance(0.05)) // a file that fails its checks: nothing may be sent
        file.insert("ports", QJsonArray{});
    c.asked.file = file;
    c.args = QStringList{"config", "set"} + targets + QStringList{writeJson(r, QStringLiteral("config-%1.json").arg(++r.files), file)};
    if (withLabel)
        c.args.append("--with-label");
    if (withNetwork)
        c.args.append("--with-network");
    return c;
}

Command factoryDefault(Round &r)
{
    return {{}, QStringList{"default"} + names(r)};
}

Command backup(Round &r)
{
    Command c;
    c.asked.dir = QDir(r.dir).filePath("site");
    c.args = QStringList{"backup", c.asked.dir} + names(r);
    return c;
}

Command restore(Round &r)
{
    if (!r.backedUp)
        return backup(r);
    Command c;
    c.asked.dir = QDir(r.dir).filePath("site");
    c.asked.match = r.rng.pick(QVector<QString>{"serial", "serial", "label", "address"});
    const bool withNetwork = r.rng.chance(0.3);
    c.asked.keepNetwork = !withNetwork;
    c.args = QStringList{"restore", c.asked.dir} + names(r) + QStringList{"--match", c.asked.match};
    if (withNetwork)
        c.args.append("--with-network");
    return c;
}

Command run(Round &r)
{
    return {{}, QStringList{"run"} + names(r)};
}

Command upgrade(Round &r)
{
    Command c;
    const Firmware &file = r.upgrades.at(r.rng.between(0, int(r.upgrades.size()) - 1));
    c.asked.version = file.version;
    c.asked.imageSum = file.sum;
    c.args = QStringList{"upgrade", file.path} + names(r);
    if (r.rng.chance(0.2))
        c.args.append("--allow-same-version");
    if (r.rng.chance(0.1))
        c.args.append("--allow-downgrade");
    return c;
}

const struct {
    const char *command;
    int weight;
    Command (*make)(Round &);
} commands[] = {
    {"config set", 6, configSet}, {"default", 2, factoryDefault}, {"backup", 2, backup},
    {"restore", 4, restore},      {"run", 2, run},                {"upgrade", 4, upgrade},
};

Command makeCommand(Round &r)
{
    int total = 0;
    for (const auto &k : commands)
        total += k.weight;
    int pick = r.rng.between(1, total);
    for (const auto &k : commands) {
        if ((pick -= k.weight) > 0)
            continue;
        Command c = k.make(r);
        c.asked.command = c.args.first() == QLatin1String("config") ? QStringLiteral("config set") : c.args.first();
        c.asked.timeoutMs = TimeoutMs;
        c.asked.parallel = r.rng.pick(QVector<int>{2, 4, 8, 8});
        c.args = QStringList{"--json", "--timeout", QString::number(TimeoutMs)} + c.args +
            QStringList{"--parallel", QString::number(c.asked.parallel)};
        return c;
    }
    Q_UNREACHABLE();
}

// Interrupts (once or twice), a process of nodes paused or killed, the
// nodes' network cut for a while: mostly within the first second, when
// most commands are at work.
QVector<Action> makeActions(Round &r)
{
    QVector<Action> actions;
    const auto soon = [&r] { return r.rng.chance(0.8) ? r.rng.between(30, 1000) : r.rng.between(1000, 4000); };
    const auto process = [&r] { return r.rng.between(0, r.fleet.processes() - 1); };
    if (r.rng.chance(0.15)) {
        const int at = soon();
        actions.append({Action::Interrupt, at});
        if (r.rng.chance(0.5))
            actions.append({Action::Interrupt, at + r.rng.between(20, 700)});
    }
    if (r.rng.chance(0.12))
        actions.append({Action::Pause, soon(), process(), r.rng.between(300, 3000)});
    if (r.rng.chance(0.08))
        actions.append({Action::Kill, soon(), process()});
    if (r.rng.chance(0.06))
        actions.append({Action::Cut, soon(), 0, r.rng.between(300, 2500)});
    return actions;
}

QString describe(const QVector<Action> &actions)
{
    QStringList s;
    for (const Action &a : actions)
        s.append(a.kind == Action::Interrupt ? QStringLiteral("SIGINT at %1 ms").arg(a.atMs)
                 : a.kind == Action::Pause   ? QStringLiteral("nodes of process %1 paused at %2 ms for %3 ms").arg(a.process).arg(a.atMs).arg(a.forMs)
                 : a.kind == Action::Kill    ? QStringLiteral("nodes of process %1 killed at %2 ms").arg(a.process).arg(a.atMs)
                                             : QStringLiteral("the nodes' network cut at %1 ms for %2 ms").arg(a.atMs).arg(a.forMs));
    return s.isEmpty() ? QStringLiteral("none") : s.join(QStringLiteral(", "));
}

// A backup changed as an operator would, so that restoring it changes the node.
void editBackup(Round &r)
{
    const QDir site(QDir(r.dir).filePath("site"));
    const QStringList files = site.entryList({QStringLiteral("*.json")}, QDir::Files);
    if (files.isEmpty() || !r.rng.chance(0.6))
        return;
    const QString path = site.filePath(files.at(r.rng.between(0, int(files.size()) - 1)));
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return;
    QJsonObject o = QJsonDocument::fromJson(f.readAll()).object();
    f.close();
    o = r.rng.chance(0.5) ? randomPorts(r.rng, o) : (o.insert("label", QStringLiteral("Restored %1").arg(r.rng.between(1, 99))), o);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate))
        f.write(QJsonDocument(o).toJson());
}

// "192.0.2.10: read, config, moved; ...": what each node did, in short.
QString journalSummary(const Journal &journal)
{
    QStringList out;
    for (auto it = journal.cbegin(); it != journal.cend(); ++it) {
        QStringList events;
        int packets = 0;
        for (const Event &e : it.value())
            if (e.value("event") == "packet")
                ++packets;
            else
                events.append(e.value("event").toString());
        if (packets > 0)
            events.append(QStringLiteral("%1 packets").arg(packets));
        out.append(it.key() + QStringLiteral(": ") + events.join(QLatin1Char(' ')));
    }
    out.sort();
    return out.join(QStringLiteral("; "));
}

Disturbed disturbance(const QVector<Action> &actions, qint64 endedMs)
{
    Disturbed d;
    for (const Action &a : actions) {
        if (a.atMs > endedMs)
            continue;
        d.interrupted = d.interrupted || a.kind == Action::Interrupt;
        d.cut = d.cut || a.kind == Action::Cut;
        if (a.kind == Action::Pause || a.kind == Action::Kill)
            d.processes.insert(a.process);
    }
    return d;
}

// Everything needed to see why a row was rejected: what befell the
// command, the node and its faults, the row, and what the node did.
QString explain(const Rejection &r, const QVector<Action> &actions, const Run &run, const QVector<ChaosNode> &before, const Journal &journal)
{
    QStringList text{QStringLiteral("  %1").arg(r.what),
                     QStringLiteral("  meanwhile: %1; exit code %2 after %3 ms").arg(describe(actions)).arg(run.code).arg(run.ms)};
    for (const ChaosNode &n : before)
        if (n.key() == r.node)
            text.append(QStringLiteral("  node %1 (serial %2, at %3, process %4), faults %5")
                            .arg(n.key(), n.serial(), n.at).arg(n.process).arg(compactJson(n.setup.value("faults"))));
    if (!r.row.isEmpty())
        text.append(QStringLiteral("  row %1").arg(compactJson(r.row)));
    int packets = 0;
    for (const Event &e : journal.value(r.node))
        if (e.value("event") == "packet")
            ++packets;
        else
            text.append(QStringLiteral("  journal %1").arg(compactJson(e)));
    if (packets > 0)
        text.append(QStringLiteral("  journal: %1 packet line(s) left out").arg(packets));
    if (r.row.isEmpty())
        text.append(QStringLiteral("  standard error: %1").arg(run.err.trimmed().right(2000)));
    return text.join('\n') + QLatin1Char('\n');
}

// A tarvo process's peak resident size, per command, in the second half of
// the run against the first: more than a quarter and 4 MiB more is growth.
QStringList memoryGrowth(const QVector<QPair<QString, qint64>> &peaks, qint64 *most)
{
    QHash<QString, qint64> early, late;
    for (int i = 0; i < peaks.size(); ++i) {
        if (peaks.at(i).second <= 0)
            continue; // not measured
        QHash<QString, qint64> &half = i < peaks.size() / 2 ? early : late;
        half[peaks.at(i).first] = qMax(half.value(peaks.at(i).first), peaks.at(i).second);
        *most = qMax(*most, peaks.at(i).second);
    }
    QStringList grew;
    for (auto it = late.cbegin(); it != late.cend(); ++it)
        if (early.contains(it.key()) && it.value() > early.value(it.key()) * 5 / 4 + 4096)
            grew.append(QStringLiteral("%1: %2 kB, then %3 kB").arg(it.key()).arg(early.value(it.key())).arg(it.value()));
    return grew;
}

struct Stats {
    int ops = 0, commands = 0, rejected = 0;
    QHash<QString, int> perCommand;
    std::map<QString, QString> classes; // rule and command: the first seen, with how to reproduce it
    std::map<QString, int> classCount;
    QVector<QPair<QString, qint64>> peaks; // per command: kind, peak kB
};

} // namespace

class ChaosTest : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;
    QVector<Firmware> upgrades;

    QString reproduce(quint64 roundSeed, int command) const
    {
        const QString build = QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/../..")).canonicalPath();
        return QStringLiteral("TARVO_CHAOS_SEED=%1 TARVO_CHAOS_COMMANDS=%2 ctest --test-dir %3 -R tst_chaos --output-on-failure")
            .arg(roundSeed).arg(command + 1).arg(build);
    }

private slots:
    void initTestCase()
    {
        if (!qEnvironmentVariableIsSet("TARVO_NODES_NETNS"))
            QSKIP("needs scripts/netns-run");
        // Every fault the emulator has is dealt here.
        QProcess list;
        list.start(qEnvironmentVariable("TARVO_EMULATOR"), {"--list-faults"});
        QVERIFY(list.waitForFinished(5000));
        QStringList listed;
        static const QRegularExpression name(QStringLiteral("^\\| \\w[^|]*\\| `([a-z-]+)="));
        for (const QString &row : QString::fromUtf8(list.readAllStandardOutput()).split('\n'))
            if (const auto m = name.match(row); m.hasMatch())
                listed.append(m.captured(1));
        QStringList dealt = faultNames();
        listed.sort();
        dealt.sort();
        QCOMPARE(dealt, listed);

        for (const char *version : {"v2.05", "v2.06", "v2.06", "v0.90"}) {
            const UpgradeFile file = buildUpgradeFile(fw::rawImage(version, 0, upgrades.size() + 1));
            const QByteArray image = fw::decoded(file.data);
            qint64 sum = 0;
            for (int i = 0; i < 0x1FFFC; ++i)
                sum += quint8(image.at(i));
            const QString path = fw::writeFile(dir.path(), QStringLiteral("%1-%2").arg(upgrades.size()).arg(file.fileName), file.data);
            QVERIFY(!path.isEmpty());
            upgrades.append({path, QString::fromLatin1(version), sum & 0xffffffff});
        }
    }

    void soak()
    {
        const quint64 seed = qEnvironmentVariableIsSet("TARVO_CHAOS_SEED") ? qEnvironmentVariable("TARVO_CHAOS_SEED").toULongLong() : 1;
        const int wanted = qEnvironmentVariableIsSet("TARVO_CHAOS_OPS") ? qEnvironmentVariableIntValue("TARVO_CHAOS_OPS") : 300;
        const bool verbose = qEnvironmentVariableIsSet("TARVO_CHAOS_VERBOSE");
        const int mostCommands = qEnvironmentVariableIsSet("TARVO_CHAOS_COMMANDS") ? qEnvironmentVariableIntValue("TARVO_CHAOS_COMMANDS") : 1 << 30;
        Stats stats;
        QElapsedTimer wall;
        wall.start();
        for (quint64 roundSeed = seed; stats.ops < wanted && stats.commands < mostCommands; roundSeed = nextSeed(roundSeed)) {
            QTemporaryDir roundDir(dir.filePath(QStringLiteral("round-XXXXXX")));
            Rng rng(roundSeed);
            Fleet fleet(roundDir.path());
            const int processes = rng.between(2, 3);
            QVERIFY2(fleet.start(makeNodes(rng, processes), processes), "the emulators did not start");
            fleet.collect(); // their start
            Round round{rng, fleet, roundDir.path(), upgrades};
            for (int c = 0; c < CommandsPerRound && stats.ops < wanted && stats.commands < mostCommands; ++c) {
                const Command command = makeCommand(round);
                const QVector<Action> actions = makeActions(round);
                const QVector<ChaosNode> before = fleet.nodes;
                const Run run = runTarvo(QStringLiteral(TARVO_CLI), QStringList{"--interface", "192.0.2.1"} + command.args, actions, fleet);
                const Disturbed disturbed = disturbance(actions, run.ms);
                // After a cut, segments sent into it come when TCP tries again.
                QVERIFY2(fleet.settle(disturbed.cut ? 4000 : 150), "the emulators did not start again");
                const Journal journal = fleet.collect();
                const QVector<Rejection> rejected = judge(command.asked, run, before, fleet.nodes, journal, disturbed);

                const QJsonArray results = QJsonDocument::fromJson(run.out.toUtf8()).object().value("results").toArray();
                const int rows = int(results.size());
                if (verbose) {
                    QStringList said;
                    for (const QJsonValue v : results)
                        said.append(v["address"].toString() + QLatin1Char(' ') + v["result"].toString() + (v["changed"].toBool() ? "*" : ""));
                    print(QStringLiteral("%1.%2 tarvo %3\n  %4; exit %5 after %6 ms; %7\n  nodes: %8")
                              .arg(roundSeed).arg(c + 1).arg(command.args.join(' '), describe(actions)).arg(run.code).arg(run.ms)
                              .arg(said.join(QStringLiteral(", ")), journalSummary(journal)));
                }
                stats.ops += rows;
                ++stats.commands;
                ++stats.perCommand[command.asked.command];
                stats.peaks.append({command.asked.command, run.peakKb});
                if (command.args.contains("backup") && run.code == 0)
                    round.backedUp = true;
                if (round.backedUp)
                    editBackup(round);
                for (const Rejection &r : rejected) {
                    const QString cls = r.rule + QStringLiteral(" / ") + command.asked.command;
                    ++stats.rejected;
                    ++stats.classCount[cls];
                    print(QStringLiteral("REJECTED [%1] seed %2, command %3: tarvo %4\n").arg(cls).arg(roundSeed).arg(c + 1).arg(command.args.join(' ')) +
                          explain(r, actions, run, before, journal) + QStringLiteral("  reproduce: ") + reproduce(roundSeed, c));
                    if (!stats.classes.count(cls))
                        stats.classes[cls] = reproduce(roundSeed, c);
                }
            }
        }

        qint64 peak = 0;
        const QStringList grew = memoryGrowth(stats.peaks, &peak);
#ifdef __SANITIZE_ADDRESS__
        // AddressSanitizer holds freed blocks in quarantine: a process's peak
        // follows all it ever allocated, not what it keeps. The plain build
        // judges memory.
        const bool judgeMemory = false;
#else
        const bool judgeMemory = true;
#endif

        QStringList figures{QStringLiteral("chaos: seed %1, %2 node operations in %3 commands, %4 s, tarvo's peak resident size %5 MiB%6")
                                .arg(seed).arg(stats.ops).arg(stats.commands).arg(wall.elapsed() / 1000.0, 0, 'f', 1).arg(peak / 1024.0, 0, 'f', 1)
                                .arg(judgeMemory ? QString() : QStringLiteral(" (not judged under AddressSanitizer)"))};
        for (auto it = stats.perCommand.cbegin(); it != stats.perCommand.cend(); ++it)
            figures.append(QStringLiteral("  %1: %2 command(s)").arg(it.key()).arg(it.value()));
        for (const auto &[cls, how] : stats.classes)
            figures.append(QStringLiteral("  untruthful: %1 (%2 row(s)); first: %3").arg(cls).arg(stats.classCount.at(cls)).arg(how));
        print(figures.join('\n'));
        QVERIFY2(!judgeMemory || grew.isEmpty(), qPrintable(QStringLiteral("tarvo's peak memory grew: ") + grew.join(QStringLiteral("; "))));
        QVERIFY2(stats.rejected == 0, qPrintable(QStringLiteral("%1 row(s) rejected, in %2 class(es)").arg(stats.rejected).arg(stats.classes.size())));
    }
};

TARVO_ENGINE_TEST_MAIN(ChaosTest)
#include "tst_chaos.moc"
