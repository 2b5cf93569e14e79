#include "cli/jobs.h"

#include "cli/interrupts.h"
#include "cli/output.h"
#include "cli/selection.h"
#include "engine/runner.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <algorithm>
#include <csignal>
#include <cstdio>

using report::Item;
using report::Row;

namespace {

// The bounds of a run follow --timeout; nodes that share an address or sit
// outside the workstation's network are reached too, where the right to
// change the interface allows.
EngineOptions engineOptions(const Request &r)
{
    EngineOptions o = EngineOptions::forReplyTimeout(r.timeoutMs);
    o.reachEveryNode = true;
    return o;
}

} // namespace

Fleet::Fleet(const Request &r) : engine(engineOptions(r)) {}

std::optional<int> findNodes(const Request &r, Fleet &fleet, const QStringList &names, bool every)
{
    const AddressChoice choice = chooseAddress(r.interface, r.interfaceFrom);
    if (!choice.error.isEmpty()) {
        out::message(QStringLiteral("tarvo: ") + choice.error);
        return choice.usage ? UsageError : Failure;
    }
    fleet.workstation = choice.address;
    if (!fleet.engine.bind(choice.address)) {
        out::message(QStringLiteral("tarvo: ") + listenFailure(choice.address, *fleet.engine.discovery()));
        return Failure;
    }
    if (const NodePaths *paths = fleet.engine.paths()) {
        if (!fleet.engine.leftoversRemoved().isEmpty())
            out::message(QStringLiteral("tarvo: removed what a run that did not end left on %1: %2")
                             .arg(paths->interface().name, fleet.engine.leftoversRemoved().join(QStringLiteral(", "))));
        if (!fleet.engine.leftoversProblem().isEmpty())
            out::message(QStringLiteral("tarvo: ") + fleet.engine.leftoversProblem());
    }
    std::function<bool(const NodeInfo &)> enough;
    if (!every)
        enough = [unseen = Unseen(names)](const NodeInfo &node) mutable { return unseen.seen(node); };
    fleet.found = searchNodes(*fleet.engine.discovery(), r.timeoutMs, fleet.engine.options().searchGraceMs, enough,
                              &Interrupts::instance());
    if (fleet.found.stopped) {
        out::message(QStringLiteral("tarvo: interrupted while searching"));
        return Interrupted;
    }
    if (every) {
        fleet.nodes = fleet.found.nodes;
        return std::nullopt;
    }
    const Selection s = selectNodes(fleet.found.nodes, names);
    for (const QString &e : s.errors)
        out::message(QStringLiteral("tarvo: ") + e);
    if (!s.errors.isEmpty())
        return Failure;
    fleet.nodes = s.nodes;
    fleet.missing = s.missing;
    return std::nullopt;
}

std::optional<int> findOne(const Request &r, Fleet &fleet)
{
    const QString name = r.operands.first();
    if (const std::optional<int> code = findNodes(r, fleet, {name}, false))
        return code;
    if (fleet.nodes.isEmpty()) {
        out::message(QStringLiteral("tarvo: unknown node: ") + missingReason(name, fleet.found.nodes, fleet.found.listFull));
        return Failure;
    }
    return std::nullopt;
}

QVector<Outcome> readConfigs(const Request &r, Fleet &fleet, const QVector<NodeInfo> &nodes)
{
    QVector<Outcome> outcomes(nodes.size());
    Runner runner(r.parallel, fleet.engine.options().stallMs, &Interrupts::instance());
    Runner::Watchers watchers;
    watchers.finished = [&outcomes](int index, const NodeOperation::Result &res) { outcomes[index] = Outcome::of(res); };
    runner.run(nodes, [&](int, const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); }, watchers);
    return outcomes;
}

Outcome writeJudged(const NodeInfo &n, const NodeOperation::Result &res)
{
    Outcome o = Outcome::of(res);
    if (res.ok() && !res.changed()) // it held the values already: nothing was written
        o.result = Result::Skipped;
    if (!res.ok() && res.effect == NodeOperation::Effect::MayHaveChanged)
        o.reason += QStringLiteral("; check with tarvo show ") + n.address.toString();
    if (!res.previous.isEmpty() && !res.record.isEmpty())
        o.changes = configfile::changes(ConfigValues::fromRecord(res.previous), ConfigValues::fromRecord(res.record));
    return o;
}

