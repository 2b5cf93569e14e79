#include "cli/commands.h"

#include "cli/configfile.h"
#include "cli/interrupts.h"
#include "cli/inventory.h"
#include "cli/metrics.h"
#include "cli/output.h"
#include "cli/runner.h"
#include "config/configvalues.h"
#include "firmware/upgradefile.h"
#include "link/nodeengine.h"
#include "link/trace.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonObject>
#include <QSaveFile>
#include <algorithm>
#include <memory>

namespace {

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
    QVector<NodeInfo> found;
    QVector<NodeInfo> nodes; // the ones the command names
};

// Chooses the address, binds the run's discovery socket and searches once
// for the nodes named by the operands from `first` on (`count` of them, or
// all), or for every node. Returns -1 to go on, or the exit code.
int findNodes(const Request &r, Fleet &fleet, int first = 0, int count = -1)
{
    const bool everyNode = r.all || r.command == QLatin1String("search");
    const AddressChoice choice = chooseAddress(r.interface);
    if (!choice.error.isEmpty()) {
        out::message(QStringLiteral("tarvo: ") + choice.error);
        return choice.usage ? UsageError : Failure;
    }
    QString error;
    if (!fleet.engine.bind(choice.address, &error)) {
        out::message(QStringLiteral("tarvo: cannot listen on %1 port %2: %3 (is another configurator running?)")
                         .arg(choice.address.toString())
                         .arg(DiscoveryPort)
                         .arg(error));
        return Failure;
    }
    const QStringList names = r.operands.mid(first, count);
    std::function<bool(const QVector<NodeInfo> &)> enough;
    if (!everyNode)
        enough = [names](const QVector<NodeInfo> &found) { return allIdentified(found, names); };
    fleet.found = searchNodes(*fleet.engine.discovery(), r.timeoutMs, enough);
    if (everyNode) {
        fleet.nodes = fleet.found;
        if (fleet.nodes.isEmpty() && r.all) {
            out::message(QStringLiteral("tarvo: no node answered"));
            return Failure;
        }
        return -1;
    }
    const Selection s = selectNodes(fleet.found, names);
    for (const QString &e : s.errors)
        out::message(QStringLiteral("tarvo: ") + e);
    if (!s.errors.isEmpty())
        return Failure;
    fleet.nodes = s.nodes;
    return -1;
}

// --- what is printed -----------------------------------------------------

// The inventory's columns, node texts made printable (JSON keeps them as
// they are; its writer escapes them).
QStringList inventoryRow(const NodeInfo &n)
{
    return {printable(n.serial), printable(n.label), n.address.toString(), printable(n.firmware),
            printable(n.name), n.macText(), n.mode()};
}

