// tarvo check: the site's health in one search.
#include "cli/check.h"

#include "cli/commands.h"
#include "cli/jobs.h"
#include "cli/output.h"
#include "cli/report.h"
#include "cli/selection.h"
#include "link/discovery.h"
#include "link/reach.h"
#include "link/trace.h"

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QUdpSocket>

using sitecheck::Kind;
using sitecheck::Problem;
using sitecheck::Severity;

WorkstationNetwork workstationNetwork(const QHostAddress &address)
{
    WorkstationNetwork w;
    w.workstation.address = address.toIPv4Address();
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (e.ip() == address) {
                w.workstation.mask = e.netmask().toIPv4Address();
                w.interface = i.name();
                return w;
            }
    return w;
}

namespace {

QString ip(quint32 address)
{
    return QHostAddress(address).toString();
}

// "192.0.2.0/24", or the address and mask where the mask is not contiguous.
QString network(quint32 address, quint32 mask)
{
    const int prefix = Reach::prefixLength(mask);
    return prefix < 0 ? QStringLiteral("%1 mask %2").arg(ip(address), ip(mask))
                      : QStringLiteral("%1/%2").arg(ip(address & mask)).arg(prefix);
}

// "A", "A and B", "A, B and C".
QString listed(const QStringList &items)
{
    if (items.size() < 2)
        return items.join(QString());
    return QStringList(items.mid(0, items.size() - 1)).join(QStringLiteral(", ")) + QStringLiteral(" and ") + items.last();
}

// How advice names a node on a command line: by the address it answers
// from, else by serial or label, each only where it names that node alone
// and is safe to paste into a shell (node texts come from the network). A
// node whose address another node answers from too is named by serial or
// label: its address names either of them.
class Names
{
public:
    explicit Names(const QVector<NodeInfo> &nodes) : nodes(nodes)
    {
        for (const NodeInfo &n : nodes) {
            ++answering[n.address.toIPv4Address()];
            ++uses[n.address.toString()];
            ++uses[QString::fromLatin1(n.serial)];
            if (n.label != n.serial)
                ++uses[QString::fromLatin1(n.label)];
        }
    }
    bool sharesAddress(int i) const { return answering.value(nodes.at(i).address.toIPv4Address()) > 1; }
    // Empty when no name reaches the node alone.
    QString handle(int i) const
    {
        const NodeInfo &n = nodes.at(i);
        static const QRegularExpression safe(QStringLiteral("^[A-Za-z0-9_.][A-Za-z0-9_.-]*$"));
        const QString address = n.address.toString();
        for (const QString &name : {address, QString::fromLatin1(n.serial), QString::fromLatin1(n.label)}) {
            if (name == address ? sharesAddress(i) : dottedAddress(name))
                continue;
            if (uses.value(name) == 1 && safe.match(name).hasMatch())
                return name;
        }
        return QString();
    }

private:
    const QVector<NodeInfo> &nodes;
    QHash<quint32, int> answering;
    QHash<QString, int> uses;
};

struct Advisor {
    const QVector<NodeInfo> &nodes;
    const WorkstationNetwork &ws;
    const NodeEngine &engine;
    Names names;

    // Whether tarvo changes the interface to reach the node, and may.
    bool changes(int i) const { return engine.wayTo(nodes.at(i)) != NodePaths::Way::Direct; }
    bool mayChange() const { return engine.paths() && engine.paths()->right().ok; }
    QString iface() const { return ws.interface.isEmpty() ? QStringLiteral("IFACE") : printable(ws.interface.toLatin1()); }
    QString needsRight() const
    {
        return QStringLiteral("only with the right to change %1 (as root, or with CAP_NET_ADMIN and CAP_NET_RAW)").arg(iface());
    }

    QString who(int i) const { return nodeName(nodes.at(i)); }
    QString where(int i) const { return nodeWhere(nodes.at(i)); }
    quint32 from(int i) const { return nodes.at(i).address.toIPv4Address(); }
    // "tarvo COMMAND 192.0.2.11", or why no command line reaches the node.
    QString command(int i, const QString &words) const
    {
        const QString name = names.handle(i);
        if (!name.isEmpty())
            return (changes(i) && !mayChange() ? QStringLiteral("sudo ") : QString()) + words.arg(name);
        if (names.sharesAddress(i))
            return QStringLiteral("first settle the address conflict at %1 (a connection there reaches any of the nodes "
                                  "that answer from it)")
                .arg(ip(from(i)));
        return QStringLiteral("no name tells %1 apart on a command line").arg(who(i));
    }
    // "tarvo config set 192.0.2.11 --set network.mask=255.255.255.0".
    QString configSet(int i, const QString &setting) const
    {
        return command(i, QStringLiteral("tarvo config set %1 --set ") + setting);
    }
    QStringList whereAll(const QVector<int> &at) const
    {
        QStringList out;
        for (const int i : at)
            out.append(where(i));
        return out;
    }

