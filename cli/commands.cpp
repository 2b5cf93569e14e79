#include "cli/commands.h"

#include "cli/configfile.h"
#include "cli/files.h"
#include "cli/interrupts.h"
#include "cli/inventory.h"
#include "cli/metrics.h"
#include "cli/output.h"
#include "cli/report.h"
#include "cli/runner.h"
#include "config/configvalues.h"
#include "firmware/upgradeimage.h"
#include "link/discovery.h"
#include "link/nodeengine.h"
#include "link/trace.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QRegularExpression>
#include <algorithm>
#include <csignal>
#include <cstdio>

namespace {

using report::Item;
using report::Row;

// --- finding the nodes ---------------------------------------------------

// The engine limits of a run: the reply and connection bound is --timeout,
// an operation's own bounds (the SetConfig acknowledgement, the upgrade)
// are the window's, and a node has VerifyBoundFactor x --timeout to show in
// discovery what was done to it.
OperationOptions operationOptions(const Request &r)
{
    OperationOptions o;
    o.connectTimeoutMs = r.timeoutMs;
    o.replyTimeoutMs = r.timeoutMs;
    o.verifyTimeoutMs = r.timeoutMs * Request::VerifyBoundFactor;
    return o;
}

struct Fleet {
    explicit Fleet(const Request &r) : engine(operationOptions(r)) {}
    NodeEngine engine;
    SearchResult found;
    QVector<NodeInfo> nodes;   // the ones the command names, found
    QStringList missing;       // names that fit no node
};

// Chooses the address, binds the run's discovery socket and searches once,
// for the nodes `names` names or, with `every`, for all. Returns -1 to go
// on, or the exit code.
int findNodes(const Request &r, Fleet &fleet, const QStringList &names, bool every)
{
    const AddressChoice choice = chooseAddress(r.interface, r.interfaceFrom);
    if (!choice.error.isEmpty()) {
        out::message(QStringLiteral("tarvo: ") + choice.error);
        return choice.usage ? UsageError : Failure;
    }
    if (!fleet.engine.bind(choice.address)) {
        out::message(QStringLiteral("tarvo: ") + listenFailure(choice.address, *fleet.engine.discovery()));
        return Failure;
    }
    std::function<bool(const NodeInfo &)> enough;
    if (!every)
        enough = [unseen = Unseen(names)](const NodeInfo &node) mutable { return unseen.seen(node); };
    fleet.found = searchNodes(*fleet.engine.discovery(), r.timeoutMs, enough);
    if (Interrupts::instance().count() > 0) {
        out::message(QStringLiteral("tarvo: interrupted while searching"));
        return Interrupted;
    }
    if (every) {
        fleet.nodes = fleet.found.nodes;
        return -1;
    }
    const Selection s = selectNodes(fleet.found.nodes, names);
    for (const QString &e : s.errors)
        out::message(QStringLiteral("tarvo: ") + e);
    if (!s.errors.isEmpty())
        return Failure;
    fleet.nodes = s.nodes;
    fleet.missing = s.missing;
    return -1;
}

// For the commands of one node: that node, or a message why there is none.
int findOne(const Request &r, Fleet &fleet)
{
    const QString name = r.operands.first();
    if (const int code = findNodes(r, fleet, {name}, false); code >= 0)
        return code;
    if (fleet.nodes.isEmpty()) {
        out::message(QStringLiteral("tarvo: unknown node: ") + missingReason(name, fleet.found.nodes, fleet.found.listFull));
        return Failure;
    }
    return -1;
}

// --- outcomes ------------------------------------------------------------

Outcome outcome(const QString &result, const QString &reason, bool ok = false)
{
    Outcome o;
    o.ok = ok;
    o.result = result;
    o.reason = reason;
    return o;
}

Outcome writeJudged(const NodeInfo &n, const NodeOperation::Result &res)
{
    Outcome o = Runner::judged(res);
    o.changed = res.changed();
    if (!res.ok() && res.effect == NodeOperation::Effect::MayHaveChanged)
        o.reason += QStringLiteral("; check with tarvo show ") + n.address.toString();
    return o;
}

// Reads the configuration of each node, `parallel` at once.
QVector<Outcome> readConfigs(const Request &r, Fleet &fleet, const QVector<NodeInfo> &nodes)
{
    Runner runner(r.parallel);
    return runner.run(nodes, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); },
                      [](const NodeInfo &, const NodeOperation::Result &res) { return Runner::judged(res); });
}