QJsonObject inventoryObject(const NodeInfo &n)
{
    return {{QStringLiteral("serial"), QString::fromLatin1(n.serial)},
            {QStringLiteral("label"), QString::fromLatin1(n.label)},
            {QStringLiteral("address"), n.address.toString()},
            {QStringLiteral("firmware"), QString::fromLatin1(n.firmware)},
            {QStringLiteral("name"), QString::fromLatin1(n.name)},
            {QStringLiteral("mac"), n.macText()},
            {QStringLiteral("type"), n.mode()}};
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

// Per node: the result, why, and how long it took; as a table or JSON.
struct Summary {
    struct Row {
        NodeInfo node;
        Outcome outcome;
    };
    QVector<Row> rows;
    bool interrupted = false;

    void add(const NodeInfo &node, const Outcome &outcome) { rows.append({node, outcome}); }
    bool allOk() const
    {
        return std::all_of(rows.cbegin(), rows.cend(), [](const Row &r) { return r.outcome.ok; });
    }
    int print(bool json) const
    {
        if (json) {
            QJsonArray a;
            for (const Row &r : rows)
                a.append(QJsonObject{{QStringLiteral("serial"), QString::fromLatin1(r.node.serial)},
                                     {QStringLiteral("address"), r.node.address.toString()},
                                     {QStringLiteral("result"), r.outcome.result},
                                     {QStringLiteral("reason"), r.outcome.reason},
                                     {QStringLiteral("seconds"), double(r.outcome.ms) / 1000.0}});
            out::data(out::json(a));
        } else {
            QVector<QStringList> lines;
            for (const Row &r : rows)
                lines.append({printable(r.node.serial), r.node.address.toString(), r.outcome.result,
                              seconds(r.outcome.ms), r.outcome.reason});
            for (const QString &l : out::table({"SERIAL", "ADDRESS", "RESULT", "TIME", "REASON"}, lines))
                out::data(l);
        }
        if (interrupted)
            return Interrupted;
        return allOk() ? Success : Failure;
    }
};

Outcome skipped(const QString &reason)
{
    Outcome o;
    o.ok = true;
    o.result = QStringLiteral("skipped");
    o.reason = reason;
    return o;
}

Outcome failed(const QString &reason)
{
    Outcome o;
    o.result = QStringLiteral("failed");
    o.reason = reason;
    return o;
}

int parallelism(const Request &r, int count)
{
    return r.parallel > 0 ? r.parallel : qMin<int>(qMax(1, count), Request::MaxParallel);
}

// The nodes of one command: those decided without an operation (skipped,
// refused), then one operation each for the rest; the summary in the order
// the nodes were named.
struct Plan {
    QVector<NodeInfo> nodes;      // every node named, in order
    QHash<int, Outcome> decided;  // by index into nodes
    QVector<int> work;            // indexes that get an operation

    void decide(int index, const Outcome &o) { decided.insert(index, o); }

    int run(const Request &r, const Runner::Start &start, const Runner::Judge &judge,
            const Runner::Progress &progress = {}, const Runner::Finished &finished = {})
    {
        QVector<NodeInfo> targets;
        for (const int i : work)
            targets.append(nodes.at(i));
        Runner runner(parallelism(r, int(targets.size())));
        const QVector<Outcome> outcomes = runner.run(targets, start, judge, progress, finished);
        for (int k = 0; k < work.size(); ++k)
            decided.insert(work.at(k), outcomes.at(k));
        Summary s;
        s.interrupted = runner.interrupted();
        for (int i = 0; i < nodes.size(); ++i)
            s.add(nodes.at(i), decided.value(i));
        return s.print(r.json);
    }
};

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

QString backupPath(const QString &dir, const NodeInfo &n)
{
    return QDir(dir).filePath(QString::fromLatin1(n.serial) + QStringLiteral(".json"));
}

bool writeWhole(const QString &path, const QByteArray &data, QString *error)
{
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly) && file.write(data) == data.size() && file.commit())
        return true;
    *error = path + QStringLiteral(": cannot be written: ") + file.errorString();
    return false;
}

QByteArray configText(const NodeInfo &n, const QByteArray &record)
{
    return configfile::toText(ConfigValues::fromRecord(record), n.serial);
}

// --- the commands --------------------------------------------------------

int search(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    if (r.json) {
        QJsonArray a;
        for (const NodeInfo &n : fleet.nodes)
            a.append(inventoryObject(n));
        out::data(out::json(a));
    } else if (r.csv) {
        out::data(QStringLiteral("serial,label,address,firmware,name,mac,type"));
        for (const NodeInfo &n : fleet.nodes) {
            QStringList fields = inventoryRow(n);
            for (QString &f : fields)
                f = out::csvField(f);
            out::data(fields.join(QLatin1Char(',')));
        }
    } else {
        QVector<QStringList> rows;
        for (const NodeInfo &n : fleet.nodes)
            rows.append(inventoryRow(n));
        for (const QString &l : out::table({"SERIAL", "LABEL", "ADDRESS", "FIRMWARE", "NAME", "MAC", "TYPE"}, rows))
            out::data(l);
    }
    out::message(QStringLiteral("%1 node(s) answered").arg(fleet.nodes.size()));
    return Success;
}

// Reads one node's configuration. Empty outcome record when it failed
// (reported here).
Outcome readOne(const Request &r, Fleet &fleet, const NodeInfo &node)
{
    Runner runner(1);
    const Outcome o = runner.run({node}, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); },
                                 [](const NodeInfo &, const NodeOperation::Result &res) { return Runner::judged(res); })
                          .first();
    if (!o.ok)
        out::message(QStringLiteral("tarvo: %1: %2").arg(node.displayName(), o.reason));
    Q_UNUSED(r);
    return o;
}

