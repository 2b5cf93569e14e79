// tarvo's configuration commands: config get, config set, default; and
// what writing a configuration takes, which restore shares.
#include "cli/config.h"

#include "cli/configfile.h"
#include "cli/files.h"
#include "cli/output.h"
#include "cli/selection.h"

#include <QHostAddress>
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

ConfigValues targetValues(const ConfigValues &wanted, const QByteArray &current, Keep keep)
{
    ConfigValues v = wanted;
    const ConfigValues now = ConfigValues::fromRecord(current);
    if (keep.label)
        v.label = now.label;
    if (keep.network) {
        v.ip = now.ip;
        v.mask = now.mask;
        v.gateway = now.gateway;
    }
    return v;
}

QString checkValues(ConfigValues values, Keep keep)
{
    if (keep.label)
        values.label.clear();
    if (keep.network)
        values.ip = values.mask = values.gateway = QStringLiteral("0.0.0.0");
    QByteArray record;
    return refusalText(configcheck::buildSetConfig(values, &record));
}

WriteConfigOperation::Builder builderFor(const ConfigValues &wanted, Keep keep)
{
    return [wanted, keep](const QByteArray &current, QByteArray *record) {
        return refusalText(configcheck::buildSetConfig(targetValues(wanted, current, keep), record));
    };
}

WriteConfigOperation::Builder patchBuilder(const Patch &patch, int position)
{
    return [patch, position](const QByteArray &current, QByteArray *record) {
        const ConfigValues now = ConfigValues::fromRecord(current);
        ConfigValues v = now;
        applyPatch(patch, position, &v);
        if (v.sameAs(now)) { // nothing to write
            record->clear();
            return QString();
        }
        return refusalText(configcheck::buildSetConfig(v, record));
    };
}

void planChanges(const Request &r, Fleet &fleet, QVector<report::Item> &items, const Target &target,
                 bool skipUnchanged)
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
        const ConfigValues now = ConfigValues::fromRecord(read.at(k).record);
        const ConfigValues wanted = target(at.at(k), read.at(k).record);
        if (skipUnchanged && wanted.sameAs(now)) {
            item.action = Action::Skip;
            item.reason = QStringLiteral("it holds these values already");
            continue;
        }
        QByteArray record;
        if (const QString refused = refusalText(configcheck::buildSetConfig(wanted, &record)); !refused.isEmpty()) {
            item.action = Action::Refuse;
            item.reason = refused;
            continue;
        }
        item.changes = configfile::changes(now, wanted);
    }
}

QStringList addressConflicts(const QVector<report::Item> &items, const QHash<int, quint32> &newAddress,
                             const Fleet &fleet)
{
    // Who holds each address now: a node answers from it or claims it in
    // its record.
    QMultiHash<quint32, int> holders;
    for (int n = 0; n < fleet.found.nodes.size(); ++n) {
        const NodeInfo &node = fleet.found.nodes.at(n);
        holders.insert(node.address.toIPv4Address(), n);
        if (node.ip != node.address.toIPv4Address())
            holders.insert(node.ip, n);
    }
    QMultiHash<quint32, int> given; // the items each address is given to
    for (auto it = newAddress.cbegin(); it != newAddress.cend(); ++it)
        given.insert(it.value(), it.key());
    QStringList conflicts;
    for (auto it = newAddress.cbegin(); it != newAddress.cend(); ++it) {
        const NodeInfo &node = items.at(it.key()).node;
        const quint32 ip = it.value();
        const QString where = QHostAddress(ip).toString();
        const QString written = nodeWhere(node);
        if (QHostAddress(ip) == fleet.workstation) {
            conflicts.append(QStringLiteral("%1: %2 is this workstation's address").arg(written, where));
            continue;
        }
        for (const int n : holders.values(ip)) {
            const NodeInfo &other = fleet.found.nodes.at(n);
            if (other.address == node.address && other.serial == node.serial)
                continue; // the node itself
            conflicts.append(QStringLiteral("%1: %2 is held by %3, serial %4")
                                 .arg(written, where, other.label.isEmpty() ? QStringLiteral("a node") : printable(other.label),
                                      printable(other.serial)));
            break;
        }
        const QList<int> sharing = given.values(ip);
        if (sharing.size() > 1 && it.key() == *std::min_element(sharing.cbegin(), sharing.cend())) {
            QStringList names;
            for (const int k : sharing)
                names.append(nodeWhere(items.at(k).node));
            std::sort(names.begin(), names.end());
            conflicts.append(QStringLiteral("%1 is given to %2 nodes: %3").arg(where).arg(sharing.size()).arg(names.join(QStringLiteral(", "))));
        }
    }
    return conflicts;
}