    QString advice(const Problem &p) const
    {
        const int first = p.nodes.isEmpty() ? -1 : p.nodes.first();
        switch (p.kind) {
        case Kind::AddressConflict: {
            QStringList answer, claim;
            int claimer = -1;
            for (const int i : p.nodes) {
                if (from(i) == p.address) {
                    answer.append(who(i));
                } else {
                    claim.append(QStringLiteral("%1, at %2,").arg(who(i), ip(from(i))));
                    if (claimer < 0 || !names.handle(i).isEmpty())
                        claimer = i; // its record is what collides, and it answers elsewhere
                }
            }
            QStringList parts;
            if (!answer.isEmpty())
                parts.append(listed(answer) + (answer.size() > 1 ? QStringLiteral(" answer from it") : QStringLiteral(" answers from it")));
            if (!claim.isEmpty())
                parts.append(listed(claim) + (claim.size() > 1 ? QStringLiteral(" claim it in their records") : QStringLiteral(" claims it in its record")));
            // Where several answer from it, tarvo pins the address to each
            // node's MAC in turn; without that, which one a connection
            // reaches is chosen by taking the others away.
            const QString byHand = QStringLiteral("take all but one off the network, give that one another address "
                                                  "(tarvo config set %1 --set network.ip=ADDR), then bring the others back")
                                       .arg(ip(p.address));
            QString todo;
            if (claimer >= 0) {
                todo = QStringLiteral("give one another address: ") + configSet(claimer, QStringLiteral("network.ip=ADDR"));
            } else if (names.handle(p.nodes.first()).isEmpty() || !engine.paths() || !engine.paths()->isValid()) {
                todo = QStringLiteral("a connection to it reaches any one of them: ") + byHand;
            } else if (mayChange()) {
                todo = QStringLiteral("tarvo reaches each of them, pinning %1 to the node's MAC address for the length of "
                                      "an operation: give all but one another address, one at a time (%2)")
                           .arg(ip(p.address), configSet(p.nodes.first(), QStringLiteral("network.ip=ADDR")));
            } else {
                todo = QStringLiteral("tarvo reaches each of them %1: give all but one another address, one at a time "
                                      "(%2); or %3")
                           .arg(needsRight(), configSet(p.nodes.first(), QStringLiteral("network.ip=ADDR")), byHand);
            }
            return QStringLiteral("%1: %2; %3").arg(ip(p.address), parts.join(QStringLiteral(", ")), todo);
        }
        case Kind::WorkstationAddress:
            return QStringLiteral("%1 %2 this workstation's address %3%4; give it another: %5")
                .arg(where(first), from(first) == p.address ? QStringLiteral("answers from") : QStringLiteral("has"),
                     ip(p.address), from(first) == p.address ? QString() : QStringLiteral(" in its record"),
                     configSet(first, QStringLiteral("network.ip=ADDR")));
        case Kind::Unreachable: {
            QString text = QStringLiteral("%1 answers from %2, outside this workstation's network %3: ")
                               .arg(who(first), ip(p.address), network(ws.workstation.address, ws.workstation.mask));
            if (p.prefixLength < 0)
                return text + QStringLiteral("no connection to it can succeed; its mask %1 gives no network for the "
                                             "workstation to join")
                                  .arg(ip(p.mask));
            const QString theirs = network(p.address, p.mask);
            if (p.freeAddress == 0)
                return text + QStringLiteral("no connection to it can succeed; no address in %1 is free for the workstation")
                                  .arg(theirs);
            const QString byHand = QStringLiteral("ip addr add %1/%2 dev %3").arg(ip(p.freeAddress)).arg(p.prefixLength).arg(iface());
            if (mayChange())
                return text + QStringLiteral("tarvo reaches it from an address in %1, such as %2, for the length of an "
                                             "operation; to bring it into this network: %3")
                                  .arg(theirs, ip(p.freeAddress), configSet(first, QStringLiteral("network.ip=ADDR")));
            return text + QStringLiteral("a connection needs an address in %1, which tarvo adds for the length of an "
                                         "operation %2 (%3); or by hand: %4")
                              .arg(theirs, needsRight(), configSet(first, QStringLiteral("network.ip=ADDR")), byHand);
        }
        case Kind::RecordAddress:
            return QStringLiteral("%1 answers from %2, but its record says %3: it may take that address when it restarts; "
                                  "its configuration: %4")
                .arg(who(first), ip(p.address), ip(p.recordAddress), command(first, QStringLiteral("tarvo show %1")));
        case Kind::MaskMismatch:
            return QStringLiteral("%1 has the mask %2, this workstation's network %3; give it the network's: %4")
                .arg(where(first), ip(p.mask), ip(ws.workstation.mask),
                     configSet(first, QStringLiteral("network.mask=") + ip(ws.workstation.mask)));
        case Kind::GatewayOutside:
            return QStringLiteral("%1 has the gateway %2, outside its network %3; give it one inside, or 0.0.0.0 for none: %4")
                .arg(where(first), ip(p.gateway), network(p.recordAddress, p.mask),
                     configSet(first, QStringLiteral("network.gateway=0.0.0.0")));
        case Kind::SharedSerial:
            return QStringLiteral("the serial %1 is reported by %2 nodes: %3; name each by its address, and back them up "
                                  "by address or label (a backup by serial holds one of them)")
                .arg(printable(p.text))
                .arg(p.nodes.size())
                .arg(listed(whereAll(p.nodes)));
        case Kind::DuplicateMac:
            return QStringLiteral("the MAC address %1 is reported by %2 nodes: %3; where they share a network, switches "
                                  "and the workstation cannot tell them apart")
                .arg(nodes.at(first).macText())
                .arg(p.nodes.size())
                .arg(listed(whereAll(p.nodes)));
        case Kind::DuplicateLabel:
            return QStringLiteral("the label \"%1\" is carried by %2 nodes: %3; give each its own: %4")
                .arg(printable(p.text))
                .arg(p.nodes.size())
                .arg(listed(whereAll(p.nodes)), configSet(p.nodes.last(), QStringLiteral("label=NEW")));
        case Kind::BootLoader:
            return QStringLiteral("%1 runs its boot loader (%2); start its application: %3")
                .arg(where(first), printable(nodes.at(first).firmware), command(first, QStringLiteral("tarvo run %1")));
        case Kind::FirmwareVersions: {
            QStringList each;
            for (const auto &v : p.versions)
                each.append(QStringLiteral("%1 on %2 node(s)").arg(printable(v.first)).arg(v.second));
            return QStringLiteral("the nodes run %1 firmware versions: %2; bring them to one: tarvo upgrade FILE --all")
                .arg(p.versions.size())
                .arg(each.join(QStringLiteral(", ")));
        }
        case Kind::RepliesLost:
            return QStringLiteral("%1 discovery replies were lost, so nodes may be missing here; check again with a longer "
                                  "--timeout, or raise net.core.rmem_max (tarvo(1))")
                .arg(p.repliesLost);
        }
        return QString();
    }