int show(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const Outcome o = readOne(r, fleet, node);
    const bool read = o.ok;
    if (r.json) {
        QJsonObject obj = inventoryObject(node);
        if (read)
            obj.insert(QStringLiteral("config"), configfile::toJson(ConfigValues::fromRecord(o.record), node.serial));
        out::data(out::json(obj));
        return read ? Success : Failure;
    }
    const QStringList names{"Serial", "Label", "Address", "Firmware", "Device name", "MAC", "Type"};
    const QStringList values = inventoryRow(node);
    for (int i = 0; i < names.size(); ++i)
        out::data((names.at(i) + QLatin1Char(':')).leftJustified(14) + values.at(i));
    if (!read)
        return Failure;
    const ConfigValues v = ConfigValues::fromRecord(o.record);
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
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const Outcome o = readOne(r, fleet, node);
    if (!o.ok)
        return Failure;
    const QByteArray text = configText(node, o.record);
    if (r.output.isEmpty()) {
        out::data(QString::fromUtf8(text).trimmed());
        return Success;
    }
    QString error;
    if (!writeWhole(r.output, text, &error)) {
        out::message(QStringLiteral("tarvo: ") + error);
        return Failure;
    }
    out::message(QStringLiteral("%1: configuration written to %2").arg(node.displayName(), r.output));
    return Success;
}

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

bool checked(const QString &source, const ConfigValues &values, QByteArray *record)
{
    const configcheck::Refusal refusal = configcheck::buildSetConfig(values, record);
    if (!refusal.refused())
        return true;
    out::message(QStringLiteral("tarvo: %1: %2").arg(source, refusalText(refusal)));
    return false;
}

Outcome writeJudged(const NodeInfo &, const NodeOperation::Result &res)
{
    Outcome o = Runner::judged(res);
    o.changed = res.ok();
    return o;
}

int configSet(const Request &r)
{
    // The file is read and checked before any node hears of it.
    const QString path = r.operands.at(1);
    const configfile::Parsed file = configfile::readFile(path);
    if (!file.ok()) {
        out::message(QStringLiteral("tarvo: ") + file.error);
        return Failure;
    }
    QByteArray record;
    if (!checked(path, file.values, &record))
        return Failure;
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, 0, 1); code >= 0)
        return code;
    Plan plan;
    plan.nodes = fleet.nodes;
    plan.work = {0};
    return plan.run(
        r,
        [&](const NodeInfo &n) -> NodeOperation * {
            return fleet.engine.writeConfig(n, [record](const QByteArray &, QByteArray *out) {
                *out = record;
                return QString();
            });
        },
        writeJudged);
}

int factoryDefault(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    Plan plan;
    plan.nodes = fleet.nodes;
    plan.work = {0};
    return plan.run(r, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.restoreDefaults(n); },
                    writeJudged);
}

int backup(const Request &r)
{
    const QString dir = r.operands.first();
    if (!QDir().mkpath(dir)) {
        out::message(QStringLiteral("tarvo: cannot create the folder ") + dir);
        return Failure;
    }
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;
    Plan plan;
    plan.nodes = fleet.nodes;
    for (int i = 0; i < plan.nodes.size(); ++i) {
        if (safeFileStem(plan.nodes.at(i).serial))
            plan.work.append(i);
        else
            plan.decide(i, failed(QStringLiteral("its serial cannot name a file")));
    }
    // Each file is written as its node is read, whole or not at all.
    return plan.run(r, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); },
                    [&dir](const NodeInfo &n, const NodeOperation::Result &res) {
                        Outcome o = Runner::judged(res);
                        if (!o.ok)
                            return o;
                        const QString path = backupPath(dir, n);
                        QString error;
                        if (writeWhole(path, configText(n, res.record), &error))
                            o.reason = path;
                        else
                            o = failed(error);
                        o.record.clear();
                        return o;
                    });
}

int restore(const Request &r)
{
    const QString dir = r.operands.first();
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;

    // Every file is read and checked before any node hears of it.
    Plan plan;
    plan.nodes = fleet.nodes;
    QHash<int, ConfigValues> values;
    bool refused = false;
    for (int i = 0; i < plan.nodes.size(); ++i) {
        const NodeInfo &n = plan.nodes.at(i);
        const QString path = safeFileStem(n.serial) ? backupPath(dir, n) : QString();
        if (r.all && (path.isEmpty() || !QFile::exists(path))) {
            plan.decide(i, skipped(QStringLiteral("no backup in ") + dir));
            continue;
        }
        const configfile::Parsed file =
            path.isEmpty() ? configfile::Parsed{{}, {}, QStringLiteral("its serial cannot name a file")}
                           : configfile::readFile(path);
        if (!file.ok()) {
            out::message(QStringLiteral("tarvo: %1: %2").arg(n.displayName(), file.error));
            refused = true;
            continue;
        }
        ConfigValues probe = file.values;
        if (!r.withNetwork)
            probe.ip = probe.mask = probe.gateway = QStringLiteral("0.0.0.0"); // the node's own are kept
        QByteArray record;
        if (!checked(path, probe, &record)) {
            refused = true;
            continue;
        }
        plan.work.append(i);
        values.insert(i, file.values);
    }
    if (refused) {
        out::message(QStringLiteral("tarvo: nothing was sent"));
        return Failure;
    }
    if (plan.work.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node to restore"));
        return Failure;
    }
    QHash<QString, ConfigValues> byNode;
    for (const int i : plan.work)
        byNode.insert(plan.nodes.at(i).displayName(), values.value(i));
    const bool withNetwork = r.withNetwork;
    return plan.run(
        r,
        [&](const NodeInfo &n) -> NodeOperation * {
            const ConfigValues saved = byNode.value(n.displayName());
            return fleet.engine.writeConfig(n, [saved, withNetwork](const QByteArray &current, QByteArray *record) {
                ConfigValues v = saved;
                if (!withNetwork) {
                    const ConfigValues now = ConfigValues::fromRecord(current);
                    v.ip = now.ip;
                    v.mask = now.mask;
                    v.gateway = now.gateway;
                }
                return refusalText(configcheck::buildSetConfig(v, record));
            });
        },
        writeJudged);
}

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