// --- the plan, the question and the run ------------------------------------

// One command's nodes: what each will do, how to start the work, and how
// to judge it.
struct Job {
    QString command;
    QVector<Item> items;
    Runner::Start start;
    Runner::Judge judge;
    Runner::Watchers watchers;
    // Fills the items' changes before the plan is shown (reads the nodes).
    std::function<void()> prepare;
    // The command line that does what an interruption left, nodes appended.
    QString again;
    bool severalNodes = false; // --all or several names: asked on a terminal

    void addNodes(const Fleet &fleet, const QString &action)
    {
        for (const NodeInfo &n : fleet.nodes)
            items.append({n, action, {}, {}, {}, {}, false});
        for (const QString &name : fleet.missing) {
            NodeInfo unknown;
            quint32 ip = 0;
            if (dottedAddress(name, &ip))
                unknown.address = QHostAddress(ip);
            items.append({unknown, QStringLiteral("refuse"),
                          missingReason(name, fleet.found.nodes, fleet.found.listFull), {}, {}, {}, true});
        }
    }
};

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

int execute(const Request &r, Job &job)
{
    const bool anyWork = std::any_of(job.items.cbegin(), job.items.cend(), [](const Item &i) { return i.isWork(); });
    const bool asking = !r.dryRun && !r.yes && job.severalNodes && anyWork && out::isTerminal(stdin);
    if ((r.dryRun || asking) && job.prepare)
        job.prepare();
    if (Interrupts::instance().count() > 0) {
        out::message(QStringLiteral("tarvo: interrupted before anything was written"));
        return Interrupted;
    }
    if (r.dryRun) {
        report::printPlan(job.command, job.items, r.json, true);
        return report::runnable(job.items) ? Success : Failure;
    }
    if (asking) {
        report::printPlan(job.command, job.items, false, false);
        if (!confirmed()) {
            out::message(QStringLiteral("tarvo: nothing was done"));
            return Failure;
        }
    }

    QVector<NodeInfo> targets;
    for (const Item &i : std::as_const(job.items))
        if (i.isWork())
            targets.append(i.node);
    Runner runner(r.parallel);
    Runner::Watchers watchers = job.watchers;
    if (!watchers.stalled)
        watchers.stalled = [](const NodeInfo &n, const QString &what) {
            out::note(QStringLiteral("%1: waiting for %2").arg(nodeName(n), what));
        };
    const QVector<Outcome> outcomes = runner.run(targets, job.start, job.judge, watchers);

    QVector<Row> rows;
    QStringList left;
    int k = 0;
    for (const Item &i : std::as_const(job.items)) {
        Outcome o;
        if (i.missing)
            o = outcome(QStringLiteral("missing"), i.reason);
        else if (i.action == QLatin1String("refuse"))
            o = outcome(QStringLiteral("failed"), i.reason);
        else if (i.action == QLatin1String("skip"))
            o = outcome(QStringLiteral("skipped"), i.reason, true);
        else
            o = outcomes.at(k++);
        if (o.result == QLatin1String("interrupted"))
            left.append(i.node.address.toString());
        rows.append({i.node, o});
    }
    const int code = report::printSummary(job.command, rows, runner.interrupted(), r.json);
    if (!left.isEmpty() && !job.again.isEmpty())
        out::message(QStringLiteral("tarvo: to do what is left: %1 %2").arg(job.again, left.join(QLatin1Char(' '))));
    return code;
}

// Finds the nodes `names` names (or all, with --all) and lists them in the
// job, each to `action`. Returns -1 to go on, or the exit code.
int gather(const Request &r, Fleet &fleet, Job &job, const QStringList &names, const QString &action)
{
    if (const int code = findNodes(r, fleet, names, r.all); code >= 0)
        return code;
    if (fleet.nodes.isEmpty() && fleet.missing.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node answered"));
        return Failure;
    }
    job.command = r.command;
    job.severalNodes = r.all || names.size() > 1;
    job.addNodes(fleet, action);
    return -1;
}