void Job::addNodes(const Fleet &fleet, Action action)
{
    for (const NodeInfo &n : fleet.nodes)
        items.append({n, action, {}, {}, {}, {}, false, {}});
    for (const QString &name : fleet.missing) {
        NodeInfo unknown;
        quint32 ip = 0;
        if (dottedAddress(name, &ip))
            unknown.address = QHostAddress(ip);
        items.append({unknown, Action::Refuse, missingReason(name, fleet.found.nodes, fleet.found.listFull), {}, {}, {}, true, {}});
    }
}

void naturalOrder(QVector<Item> &items)
{
    std::stable_sort(items.begin(), items.end(), [](const Item &a, const Item &b) { return naturalBefore(a.node, b.node); });
}

std::optional<int> gather(const Request &r, Fleet &fleet, Job &job, const QStringList &names, Action action)
{
    if (const std::optional<int> code = findNodes(r, fleet, names, r.all))
        return code;
    if (fleet.nodes.isEmpty() && fleet.missing.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node answered"));
        return Failure;
    }
    job.command = r.command;
    job.severalNodes = r.all || names.size() > 1;
    job.named = r.all ? QStringList{QStringLiteral("--all")} : names;
    job.addNodes(fleet, action);
    return std::nullopt;
}

namespace {

QString quoted(const QString &word)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9_./:=@%+,-]+$"));
    if (plain.match(word).hasMatch())
        return word;
    return QLatin1Char('\'') + QString(word).replace(QLatin1Char('\''), QStringLiteral("'\\''")) + QLatin1Char('\'');
}

} // namespace

QString rerunLine(const Request &r, const QStringList &again, const QStringList &nodes, const QStringList &after)
{
    QStringList words{QStringLiteral("tarvo")};
    if (r.interfaceFrom == QLatin1String("--interface") && !r.interface.isEmpty())
        words << QStringLiteral("--interface") << r.interface;
    if (r.timeoutMs != Request().timeoutMs)
        words << QStringLiteral("--timeout") << QString::number(r.timeoutMs);
    words << again << nodes << after;
    for (QString &w : words)
        w = quoted(w);
    return words.join(QLatin1Char(' '));
}

QStringList unreachable(const Request &r, const Fleet &fleet, const QVector<NodeInfo> &nodes, const QStringList &again,
                        const QStringList &againAfter)
{
    QStringList reasons, commands, undo;
    QVector<NodeInfo> refused;
    for (const NodeInfo &n : nodes) {
        const ReachResult can = fleet.engine.canReach(n);
        reasons.append(can.ok ? QString() : can.reason);
        if (can.ok)
            continue;
        refused.append(n);
        for (const QString &c : can.commands)
            if (!commands.contains(c))
                commands.append(c);
        for (const QString &c : can.undoCommands)
            if (!undo.contains(c))
                undo.append(c);
    }
    if (refused.isEmpty())
        return reasons;
    if (again.isEmpty()) // a command of one node, without a summary to tell why
        for (int k = 0; k < nodes.size(); ++k)
            if (!reasons.at(k).isEmpty())
                out::message(QStringLiteral("tarvo: %1: %2").arg(nodeWhere(nodes.at(k)), reasons.at(k)));
    // sudo drops the environment: the interface is named on the line.
    QStringList words{QStringLiteral("tarvo")};
    if (r.interfaceFrom != QLatin1String("--interface") && !r.interface.isEmpty())
        words << QStringLiteral("--interface") << r.interface;
    QString line;
    if (again.isEmpty()) {
        words += QCoreApplication::arguments().mid(1);
        for (QString &w : words)
            w = quoted(w);
        line = words.join(QLatin1Char(' '));
    } else {
        line = rerunLine(r, again, shortNames(refused, fleet), againAfter);
        if (words.size() > 1)
            line.replace(0, 5, words.join(QLatin1Char(' ')));
    }
    out::message(QStringLiteral("tarvo: nothing was sent to %1, and %2 was not changed; to reach %3, run as root: sudo %4")
                     .arg(refused.size() == 1 ? nodeWhere(refused.first()) : QStringLiteral("%1 nodes").arg(refused.size()),
                          fleet.engine.paths()->interface().name,
                          refused.size() == 1 ? QStringLiteral("it") : QStringLiteral("them"), line));
    if (!commands.isEmpty()) {
        out::message(QStringLiteral("tarvo: or change it by hand for the length of the work (for an address two nodes "
                                    "answer from, one node at a time):"));
        for (const QString &c : std::as_const(commands))
            out::message(QStringLiteral("  ") + c);
        if (!undo.isEmpty()) {
            out::message(QStringLiteral("tarvo: and afterwards:"));
            for (const QString &c : std::as_const(undo))
                out::message(QStringLiteral("  ") + c);
        }
    }
    return reasons;
}