int upgrade(const Request &r)
{
    // The window's checks of the file, before any node hears of it.
    const QString path = r.operands.first();
    UpgradeImage image = UpgradeImage::read(path);
    if (!image.ok()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(path, imageProblem(image)));
        return Failure;
    }

    Fleet fleet(r);
    if (const int code = findNodes(r, fleet, 1); code >= 0)
        return code;

    Plan plan;
    plan.nodes = fleet.nodes;
    for (int i = 0; i < plan.nodes.size(); ++i) {
        const NodeInfo &n = plan.nodes.at(i);
        if (!r.allowSameVersion && n.firmware == image.version) {
            plan.decide(i, skipped(QStringLiteral("already at ") + printable(image.version)));
            out::message(QStringLiteral("%1: skipped, already at %2").arg(n.displayName(), printable(image.version)));
            continue;
        }
        plan.work.append(i);
    }
    // Only the operations hold the image from here: a finished one lets go
    // of its share.
    const UpgradeImage checked = image;
    image = UpgradeImage();

    // Bars only where someone watches them, and not between trace lines.
    ProgressDisplay display(out::isTerminal(stderr) && !r.verbose, int(plan.work.size()));
    const QString file = path;
    return plan.run(
        r, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.upgradeAndVerify(n, checked); },
        [&file](const NodeInfo &n, const NodeOperation::Result &res) {
            Outcome o = Runner::judged(res, QStringLiteral("verified"));
            o.changed = res.ok() || res.status == NodeOperation::Status::NotVerified;
            // A node stopped after its erase holds no working firmware: say what to run.
            if (!res.ok() && res.reason.contains(QLatin1String("erased,")) &&
                !res.reason.contains(QLatin1String("checksum matched")))
                o.reason += QStringLiteral("; it holds no complete firmware: run tarvo upgrade %1 %2")
                                .arg(file, n.address.toString());
            return o;
        },
        [&display](const NodeInfo &n, qint64 sent, qint64 total) { display.update(printable(n.serial), sent, total); },
        [&display](const NodeInfo &n, const Outcome &o) {
            display.nodeFinished(printable(n.serial));
            display.note(QStringLiteral("%1: %2, %3 (%4)").arg(n.displayName(), o.result, o.reason, seconds(o.ms)));
            if (display.allDone())
                display.close();
        });
}

int run(const Request &r)
{
    Fleet fleet(r);
    if (const int code = findNodes(r, fleet); code >= 0)
        return code;
    Plan plan;
    plan.nodes = fleet.nodes;
    for (int i = 0; i < plan.nodes.size(); ++i) {
        if (plan.nodes.at(i).bootLoader())
            plan.work.append(i);
        else
            plan.decide(i, skipped(QStringLiteral("already runs its application")));
    }
    return plan.run(r, [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.runApplication(n); },
                    [](const NodeInfo &, const NodeOperation::Result &res) {
                        return Runner::judged(res, QStringLiteral("done"));
                    });
}

} // namespace

int runCommand(const Request &r)
{
    static const struct {
        const char *name;
        int (*run)(const Request &);
    } table[] = {{"search", search},         {"show", show},     {"config get", configGet},
                 {"config set", configSet},  {"default", factoryDefault}, {"backup", backup},
                 {"restore", restore},       {"upgrade", upgrade},        {"run", run},
                 {"metrics", metrics}};
    for (const auto &command : table)
        if (r.command == QLatin1String(command.name))
            return command.run(r);
    out::message(QStringLiteral("tarvo: unknown command ") + r.command);
    return UsageError;
}