// --- configuration files -------------------------------------------------

// The window's checks, in its order; a refusal worded for this program.
QString refusalText(const configcheck::Refusal &refusal)
{
    using configcheck::Check;
    switch (refusal.check) {
    case Check::None:
        return QString();
    case Check::NotConnected:
        return QStringLiteral("not connected");
    case Check::LabelTooLong:
        return QStringLiteral("label: longer than 63 bytes");
    case Check::Address:
        return configcheck::addressName(refusal.address) + QStringLiteral(": not four decimal numbers from 0 to 255");
    case Check::PortField:
        return QStringLiteral("port %1 %2: %3 is not within %4 to %5")
            .arg(refusal.port + 1)
            .arg(configcheck::fieldName(refusal.field))
            .arg(refusal.value)
            .arg(refusal.range.low)
            .arg(refusal.range.high);
    }
    return QString();
}

// What is written to a node: the file's values, with the node's own
// network settings where they are kept.
ConfigValues targetValues(const ConfigValues &wanted, const QByteArray &current, bool keepNetwork)
{
    ConfigValues v = wanted;
    if (keepNetwork) {
        const ConfigValues now = ConfigValues::fromRecord(current);
        v.ip = now.ip;
        v.mask = now.mask;
        v.gateway = now.gateway;
    }
    return v;
}

// The checks of Set on a file's values, before any node hears of them.
// Kept network settings are checked on the node's record, when it is read.
QString checkValues(ConfigValues values, bool keepNetwork)
{
    if (keepNetwork)
        values.ip = values.mask = values.gateway = QStringLiteral("0.0.0.0");
    QByteArray record;
    return refusalText(configcheck::buildSetConfig(values, &record));
}

WriteConfigOperation::Builder builderFor(const ConfigValues &wanted, bool keepNetwork)
{
    return [wanted, keepNetwork](const QByteArray &current, QByteArray *record) {
        return refusalText(configcheck::buildSetConfig(targetValues(wanted, current, keepNetwork), record));
    };
}

// Reads the nodes of the write items and fills in what would change.
void planChanges(const Request &r, Fleet &fleet, QVector<Item> &items,
                 const std::function<ConfigValues(int item)> &wanted, bool keepNetwork)
{
    QVector<int> at;
    QVector<NodeInfo> nodes;
    for (int i = 0; i < items.size(); ++i)
        if (items.at(i).isWork()) {
            at.append(i);
            nodes.append(items.at(i).node);
        }
    const QVector<Outcome> read = readConfigs(r, fleet, nodes);
    for (int k = 0; k < at.size(); ++k) {
        Item &item = items[at.at(k)];
        if (!read.at(k).ok) {
            item.action = QStringLiteral("refuse");
            item.reason = QStringLiteral("its configuration could not be read: ") + read.at(k).reason;
            continue;
        }
        const ConfigValues target = targetValues(wanted(at.at(k)), read.at(k).record, keepNetwork);
        QByteArray record;
        if (const QString refused = refusalText(configcheck::buildSetConfig(target, &record)); !refused.isEmpty()) {
            item.action = QStringLiteral("refuse");
            item.reason = refused;
            continue;
        }
        item.changes = configfile::changes(ConfigValues::fromRecord(read.at(k).record), target);
    }
}

// Node texts end up in file names: only a plain serial may name a file.
bool safeFileStem(const QByteArray &serial)
{
    if (serial.isEmpty() || serial.startsWith('.'))
        return false;
    return std::all_of(serial.cbegin(), serial.cend(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '-' || c == '_' ||
            c == '.';
    });
}

QByteArray configText(const NodeInfo &n, const QByteArray &record)
{
    return configfile::toText(ConfigValues::fromRecord(record), n.serial);
}

// --- the commands of one node ----------------------------------------------