    // How tarvo reaches the problem's nodes: "pin" or "temporary-address",
    // and whether it can now.
    QJsonObject reach(const QString &how) const
    {
        return QJsonObject{{QStringLiteral("how"), how}, {QStringLiteral("now"), mayChange()}};
    }

    // The problem's own facts, as JSON keys beside kind, severity, nodes and advice.
    void facts(const Problem &p, QJsonObject *o) const
    {
        const int first = p.nodes.isEmpty() ? -1 : p.nodes.first();
        switch (p.kind) {
        case Kind::AddressConflict:
            o->insert(QStringLiteral("address"), ip(p.address));
            if (first >= 0 && engine.wayTo(nodes.at(first)) == NodePaths::Way::Pinned)
                o->insert(QStringLiteral("reach"), reach(QStringLiteral("pin")));
            break;
        case Kind::WorkstationAddress:
            o->insert(QStringLiteral("address"), ip(p.address));
            break;
        case Kind::Unreachable:
            if (first >= 0 && engine.wayTo(nodes.at(first)) == NodePaths::Way::Temporary)
                o->insert(QStringLiteral("reach"), reach(QStringLiteral("temporary-address")));
            o->insert(QStringLiteral("address"), ip(p.address));
            o->insert(QStringLiteral("mask"), ip(p.mask));
            o->insert(QStringLiteral("network"), p.prefixLength < 0 ? QString() : network(p.address, p.mask));
            o->insert(QStringLiteral("free_address"), p.freeAddress == 0 ? QString() : ip(p.freeAddress));
            break;
        case Kind::RecordAddress:
            o->insert(QStringLiteral("address"), ip(p.address));
            o->insert(QStringLiteral("record_address"), ip(p.recordAddress));
            break;
        case Kind::MaskMismatch:
            o->insert(QStringLiteral("mask"), ip(p.mask));
            o->insert(QStringLiteral("workstation_mask"), ip(ws.workstation.mask));
            break;
        case Kind::GatewayOutside:
            o->insert(QStringLiteral("gateway"), ip(p.gateway));
            o->insert(QStringLiteral("mask"), ip(p.mask));
            break;
        case Kind::SharedSerial:
            o->insert(QStringLiteral("serial"), QString::fromLatin1(p.text));
            break;
        case Kind::DuplicateMac:
            o->insert(QStringLiteral("mac"), nodes.at(first).macText());
            break;
        case Kind::DuplicateLabel:
            o->insert(QStringLiteral("label"), QString::fromLatin1(p.text));
            break;
        case Kind::BootLoader:
            o->insert(QStringLiteral("firmware"), QString::fromLatin1(nodes.at(first).firmware));
            break;
        case Kind::FirmwareVersions: {
            QJsonArray versions;
            for (const auto &v : p.versions)
                versions.append(QJsonObject{{QStringLiteral("firmware"), QString::fromLatin1(v.first)},
                                            {QStringLiteral("nodes"), v.second}});
            o->insert(QStringLiteral("versions"), versions);
            break;
        }
        case Kind::RepliesLost:
            o->insert(QStringLiteral("replies_lost"), qint64(p.repliesLost));
            break;
        }
    }
};

} // namespace

