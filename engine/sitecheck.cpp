#include "engine/sitecheck.h"

#include "link/reach.h"

#include <QHash>
#include <QMap>
#include <QSet>
#include <algorithm>

namespace sitecheck {

namespace {

quint32 maskOf(int prefix)
{
    return prefix == 0 ? 0 : 0xffffffffu << (32 - prefix);
}

quint32 replyAddress(const NodeInfo &n)
{
    return n.address.toIPv4Address();
}

// Entries of one node agree in serial and MAC; anything else is another node.
bool sameNode(const NodeInfo &a, const NodeInfo &b)
{
    return a.serial == b.serial && a.mac == b.mac;
}

// The highest host address of the network that is not taken: where the
// engine's Reach would put a temporary address too.
quint32 freeAddressIn(quint32 node, int prefix, const QSet<quint32> &taken)
{
    const quint32 mask = maskOf(prefix), network = node & mask, broadcast = network | ~mask;
    for (quint32 c = broadcast - 1; c > network; --c)
        if (!taken.contains(c))
            return c;
    return 0;
}

Problem problem(Kind kind, QVector<int> nodes = {})
{
    Problem p;
    p.kind = kind;
    p.severity = severityOf(kind);
    p.nodes = std::move(nodes);
    return p;
}

// One problem per group of two or more nodes with the same key; an empty
// key is no key.
void groups(const QVector<NodeInfo> &nodes, Kind kind, QByteArray (*key)(const NodeInfo &), QVector<Problem> *out)
{
    QHash<QByteArray, QVector<int>> byKey;
    for (int i = 0; i < nodes.size(); ++i)
        if (const QByteArray k = key(nodes.at(i)); !k.isEmpty())
            byKey[k].append(i);
    for (auto it = byKey.cbegin(); it != byKey.cend(); ++it)
        if (it.value().size() > 1) {
            Problem p = problem(kind, it.value());
            p.text = it.key();
            out->append(p);
        }
}

} // namespace

const QVector<Kind> &kinds()
{
    static const QVector<Kind> all{Kind::AddressConflict, Kind::WorkstationAddress, Kind::Unreachable,
                                   Kind::RecordAddress,   Kind::MaskMismatch,       Kind::GatewayOutside,
                                   Kind::SharedSerial,    Kind::DuplicateMac,       Kind::DuplicateLabel,
                                   Kind::BootLoader,      Kind::FirmwareVersions,   Kind::RepliesLost};
    return all;
}

QString kindName(Kind kind)
{
    switch (kind) {
    case Kind::AddressConflict:
        return QStringLiteral("address-conflict");
    case Kind::WorkstationAddress:
        return QStringLiteral("workstation-address");
    case Kind::Unreachable:
        return QStringLiteral("unreachable");
    case Kind::RecordAddress:
        return QStringLiteral("record-address");
    case Kind::MaskMismatch:
        return QStringLiteral("mask-mismatch");
    case Kind::GatewayOutside:
        return QStringLiteral("gateway-outside");
    case Kind::SharedSerial:
        return QStringLiteral("shared-serial");
    case Kind::DuplicateMac:
        return QStringLiteral("duplicate-mac");
    case Kind::DuplicateLabel:
        return QStringLiteral("duplicate-label");
    case Kind::BootLoader:
        return QStringLiteral("bootloader");
    case Kind::FirmwareVersions:
        return QStringLiteral("firmware-versions");
    case Kind::RepliesLost:
        return QStringLiteral("replies-lost");
    }
    return QString();
}

Severity severityOf(Kind kind)
{
    switch (kind) {
    case Kind::AddressConflict:
    case Kind::WorkstationAddress:
    case Kind::Unreachable:
        return Severity::Error;
    case Kind::RecordAddress:
    case Kind::MaskMismatch:
    case Kind::GatewayOutside:
    case Kind::SharedSerial:
    case Kind::DuplicateMac:
    case Kind::DuplicateLabel:
        return Severity::Warning;
    case Kind::BootLoader:
    case Kind::FirmwareVersions:
    case Kind::RepliesLost:
        break;
    }
    return Severity::Info;
}

QString severityName(Severity severity)
{
    switch (severity) {
    case Severity::Error:
        return QStringLiteral("error");
    case Severity::Warning:
        return QStringLiteral("warning");
    case Severity::Info:
        break;
    }
    return QStringLiteral("info");
}

QVector<Problem> check(const QVector<NodeInfo> &nodes, const Workstation &ws, quint64 repliesLost)
{
    QVector<Problem> out;

    // Every address a node holds: the one it answers from, and the one its
    // record claims (which it takes at its next start).
    QHash<quint32, QVector<int>> holders;
    QSet<quint32> taken{ws.address};
    for (int i = 0; i < nodes.size(); ++i) {
        const NodeInfo &n = nodes.at(i);
        holders[replyAddress(n)].append(i);
        if (n.ip != 0 && n.ip != replyAddress(n))
            holders[n.ip].append(i);
        taken << replyAddress(n) << n.ip;
    }
    for (auto it = holders.cbegin(); it != holders.cend(); ++it) {
        const QVector<int> &at = it.value();
        const bool others = std::any_of(at.cbegin(), at.cend(),
                                        [&](int i) { return !sameNode(nodes.at(i), nodes.at(at.first())); });
        if (others) {
            Problem p = problem(Kind::AddressConflict, at);
            p.address = it.key();
            out.append(p);
        }
    }

    QMap<QByteArray, int> versions;
    QVector<int> applications;
    QHash<quint64, quint32> freeIn; // by network and prefix: one search of it serves its every node
    for (int i = 0; i < nodes.size(); ++i) {
        const NodeInfo &n = nodes.at(i);
        const quint32 from = replyAddress(n);
        if (ws.address != 0 && (from == ws.address || n.ip == ws.address)) {
            Problem p = problem(Kind::WorkstationAddress, {i});
            p.address = ws.address;
            out.append(p);
        }
        if (ws.mask != 0 && ((from ^ ws.address) & ws.mask) != 0) {
            Problem p = problem(Kind::Unreachable, {i});
            p.address = from;
            p.mask = n.mask;
            int prefix = 0;
            if (Reach::networkProblem(QHostAddress(from), n.mask, &prefix).isEmpty()) {
                p.prefixLength = prefix;
                const quint64 key = quint64(from & n.mask) << 8 | quint64(prefix);
                if (!freeIn.contains(key))
                    freeIn.insert(key, freeAddressIn(from, prefix, taken));
                p.freeAddress = freeIn.value(key);
            }
            out.append(p);
        }
        if (n.ip != from) {
            Problem p = problem(Kind::RecordAddress, {i});
            p.address = from;
            p.recordAddress = n.ip;
            out.append(p);
        }
        if (ws.mask != 0 && n.mask != ws.mask) {
            Problem p = problem(Kind::MaskMismatch, {i});
            p.address = from;
            p.mask = n.mask;
            out.append(p);
        }
        if (n.gateway != 0 && ((n.gateway ^ n.ip) & n.mask) != 0) {
            Problem p = problem(Kind::GatewayOutside, {i});
            p.address = from;
            p.recordAddress = n.ip;
            p.mask = n.mask;
            p.gateway = n.gateway;
            out.append(p);
        }
        if (n.bootLoader()) {
            out.append(problem(Kind::BootLoader, {i}));
        } else {
            ++versions[n.firmware];
            applications.append(i);
        }
    }

    groups(nodes, Kind::SharedSerial, [](const NodeInfo &n) { return n.serial; }, &out);
    groups(nodes, Kind::DuplicateMac, [](const NodeInfo &n) { return n.mac; }, &out);
    groups(nodes, Kind::DuplicateLabel, [](const NodeInfo &n) { return n.label; }, &out);

    if (versions.size() > 1) {
        Problem p = problem(Kind::FirmwareVersions, applications);
        for (auto it = versions.cbegin(); it != versions.cend(); ++it)
            p.versions.append({it.key(), it.value()});
        std::stable_sort(p.versions.begin(), p.versions.end(),
                         [](const QPair<QByteArray, int> &a, const QPair<QByteArray, int> &b) { return a.second > b.second; });
        out.append(p);
    }
    if (repliesLost > 0) {
        Problem p = problem(Kind::RepliesLost);
        p.repliesLost = repliesLost;
        out.append(p);
    }

    // The nodes of a problem by address (then serial and MAC, whatever the
    // order they answered in); problems by kind, then by their first node's
    // address (or the address they concern).
    const auto before = [&nodes](int a, int b) {
        const NodeInfo &x = nodes.at(a), &y = nodes.at(b);
        if (replyAddress(x) != replyAddress(y))
            return replyAddress(x) < replyAddress(y);
        return x.serial != y.serial ? x.serial < y.serial : x.mac != y.mac ? x.mac < y.mac : a < b;
    };
    for (Problem &p : out)
        std::sort(p.nodes.begin(), p.nodes.end(), before);
    const auto where = [&nodes](const Problem &p) {
        return p.kind == Kind::AddressConflict || p.nodes.isEmpty() ? p.address : replyAddress(nodes.at(p.nodes.first()));
    };
    std::stable_sort(out.begin(), out.end(), [&](const Problem &a, const Problem &b) {
        if (a.kind != b.kind)
            return int(a.kind) < int(b.kind);
        if (where(a) != where(b))
            return where(a) < where(b);
        return a.text < b.text;
    });
    return out;
}

} // namespace sitecheck