int search(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, {}, true); code >= 0)
        return code;
    if (r.json) {
        QJsonObject doc = report::envelope(QStringLiteral("tarvo-inventory"));
        QJsonArray nodes;
        for (const NodeInfo &n : std::as_const(fleet.nodes))
            nodes.append(report::inventoryObject(n));
        doc.insert(QStringLiteral("nodes"), nodes);
        doc.insert(QStringLiteral("replies_lost"), qint64(fleet.found.repliesLost));
        doc.insert(QStringLiteral("list_full"), fleet.found.listFull);
        out::data(out::json(doc));
    } else if (r.csv) {
        out::data(QStringLiteral("serial,label,address,firmware,name,mac,type,shared_serial"));
        for (const NodeInfo &n : std::as_const(fleet.nodes)) {
            QStringList fields = report::inventoryRow(n);
            fields[0] = printable(n.serial);
            fields.append(n.sharedSerial ? QStringLiteral("true") : QStringLiteral("false"));
            for (QString &f : fields)
                f = out::csvField(f);
            out::data(fields.join(QLatin1Char(',')));
        }
    } else {
        QVector<QStringList> rows;
        for (const NodeInfo &n : std::as_const(fleet.nodes))
            rows.append(report::inventoryRow(n));
        for (const QString &l : out::table({"SERIAL", "LABEL", "ADDRESS", "FIRMWARE", "NAME", "MAC", "TYPE"}, rows))
            out::data(l);
    }
    out::note(QStringLiteral("%1 node(s) answered").arg(fleet.nodes.size()));
    if (std::any_of(fleet.nodes.cbegin(), fleet.nodes.cend(), [](const NodeInfo &n) { return n.sharedSerial; }))
        out::message(QStringLiteral("tarvo: * several nodes report this serial; name each of them by its address"));
    return Success;
}

// Reads one node's configuration; an empty record when it failed (said here).
QByteArray readOne(const Request &r, Fleet &fleet, const NodeInfo &node)
{
    const Outcome o = readConfigs(r, fleet, {node}).first();
    if (!o.ok)
        out::message(QStringLiteral("tarvo: %1: %2").arg(nodeWhere(node), o.reason));
    return o.ok ? o.record : QByteArray();
}

int show(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findOne(r, fleet); code >= 0)
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const QByteArray record = readOne(r, fleet, node);
    if (record.isEmpty())
        return Failure;
    const ConfigValues v = ConfigValues::fromRecord(record);
    if (r.json) {
        QJsonObject doc = report::envelope(QStringLiteral("tarvo-node"));
        doc.insert(QStringLiteral("node"), report::inventoryObject(node));
        doc.insert(QStringLiteral("config"), configfile::toJson(v, node.serial));
        out::data(out::json(doc));
        return Success;
    }
    const QStringList names{"Serial", "Label", "Address", "Firmware", "Device name", "MAC", "Type"};
    const QStringList values = report::inventoryRow(node);
    for (int i = 0; i < names.size(); ++i)
        out::data((names.at(i) + QLatin1Char(':')).leftJustified(14) + values.at(i));
    out::data(QStringLiteral("Configuration:"));
    out::data(QStringLiteral("  Label:      ") + printable(v.label));
    out::data(QStringLiteral("  IP address: ") + v.ip);
    out::data(QStringLiteral("  Subnet:     ") + v.mask);
    out::data(QStringLiteral("  Gateway:    ") + v.gateway);
    QVector<QStringList> rows;
    for (int p = 0; p < ConfigRecord::PortCount; ++p) {
        QStringList row{QString::number(p + 1)};
        for (const quint32 value : v.ports[size_t(p)].field)
            row.append(QString::number(value));
        row.append(v.ports[size_t(p)].mergeMode == 0 ? QStringLiteral("HTP") : QStringLiteral("LTP"));
        rows.append(row);
    }
    for (const QString &l : out::table({"PORT", "UNIVERSE", "BREAK", "MAB", "MBF", "WAIT", "CHANNELS", "MERGE"}, rows))
        out::data(QStringLiteral("  ") + l);
    return Success;
}

int configGet(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findOne(r, fleet); code >= 0)
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const QByteArray record = readOne(r, fleet, node);
    if (record.isEmpty())
        return Failure;
    const QString path = r.output.isEmpty() ? QStringLiteral("-") : r.output;
    QString error;
    if (!files::writeWhole(path, configText(node, record), &error)) {
        out::message(QStringLiteral("tarvo: ") + error);
        return Failure;
    }
    if (!files::isStdio(path))
        out::note(QStringLiteral("%1: configuration written to %2").arg(nodeWhere(node), path));
    return Success;
}

