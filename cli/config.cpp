// tarvo's configuration commands: config get, config set, default; and
// what writing a configuration takes, which restore shares.
#include "cli/config.h"

#include "cli/configfile.h"
#include "cli/files.h"
#include "cli/output.h"
#include "cli/selection.h"
#include "config/configvalues.h"
#include "link/trace.h"

#include <algorithm>


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
void planChanges(const Request &r, Fleet &fleet, QVector<report::Item> &items,
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
        report::Item &item = items[at.at(k)];
        if (!read.at(k).ok()) {
            item.action = Action::Refuse;
            item.reason = QStringLiteral("its configuration could not be read: ") + read.at(k).reason;
            continue;
        }
        const ConfigValues target = targetValues(wanted(at.at(k)), read.at(k).record, keepNetwork);
        QByteArray record;
        if (const QString refused = refusalText(configcheck::buildSetConfig(target, &record)); !refused.isEmpty()) {
            item.action = Action::Refuse;
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


std::optional<int> readNamedNode(const Request &r, Fleet &fleet, QByteArray *record)
{
    if (const std::optional<int> code = findOne(r, fleet))
        return code;
    const NodeInfo &node = fleet.nodes.first();
    const Outcome o = readConfigs(r, fleet, {node}).first();
    if (!o.ok()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(nodeWhere(node), o.reason));
        return Failure;
    }
    *record = o.record;
    return std::nullopt;
}

int configGet(const Request &r)
{
    Fleet fleet(r);
    QByteArray record;
    if (const std::optional<int> code = readNamedNode(r, fleet, &record))
        return *code;
    const NodeInfo &node = fleet.nodes.first();
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
    if (const std::optional<int> code = gather(r, fleet, job, names, Action::Write))
        return *code;
    if (keepNetwork)
        for (report::Item &i : job.items)
            if (i.isWork())
                i.reason = QStringLiteral("network settings kept");
    const ConfigValues wanted = file.values;
    job.prepare = [&] { planChanges(r, fleet, job.items, [&](int) { return wanted; }, keepNetwork); };
    job.start = [&](const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, builderFor(wanted, keepNetwork));
    };
    return execute(r, fleet, job);
}

int factoryDefault(const Request &r)
{
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, r.operands, Action::Default))
        return *code;
    job.start = [&](const NodeInfo &n) -> NodeOperation * { return fleet.engine.restoreDefaults(n); };
    job.verb = QStringLiteral("reset");
    job.again = QStringLiteral("tarvo default");
    return execute(r, fleet, job);
}