int check(const Request &r)
{
    Fleet fleet(r);
    if (const std::optional<int> code = findNodes(r, fleet, {}, true))
        return *code;
    const WorkstationNetwork ws = workstationNetwork(fleet.engine.discovery()->socket()->localAddress());
    const QVector<NodeInfo> &nodes = fleet.found.nodes;
    const QVector<Problem> problems = sitecheck::check(nodes, ws.workstation, fleet.found.repliesLost);
    const Advisor advisor{nodes, ws, fleet.engine, Names(nodes)};

    int tally[3] = {}; // by severity
    for (const Problem &p : problems)
        ++tally[int(p.severity)];
    const Severity severities[] = {Severity::Error, Severity::Warning, Severity::Info};
    if (r.json) {
        QJsonObject doc = report::envelope(QStringLiteral("tarvo-check"));
        doc.insert(QStringLiteral("workstation"),
                   QJsonObject{{QStringLiteral("address"), ip(ws.workstation.address)},
                               {QStringLiteral("mask"), ip(ws.workstation.mask)},
                               {QStringLiteral("interface"), ws.interface}});
        QJsonArray list;
        for (const NodeInfo &n : nodes)
            list.append(report::inventoryObject(n));
        doc.insert(QStringLiteral("nodes"), list);
        doc.insert(QStringLiteral("replies_lost"), qint64(fleet.found.repliesLost));
        doc.insert(QStringLiteral("list_full"), fleet.found.listFull);
        QJsonArray found;
        for (const Problem &p : problems) {
            QJsonArray concerned;
            for (const int i : p.nodes) {
                QJsonObject who = report::identity(nodes.at(i));
                who.insert(QStringLiteral("mac"), nodes.at(i).macText());
                concerned.append(who);
            }
            QJsonObject o{{QStringLiteral("kind"), sitecheck::kindName(p.kind)},
                          {QStringLiteral("severity"), sitecheck::severityName(p.severity)},
                          {QStringLiteral("nodes"), concerned},
                          {QStringLiteral("advice"), advisor.advice(p)}};
            advisor.facts(p, &o);
            found.append(o);
        }
        doc.insert(QStringLiteral("problems"), found);
        QJsonObject counts;
        for (const Severity s : severities)
            counts.insert(sitecheck::severityName(s), tally[int(s)]);
        doc.insert(QStringLiteral("tally"), counts);
        out::data(out::json(doc));
    } else {
        QVector<QStringList> rows;
        for (const Problem &p : problems)
            rows.append({sitecheck::severityName(p.severity), sitecheck::kindName(p.kind), advisor.advice(p)});
        // A CSV has its header even without rows; the tally is no row of it.
        if (!rows.isEmpty() || r.csv)
            out::tableData({"SEVERITY", "KIND", "PROBLEM"}, rows, r.csv);
        const QString counts = QStringLiteral("%1 error(s), %2 warning(s), %3 info")
                                   .arg(tally[int(Severity::Error)])
                                   .arg(tally[int(Severity::Warning)])
                                   .arg(tally[int(Severity::Info)]);
        if (r.csv)
            out::note(counts);
        else
            out::data(counts);
    }
    out::note(QStringLiteral("%1 node(s) answered").arg(nodes.size()));
    return tally[int(Severity::Error)] > 0 ? Failure : Success;
}