// --- the commands that write -----------------------------------------------

// NODE... FILE, or --all FILE.
int configSet(const Request &r)
{
    const QString path = r.operands.last();
    const QStringList names = r.operands.mid(0, r.operands.size() - 1);
    // One file for several nodes: each keeps its own network settings, or
    // they would all take one address.
    const bool keepNetwork = r.all || names.size() > 1;
    const configfile::Parsed file = configfile::readFile(path);
    if (!file.ok()) {
        out::message(QStringLiteral("tarvo: ") + file.error);
        return Failure;
    }
    if (const QString refused = checkValues(file.values, keepNetwork); !refused.isEmpty()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(files::shownName(path), refused));
        return Failure;
    }
    Fleet fleet(r);
    Job job;
    if (const int code = gather(r, fleet, job, names, QStringLiteral("write")); code >= 0)
        return code;
    if (keepNetwork)
        for (Item &i : job.items)
            if (i.isWork())
                i.reason = QStringLiteral("network settings kept");
    const ConfigValues wanted = file.values;
    job.prepare = [&] { planChanges(r, fleet, job.items, [&](int) { return wanted; }, keepNetwork); };
    job.start = [&](const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, builderFor(wanted, keepNetwork));
    };
    job.judge = writeJudged;
    return execute(r, job);
}

int factoryDefault(const Request &r)
{
    Fleet fleet(r);
    Job job;
    if (const int code = gather(r, fleet, job, r.operands, QStringLiteral("default")); code >= 0)
        return code;
    job.start = [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.restoreDefaults(n); };
    job.judge = writeJudged;
    job.again = QStringLiteral("tarvo default");
    return execute(r, job);
}

int run(const Request &r)
{
    Fleet fleet(r);
    Job job;
    if (const int code = gather(r, fleet, job, r.operands, QStringLiteral("run")); code >= 0)
        return code;
    for (Item &i : job.items)
        if (i.isWork() && !i.node.bootLoader()) {
            i.action = QStringLiteral("skip");
            i.reason = QStringLiteral("already runs its application");
        }
    job.start = [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.runApplication(n); };
    job.judge = writeJudged;
    job.again = QStringLiteral("tarvo run");
    return execute(r, job);
}

int backup(const Request &r)
{
    const QString dir = r.operands.first();
    const QStringList names = r.operands.mid(1);
    Fleet fleet(r);
    Job job;
    if (const int code = gather(r, fleet, job, names, QStringLiteral("write")); code >= 0)
        return code;
    job.severalNodes = false; // files are written, not nodes
    for (Item &i : job.items) {
        if (!i.isWork())
            continue;
        if (!safeFileStem(i.node.serial)) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("its serial cannot name a file");
        } else if (i.node.sharedSerial) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("another node reports its serial: one file by serial cannot hold both");
        } else {
            i.reason = QDir(dir).filePath(QString::fromLatin1(i.node.serial) + QStringLiteral(".json"));
        }
    }
    if (!r.dryRun && !QDir().mkpath(dir)) {
        out::message(QStringLiteral("tarvo: cannot create the folder ") + dir);
        return Failure;
    }
    job.start = [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); };
    // Each file is written as its node is read, whole or not at all.
    job.judge = [&dir](const NodeInfo &n, const NodeOperation::Result &res) {
        Outcome o = Runner::judged(res);
        o.record.clear();
        if (!o.ok)
            return o;
        const QString name = QString::fromLatin1(n.serial) + QStringLiteral(".json");
        QString error;
        if (files::writeInFolder(dir, name, configText(n, res.record), &error))
            o.reason = QDir(dir).filePath(name);
        else
            o = outcome(QStringLiteral("failed"), error);
        o.ms = res.elapsedMs;
        return o;
    };
    job.again = QStringLiteral("tarvo backup ") + dir;
    return execute(r, job);
}

// --- restore ---------------------------------------------------------------

struct Backup {
    QString path;
    QByteArray stem; // the serial it was saved under
    ConfigValues values;
};

enum : int { MaxBackups = 10000 };