QStringList shortNames(const QVector<NodeInfo> &nodes, const Fleet &fleet)
{
    QHash<quint32, int> atAddress;
    QHash<QByteArray, int> withLabel;
    for (const NodeInfo &n : fleet.found.nodes) {
        ++atAddress[n.address.toIPv4Address()];
        ++withLabel[n.label];
    }
    QStringList names;
    for (const NodeInfo &n : nodes) {
        QStringList exact;
        if (!n.sharedSerial && !n.serial.isEmpty() && !isPattern(QString::fromLatin1(n.serial)))
            exact.append(QString::fromLatin1(n.serial));
        if (atAddress.value(n.address.toIPv4Address()) == 1)
            exact.append(n.address.toString());
        std::sort(exact.begin(), exact.end(), [](const QString &a, const QString &b) { return quoted(a).size() < quoted(b).size(); });
        names.append(exact.isEmpty() ? n.address.toString() : exact.first());
    }
    return names;
}

namespace {

// The lines that do what the run left: the nodes interrupted, named in the
// shortest exact way; those it left incomplete on a line of their own that
// re-flashes them whatever they report.
QStringList leftLines(const Request &r, const Fleet &fleet, const Job &job, const QVector<Row> &rows)
{
    QVector<NodeInfo> left, incomplete;
    bool allLeft = true, restSkipped = true;
    for (const Row &row : rows) {
        if (row.outcome.result != Result::Interrupted) {
            allLeft = false;
            restSkipped = restSkipped && row.outcome.ok();
            continue;
        }
        const bool again = row.outcome.incomplete && job.rerunSkips && job.rerunSkips(row.node);
        (again ? incomplete : left).append(row.node);
    }
    QStringList lines;
    if (!left.isEmpty()) {
        QStringList names = shortNames(left, fleet);
        const QStringList whole = allLeft ? job.named : r.all && restSkipped && job.rerunSkipsDone && incomplete.isEmpty()
                                                            ? QStringList{QStringLiteral("--all")}
                                                            : QStringList();
        if (!whole.isEmpty() && rerunLine(r, job.again, whole).size() <= rerunLine(r, job.again, names).size())
            names = whole;
        lines.append(rerunLine(r, job.again, names, job.againAfter));
    }
    if (!incomplete.isEmpty())
        lines.append(rerunLine(r, job.again + QStringList{job.incompleteOption}, shortNames(incomplete, fleet), job.againAfter));
    return lines;
}

} // namespace

namespace {

bool confirmed()
{
    // Interrupting the question ends the program: nothing was done yet.
    struct sigaction plain {}, saved {};
    plain.sa_handler = SIG_DFL;
    sigaction(SIGINT, &plain, &saved);
    std::fputs("Go ahead? [y/N] ", stderr);
    std::fflush(stderr);
    char answer[64] = {};
    const bool read = std::fgets(answer, sizeof answer, stdin) != nullptr;
    sigaction(SIGINT, &saved, nullptr);
    const QString a = QString::fromLocal8Bit(answer).trimmed().toLower();
    return read && (a == QLatin1String("y") || a == QLatin1String("yes"));
}

} // namespace