bool refusedForConflicts(const QStringList &conflicts)
{
    if (conflicts.isEmpty())
        return false;
    for (const QString &c : conflicts)
        out::message(QStringLiteral("tarvo: ") + c);
    out::message(QStringLiteral("tarvo: two nodes must not share an address; nothing was sent (to swap two addresses, "
                                "move one to a spare address first)"));
    return true;
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
    if (!unreachable(r, fleet, {node}).first().isEmpty())
        return Failure;
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

namespace {

// config set NODE... --set KEY=VALUE...: each node keeps every other value.
int configPatch(const Request &r)
{
    QString refusal;
    const Patch patch = parsePatch(r.sets, &refusal);
    if (!refusal.isEmpty()) {
        out::message(QStringLiteral("tarvo: ") + refusal);
        return UsageError;
    }
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, r.operands, Action::Write))
        return *code;
    // A sequence counts in the order the nodes are named; for every node,
    // by label in natural order, then serial.
    if (r.all)
        naturalOrder(job.items);
    QVector<int> position(job.items.size(), -1);
    int count = 0;
    for (int k = 0; k < job.items.size(); ++k)
        if (job.items.at(k).isWork())
            position[k] = count++;
    const int first = int(std::find_if(position.cbegin(), position.cend(), [](int p) { return p == 0; }) - position.cbegin());
    if (count > 0) {
        const quint32 mask = job.items.at(first).node.mask;
        if (const QString beyond = sequenceRange(patch, count, mask ? mask : 0xffffff00u); !beyond.isEmpty()) {
            out::message(QStringLiteral("tarvo: ") + beyond);
            out::message(QStringLiteral("tarvo: nothing was sent"));
            return Failure;
        }
    }
    if (patch.setsAddress()) {
        QHash<int, quint32> moves;
        for (int k = 0; k < job.items.size(); ++k) {
            const report::Item &i = job.items.at(k);
            const quint32 to = addressAt(patch, position.at(k), i.node.address.toIPv4Address());
            if (i.isWork() && to != i.node.address.toIPv4Address())
                moves.insert(k, to);
        }
        if (refusedForConflicts(addressConflicts(job.items, moves, fleet)))
            return Failure;
    }
    job.prepare = [&] {
        planChanges(
            r, fleet, job.items,
            [&](int item, const QByteArray &current) {
                ConfigValues v = ConfigValues::fromRecord(current);
                applyPatch(patch, position.at(item), &v);
                return v;
            },
            true);
    };
    job.start = [&](int item, const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, patchBuilder(patch, position.at(item)));
    };
    job.again = {QStringLiteral("config"), QStringLiteral("set")};
    for (const QString &set : r.sets)
        job.again << QStringLiteral("--set") << set;
    job.rerunSkipsDone = !patch.sequence(); // counted again, a sequence would number the rest anew
    return execute(r, fleet, job);
}

} // namespace

// NODE... FILE, or --all FILE; or NODE... --set KEY=VALUE.
int configSet(const Request &r)
{
    if (!r.sets.isEmpty())
        return configPatch(r);
    const QString path = r.operands.last();
    const QStringList names = r.operands.mid(0, r.operands.size() - 1);
    const configfile::Parsed file = configfile::readFile(path);
    if (!file.ok()) {
        out::message(QStringLiteral("tarvo: ") + file.error);
        return Failure;
    }
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, names, Action::Write))
        return *code;
    // A file taken from another node (or from none) is a template: its
    // ports are written, each node keeps its own label and network
    // settings unless asked. One file for several nodes leaves each its
    // network settings, or they would all take one address.
    const bool several = r.all || names.size() > 1;
    QVector<Keep> keep(job.items.size());
    QHash<int, quint32> moves;
    quint32 fileIp = 0;
    dottedAddress(file.values.ip, &fileIp);
    for (int k = 0; k < job.items.size(); ++k) {
        report::Item &i = job.items[k];
        if (!i.isWork())
            continue;
        const bool own = !file.serial.isEmpty() && file.serial == i.node.serial;
        keep[k] = {!r.withLabel && !own, !r.withNetwork && (!own || several)};
        if (!own && (keep[k].label || keep[k].network)) {
            QStringList kept;
            if (keep[k].label)
                kept.append(QStringLiteral("label"));
            if (keep[k].network)
                kept.append(QStringLiteral("network settings"));
            i.reason = QStringLiteral("a template (%1): its own %2 kept (%3 to write the file's)")
                           .arg(file.serial.isEmpty() ? QStringLiteral("the file names no node")
                                                      : QStringLiteral("the file is %1's").arg(printable(file.serial)),
                                kept.join(QStringLiteral(" and ")),
                                keep[k].label && keep[k].network ? QStringLiteral("--with-label, --with-network")
                                    : keep[k].label              ? QStringLiteral("--with-label")
                                                                 : QStringLiteral("--with-network"));
        } else if (keep[k].network) {
            i.reason = QStringLiteral("network settings kept");
        }
        if (!keep[k].network && fileIp != i.node.address.toIPv4Address())
            moves.insert(k, fileIp);
    }
    // The window's checks, in its order, on what some node takes of the
    // file, before any node is read or written.
    bool takesLabel = false, takesNetwork = false;
    for (int k = 0; k < job.items.size(); ++k)
        if (job.items.at(k).isWork()) {
            takesLabel = takesLabel || !keep.at(k).label;
            takesNetwork = takesNetwork || !keep.at(k).network;
        }
    if (const QString refused = checkValues(file.values, {!takesLabel, !takesNetwork}); !refused.isEmpty()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(files::shownName(path), refused));
        out::message(QStringLiteral("tarvo: nothing was sent"));
        return Failure;
    }
    if (refusedForConflicts(addressConflicts(job.items, moves, fleet)))
        return Failure;
    const ConfigValues wanted = file.values;
    job.prepare = [&] {
        planChanges(r, fleet, job.items,
                    [&](int item, const QByteArray &current) { return targetValues(wanted, current, keep.at(item)); });
    };
    job.start = [&](int item, const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, builderFor(wanted, keep.at(item)));
    };
    job.again = {QStringLiteral("config"), QStringLiteral("set")};
    if (r.withLabel)
        job.again << QStringLiteral("--with-label");
    if (r.withNetwork)
        job.again << QStringLiteral("--with-network");
    job.againAfter = {path};
    return execute(r, fleet, job);
}

int factoryDefault(const Request &r)
{
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, r.operands, Action::Default))
        return *code;
    job.start = [&](int, const NodeInfo &n) -> NodeOperation * { return fleet.engine.restoreDefaults(n); };
    job.verb = QStringLiteral("reset");
    job.again = {QStringLiteral("default")};
    return execute(r, fleet, job);
}