// Every DIR/*.json, read and checked: a file that is not a configuration
// file stops the command, as a backup that cannot be read could belong to
// any node.
bool readBackups(const QString &dir, QVector<Backup> *backups)
{
    QDir folder(dir);
    if (!folder.exists()) {
        out::message(QStringLiteral("tarvo: %1: no such folder").arg(dir));
        return false;
    }
    const QStringList names = folder.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden, QDir::Name);
    if (names.size() > MaxBackups) {
        out::message(QStringLiteral("tarvo: %1: more than %2 files, not a folder of backups").arg(dir).arg(int(MaxBackups)));
        return false;
    }
    bool ok = true;
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const configfile::Parsed file = configfile::readFile(path);
        if (!file.ok()) {
            out::message(QStringLiteral("tarvo: ") + file.error);
            ok = false;
            continue;
        }
        backups->append({path, name.chopped(5).toLatin1(), file.values});
    }
    return ok;
}

bool backupFits(const Backup &b, const NodeInfo &n, const QString &match)
{
    if (match == QLatin1String("label"))
        return !n.label.isEmpty() && b.values.label == n.label;
    if (match == QLatin1String("address"))
        return b.values.ip == n.address.toString();
    return safeFileStem(n.serial) && b.stem == n.serial;
}

QVector<int> fitting(const QVector<Backup> &backups, const NodeInfo &n, const QString &match)
{
    QVector<int> out;
    for (int i = 0; i < backups.size(); ++i)
        if (backupFits(backups.at(i), n, match))
            out.append(i);
    return out;
}

QString paths(const QVector<Backup> &backups, const QVector<int> &which)
{
    QStringList p;
    for (const int i : which)
        p.append(backups.at(i).path);
    return p.join(QStringLiteral(", "));
}