int execute(const Request &r, Fleet &fleet, Job &job)
{
    // A node this process cannot reach is refused before anything is read.
    QVector<int> at;
    QVector<NodeInfo> work;
    for (int k = 0; k < job.items.size(); ++k)
        if (job.items.at(k).isWork()) {
            at.append(k);
            work.append(job.items.at(k).node);
        }
    const QStringList cannot = unreachable(r, fleet, work, job.again, job.againAfter);
    for (int k = 0; k < at.size(); ++k)
        if (!cannot.at(k).isEmpty()) {
            job.items[at.at(k)].action = Action::Refuse;
            job.items[at.at(k)].reason = cannot.at(k) + QStringLiteral("; nothing was sent");
        }
    const bool anyWork = std::any_of(job.items.cbegin(), job.items.cend(), [](const Item &i) { return i.isWork(); });
    const bool asking = !r.dryRun && !r.yes && job.severalNodes && anyWork && out::isTerminal(stdin);
    if ((r.dryRun || asking) && job.prepare)
        job.prepare();
    if (Interrupts::instance().count() > 0) {
        out::message(QStringLiteral("tarvo: interrupted before anything was written"));
        return Interrupted;
    }
    if (r.dryRun) {
        report::printPlan(job.command, job.verb, job.items, r.json, r.csv);
        return report::runnable(job.items) ? Success : Failure;
    }
    if (asking) {
        report::printQuestion(job.command, job.verb, job.items);
        if (!confirmed()) {
            out::message(QStringLiteral("tarvo: nothing was done"));
            return Failure;
        }
    }

    QVector<NodeInfo> targets;
    QVector<int> itemOf; // the item of each target
    for (int k = 0; k < job.items.size(); ++k)
        if (job.items.at(k).isWork()) {
            targets.append(job.items.at(k).node);
            itemOf.append(k);
        }
    QVector<Outcome> outcomes(job.items.size());
    Runner runner(r.parallel, fleet.engine.options().stallMs, &Interrupts::instance());
    QObject::connect(&runner, &Runner::stopping, [](int count, int running) {
        if (count == 1)
            out::message(QStringLiteral("tarvo: interrupted: no new node is started; the %1 in progress finish within "
                                        "their bounds (interrupt again to abort them)")
                             .arg(running));
        else if (count == 2)
            out::message(QStringLiteral("tarvo: interrupted again: aborting the %1 in progress").arg(running));
    });
    Runner::Watchers watchers;
    watchers.progress = [&](int index, qint64 done, qint64 total) {
        if (job.progress)
            job.progress(targets.at(index), done, total);
    };
    watchers.stalled = [&](int index, const QString &what) {
        if (job.stalled)
            job.stalled(targets.at(index), what);
        else
            out::note(QStringLiteral("%1: waiting for %2").arg(nodeName(targets.at(index)), what));
    };
    watchers.finished = [&](int index, const NodeOperation::Result &result) {
        Outcome &o = outcomes[itemOf.at(index)];
        o = job.judge(targets.at(index), result);
        o.record.clear(); // kept by the judge where it wants it; no more
        if (job.finished)
            job.finished(targets.at(index), o);
    };
    runner.run(targets, [&](int index, const NodeInfo &n) { return job.start(itemOf.at(index), n); }, watchers);

    QVector<Row> rows;
    for (int k = 0; k < job.items.size(); ++k) {
        const Item &i = job.items.at(k);
        Outcome o = outcomes.at(k);
        if (i.missing)
            o = Outcome::said(Result::Missing, i.reason);
        else if (i.action == Action::Refuse)
            o = Outcome::said(Result::Failed, i.reason);
        else if (i.action == Action::Skip)
            o = Outcome::said(Result::Skipped, i.reason);
        rows.append({i.node, o});
    }
    const int code = report::printSummary(job.command, rows, runner.stops() > 0, r.json, r.csv);
    if (!job.again.isEmpty())
        for (const QString &line : leftLines(r, fleet, job, rows))
            out::message(QStringLiteral("tarvo: to do what is left: ") + line);
    return code;
}