int restore(const Request &r)
{
    const QString dir = r.operands.first();
    const QString match = r.match;
    QVector<Backup> backups;
    if (!readBackups(dir, &backups)) {
        out::message(QStringLiteral("tarvo: nothing was sent"));
        return Failure;
    }
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, r.operands.mid(1), r.all); code >= 0)
        return code;

    Job job;
    job.command = r.command;
    job.severalNodes = r.all || r.operands.size() > 2;
    job.addNodes(fleet, QStringLiteral("write"));
    // Which backups fit each item, and which items each backup fits: a node
    // takes a backup only when each fits the other alone.
    QVector<QVector<int>> fits(job.items.size());
    QVector<QVector<int>> fitters(backups.size());
    for (int k = 0; k < job.items.size(); ++k) {
        if (!job.items.at(k).isWork())
            continue;
        fits[k] = fitting(backups, job.items.at(k).node, match);
        for (const int b : std::as_const(fits[k]))
            fitters[b].append(k);
    }
    const auto nodesOf = [&](int b) {
        QStringList names;
        for (const int k : fitters.at(b))
            names.append(nodeWhere(job.items.at(k).node));
        return names.join(QStringLiteral(", "));
    };
    QHash<int, int> chosen;
    for (int k = 0; k < job.items.size(); ++k) {
        Item &i = job.items[k];
        if (!i.isWork())
            continue;
        const QVector<int> &fit = fits.at(k);
        if (fit.size() > 1) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("%1 backups fit it by %2: %3").arg(fit.size()).arg(match, paths(backups, fit));
        } else if (fit.size() == 1 && fitters.at(fit.first()).size() > 1) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("%1 fits %2 nodes by %3: name the node by address")
                           .arg(backups.at(fit.first()).path)
                           .arg(fitters.at(fit.first()).size())
                           .arg(match);
        } else if (fit.size() == 1) {
            const Backup &b = backups.at(fit.first());
            if (const QString refused = checkValues(b.values, !r.withNetwork); !refused.isEmpty()) {
                out::message(QStringLiteral("tarvo: %1: %2").arg(b.path, refused));
                out::message(QStringLiteral("tarvo: nothing was sent"));
                return Failure;
            }
            chosen.insert(k, fit.first());
            i.reason = b.path;
        } else {
            // A replaced node: the backups that fit it otherwise.
            i.action = r.all ? QStringLiteral("skip") : QStringLiteral("refuse");
            i.reason = QStringLiteral("no backup fits it by %1 in %2").arg(match, dir);
            for (const QString &other : {QStringLiteral("serial"), QStringLiteral("label"), QStringLiteral("address")}) {
                const QVector<int> fit = other == match ? QVector<int>() : fitting(backups, i.node, other);
                if (!fit.isEmpty())
                    i.reason += QStringLiteral("; by %1: %2 (--match %1)").arg(other, paths(backups, fit));
            }
        }
    }
    // With --all, every backup is a node expected: one that no node took
    // is missing when no node that answered fits it, else refused with them.
    if (r.all) {
        QSet<int> taken;
        for (const int b : std::as_const(chosen))
            taken.insert(b);
        for (int b = 0; b < backups.size(); ++b) {
            if (taken.contains(b))
                continue;
            const Backup &backup = backups.at(b);
            NodeInfo gone;
            gone.serial = backup.stem;
            gone.label = backup.values.label;
            quint32 ip = 0;
            if (match == QLatin1String("address") && dottedAddress(backup.values.ip, &ip))
                gone.address = QHostAddress(ip);
            const QVector<int> &by = fitters.at(b);
            QString reason;
            if (by.isEmpty())
                reason = QStringLiteral("backed up in %1, but no node fits it by %2 among the %3 that answered")
                             .arg(backup.path, match)
                             .arg(fleet.nodes.size());
            else if (by.size() > 1)
                reason = QStringLiteral("backed up in %1; refused: it fits %2 nodes by %3: %4")
                             .arg(backup.path)
                             .arg(by.size())
                             .arg(match, nodesOf(b));
            else
                reason = QStringLiteral("backed up in %1; refused: it fits %2 by %3, which %4 backups fit")
                             .arg(backup.path, nodesOf(b), match)
                             .arg(fits.at(by.first()).size());
            job.items.append({gone, QStringLiteral("refuse"), reason, {}, {}, {}, by.isEmpty()});
        }
    }
    if (job.items.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node answered and %1 holds no backup").arg(dir));
        return Failure;
    }
    const bool keepNetwork = !r.withNetwork;
    const auto wanted = [&](int item) { return backups.at(chosen.value(item)).values; };
    job.prepare = [&] { planChanges(r, fleet, job.items, wanted, keepNetwork); };
    // The operation learns its backup by the node's place in the run.
    QHash<QString, ConfigValues> byNode;
    for (auto it = chosen.cbegin(); it != chosen.cend(); ++it)
        byNode.insert(job.items.at(it.key()).node.address.toString(), backups.at(it.value()).values);
    job.start = [&](const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, builderFor(byNode.value(n.address.toString()), keepNetwork));
    };
    job.judge = writeJudged;
    job.again = QStringLiteral("tarvo restore %1 --match %2%3")
                    .arg(dir, match, r.withNetwork ? QStringLiteral(" --with-network") : QString());
    return execute(r, job);
}

// --- upgrade ---------------------------------------------------------------

QString imageProblem(const UpgradeImage &image)
{
    switch (image.status) {
    case UpgradeImage::Ok:
        return QString();
    case UpgradeImage::Unreadable:
        return QStringLiteral("Upgrade file cannot be opened! (%1)").arg(image.error);
    case UpgradeImage::TooShort:
        return QStringLiteral("Upgrade file is damaged! (shorter than 131072 bytes)");
    case UpgradeImage::TooLarge:
        return QStringLiteral("Upgrade file is damaged! (far too large)");
    case UpgradeImage::Damaged:
        return QStringLiteral("Upgrade file is damaged! (wrong checksum or brand)");
    case UpgradeImage::RawImage:
        return QStringLiteral("not an upgrade file but a raw firmware image; make the upgrade file from it with "
                              "tarvo-production");
    }
    return QString();
}

// The numbers of "v2.05": {2, 5}; none when there are none.
QVector<int> versionNumbers(const QByteArray &version)
{
    QVector<int> numbers;
    static const QRegularExpression digits(QStringLiteral("\\d+"));
    for (auto it = digits.globalMatch(QString::fromLatin1(version)); it.hasNext();)
        numbers.append(it.next().captured().left(9).toInt());
    return numbers;
}

int upgrade(const Request &r)
{
    // The window's checks of the file, before any node hears of it.
    const QString path = r.operands.first();
    UpgradeImage image;
    if (files::isStdio(path)) {
        QString error;
        bool tooLarge = false; // judged by the check, as for a file named
        const QByteArray bytes = files::readBounded(path, UpgradeImage::MaxFileSize, &error, &tooLarge);
        if (error.isEmpty())
            image = UpgradeImage::check(bytes);
        else
            image.error = error; // still Unreadable
    } else {
        image = UpgradeImage::read(path);
    }
    if (!image.ok()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(files::shownName(path), imageProblem(image)));
        return Failure;
    }

    Fleet fleet(r);
    Job job;
    if (const int code = gather(r, fleet, job, r.operands.mid(1), QStringLiteral("upgrade")); code >= 0)
        return code;
    const QString to = QString::fromLatin1(image.version);
    const QVector<int> toNumbers = versionNumbers(image.version);
    for (Item &i : job.items) {
        if (!i.isWork())
            continue;
        i.fromVersion = QString::fromLatin1(i.node.firmware);
        i.toVersion = to;
        const QVector<int> from = versionNumbers(i.node.firmware);
        if (i.node.firmware == image.version) {
            if (r.allowSameVersion)
                continue;
            i.action = QStringLiteral("skip");
            i.reason = QStringLiteral("already at ") + printable(image.version);
        } else if (r.allowDowngrade) {
            continue;
        } else if (from.isEmpty() || toNumbers.isEmpty()) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("cannot tell whether %1 to %2 is a downgrade (--allow-downgrade to upgrade anyway)")
                           .arg(printable(i.node.firmware), printable(image.version));
        } else if (std::lexicographical_compare(toNumbers.cbegin(), toNumbers.cend(), from.cbegin(), from.cend())) {
            i.action = QStringLiteral("refuse");
            i.reason = QStringLiteral("downgrade from %1 to %2 refused (--allow-downgrade to allow it)")
                           .arg(printable(i.node.firmware), printable(image.version));
        }
    }
    // Only the operations hold the image from here: a finished one lets go
    // of its share.
    const UpgradeImage checked = image;
    image = UpgradeImage();

    // Bars only where someone watches them, and not between trace lines.
    const int work = int(std::count_if(job.items.cbegin(), job.items.cend(), [](const Item &i) { return i.isWork(); }));
    ProgressDisplay display(out::isSmartTerminal(stderr) && !r.verbose && !r.quiet, work);
    job.start = [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.upgradeAndVerify(n, checked); };
    job.judge = [&path](const NodeInfo &n, const NodeOperation::Result &res) {
        Outcome o = Runner::judged(res, QStringLiteral("verified"));
        o.changed = res.changed();
        // A node stopped after EraseSector may hold no working firmware: say what to run.
        if (res.effect == NodeOperation::Effect::MayBeIncomplete)
            o.reason += QStringLiteral("; it may hold no complete firmware: run tarvo upgrade %1 %2")
                            .arg(path, n.address.toString());
        return o;
    };
    job.watchers.progress = [&display](const NodeInfo &n, qint64 sent, qint64 total) {
        display.update(nodeName(n), sent, total);
    };
    job.watchers.stalled = [&display](const NodeInfo &n, const QString &what) { display.waiting(nodeName(n), what); };
    job.watchers.finished = [&display](const NodeInfo &n, const Outcome &o) {
        display.nodeFinished(nodeName(n));
        display.note(QStringLiteral("%1: %2, %3 (%4)").arg(nodeWhere(n), o.result, o.reason, report::seconds(o.ms)));
        if (display.allDone())
            display.close();
    };
    job.again = QStringLiteral("tarvo upgrade ") + path;
    const int code = execute(r, job);
    display.close();
    return code;
}

} // namespace

int runCommand(const Request &r)
{
    static const struct {
        const char *name;
        int (*run)(const Request &);
    } table[] = {
        {"search", search},  {"show", show},          {"config get", configGet}, {"config set", configSet},
        {"default", factoryDefault}, {"backup", backup}, {"restore", restore},     {"upgrade", upgrade},
        {"run", run},        {"metrics", metrics},
    };
    for (const auto &command : table)
        if (r.command == QLatin1String(command.name))
            return command.run(r);
    out::message(QStringLiteral("tarvo: unknown command ") + r.command);
    return UsageError;
}
