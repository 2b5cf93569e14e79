#include "link/reach.h"

#include "link/arpprobe.h"
#include "link/reachholds.h"
#include "link/rtnl.h"

#include <QFile>
#include <QRegularExpression>
#include <QSet>
#include <cerrno>
#include <cstring>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>

namespace {

using reachholds::Kind;

QString ipText(quint32 a)
{
    return QHostAddress(a).toString();
}

QString macText(const QByteArray &mac)
{
    QStringList parts;
    for (char c : mac)
        parts << QStringLiteral("%1").arg(static_cast<quint8>(c), 2, 16, QLatin1Char('0'));
    return parts.join(QLatin1Char(':'));
}

// A name the kernel gave may hold any byte but '/', ':' and white space;
// quoted for a shell when it holds more than the usual.
QString shellWord(const QString &s)
{
    static const QRegularExpression plain(QStringLiteral("^[A-Za-z0-9._@%+=:-]+$"));
    if (plain.match(s).hasMatch())
        return s;
    QString q = s;
    q.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + q + QLatin1Char('\'');
}

bool ipv4(const QHostAddress &a, quint32 *out)
{
    bool ok = false;
    *out = a.toIPv4Address(&ok);
    return ok && a.protocol() == QAbstractSocket::IPv4Protocol;
}

// A unicast address a node may hold: not 0.0.0.0/8, loopback, multicast
// or reserved.
bool unicast(quint32 a)
{
    return (a >> 24) != 0 && (a >> 24) != 127 && (a >> 28) < 14;
}

int prefixOf(quint32 mask)
{
    const quint32 inverted = ~mask;
    if ((inverted & (inverted + 1)) != 0)
        return -1; // not contiguous
    int n = 0;
    for (quint32 m = mask; m; m <<= 1)
        ++n;
    return n;
}

quint32 maskOf(int prefix)
{
    return prefix == 0 ? 0 : 0xffffffffu << (32 - prefix);
}

bool ours(const rtnl::Address &a)
{
    return a.protocol == rtnl::TemporaryAddress;
}

QString neighbourState(const rtnl::Neighbour &n)
{
    return n.state & NUD_NOARP ? QStringLiteral("noarp") : QStringLiteral("permanent");
}

ReachResult failed(const QString &reason)
{
    ReachResult r;
    r.reason = reason;
    return r;
}

ReachResult done(const QString &reason = QString())
{
    ReachResult r;
    r.ok = true;
    r.reason = reason;
    return r;
}

// Off, the kernel deletes every other address of a network with the one
// that came first in it (the primary).
bool promotesSecondaries(const QString &interfaceName)
{
    QFile f(QStringLiteral("/proc/sys/net/ipv4/conf/%1/promote_secondaries").arg(interfaceName));
    return f.open(QIODevice::ReadOnly) && f.read(8).trimmed() == "1";
}

} // namespace

QString Reach::labelFor(const QString &interfaceName)
{
    const QString label = interfaceName + QStringLiteral(":tv");
    return label.toLocal8Bit().size() < IFNAMSIZ ? label : QString();
}

Reach::Reach(const QHostAddress &workstation, Options options) : opts(options), nl(new rtnl::Socket)
{
    quint32 ws = 0;
    if (!ipv4(workstation, &ws)) {
        failure = QStringLiteral("%1 is not an IPv4 address").arg(workstation.toString());
        return;
    }
    if (!nl->isOpen()) {
        failure = nl->error();
        return;
    }
    QVector<rtnl::Address> all;
    QString why;
    if (!nl->addresses(&all, &why)) {
        failure = QStringLiteral("cannot list the workstation's addresses: %1").arg(why);
        return;
    }
    for (const rtnl::Address &a : all) {
        if (a.local != ws)
            continue;
        rtnl::Link link;
        if (!nl->link(a.index, &link, &why)) {
            failure = QStringLiteral("cannot read the interface of %1: %2").arg(ipText(ws), why);
            return;
        }
        if (link.type != ARPHRD_ETHER || link.mac.size() != 6) {
            failure = QStringLiteral("%1 is on %2, which is no Ethernet interface").arg(ipText(ws), link.name);
            return;
        }
        iface.index = a.index;
        iface.name = link.name;
        iface.mac = link.mac;
        iface.address = workstation;
        iface.prefixLength = a.prefixLength;
        return;
    }
    failure = QStringLiteral("%1 is not an address of this workstation").arg(ipText(ws));
}

Reach::~Reach()
{
    releaseAll();
}

ReachResult Reach::canChange() const
{
    if (!isValid())
        return failed(failure);
    QString why;
    if (nl->mayChange(&why))
        return done();
    ReachResult r = failed(why.isEmpty() ? QStringLiteral("changing %1 needs CAP_NET_ADMIN (root)").arg(iface.name) : why);
    r.needsPrivilege = why.isEmpty();
    return r;
}

ReachResult Reach::refusedWithoutRight(ReachResult manual) const
{
    const ReachResult right = canChange();
    if (!right.needsPrivilege)
        return right;
    manual.ok = false;
    manual.needsPrivilege = true;
    manual.reason = right.reason + (manual.reason.isEmpty() ? QString() : QStringLiteral("; ") + manual.reason);
    return manual;
}

ReachResult Reach::manualPin(const QHostAddress &address, const QByteArray &mac) const
{
    quint32 a = 0;
    if (!isValid())
        return failed(failure);
    if (!ipv4(address, &a) || mac.size() != 6)
        return failed(QStringLiteral("a pin needs an IPv4 address and a six-byte MAC address"));
    rtnl::Neighbour now;
    bool found = false;
    QString why;
    if (!nl->neighbour(iface.index, a, &now, &found, &why) && !why.isEmpty())
        return failed(QStringLiteral("cannot read the neighbour entry of %1: %2").arg(ipText(a), why));
    const QString dev = shellWord(iface.name);
    ReachResult r = done();
    const bool foreignStatic = found && now.isStatic() && now.protocol != rtnl::Pinned;
    if (foreignStatic && now.lladdr == mac)
        return done(QStringLiteral("%1 is permanently %2 on %3 already").arg(ipText(a), macText(mac), iface.name));
    r.commands << QStringLiteral("ip neigh replace %1 lladdr %2 nud permanent dev %3").arg(ipText(a), macText(mac), dev);
    if (foreignStatic && now.lladdr.size() == 6)
        r.undoCommands << QStringLiteral("ip neigh replace %1 lladdr %2 nud %3%4 dev %5")
                              .arg(ipText(a), macText(now.lladdr), neighbourState(now),
                                   now.flags & NTF_ROUTER ? QStringLiteral(" router") : QString(), dev);
    else
        r.undoCommands << QStringLiteral("ip neigh del %1 dev %2").arg(ipText(a), dev);
    return r;
}

ReachResult Reach::pin(const QHostAddress &address, const QByteArray &mac)
{
    quint32 a = 0;
    if (!isValid())
        return failed(failure);
    if (!ipv4(address, &a) || !unicast(a))
        return failed(QStringLiteral("%1 is not a unicast IPv4 address").arg(address.toString()));
    if (mac.size() != 6 || (mac.at(0) & 1) || mac == QByteArray(6, '\0'))
        return failed(QStringLiteral("%1 is not a unicast MAC address").arg(macText(mac)));
    if (address.isEqual(iface.address))
        return failed(QStringLiteral("%1 is the workstation's own address").arg(ipText(a)));
    auto it = pins.find(a);
    if (it != pins.end()) {
        if (it->mac != mac)
            return failed(QStringLiteral("%1 is pinned to %2 for another operation").arg(ipText(a), macText(it->mac)));
        ++it->count;
        return done();
    }
    QString why;
    if (!nl->mayChange(&why))
        return refusedWithoutRight(manualPin(address, mac));

    const int lease = reachholds::take(Kind::Neighbour, iface.index, a);
    if (lease < 0) {
        if (errno != EADDRINUSE)
            return failed(QStringLiteral("cannot hold %1: %2").arg(ipText(a), QString::fromLocal8Bit(std::strerror(errno))));
        const pid_t pid = reachholds::holder(Kind::Neighbour, iface.index, a);
        return failed(QStringLiteral("%1 on %2 is pinned by another tarvo process%3")
                          .arg(ipText(a), iface.name, pid > 0 ? QStringLiteral(" (pid %1)").arg(pid) : QString()));
    }
    rtnl::Neighbour before;
    bool found = false;
    if (!nl->neighbour(iface.index, a, &before, &found, &why) && !why.isEmpty()) {
        reachholds::drop(lease);
        return failed(QStringLiteral("cannot read the neighbour entry of %1: %2").arg(ipText(a), why));
    }
    // A learnt entry comes back by itself; a permanent one of someone
    // else's is put back as it was. One marked as ours that nobody holds
    // is a killed run's, and counts as none.
    const bool foreignStatic = found && before.isStatic() && before.protocol != rtnl::Pinned;
    if (foreignStatic && before.lladdr == mac) {
        pins.insert(a, Pin{mac, 1, -1, lease});
        return done(QStringLiteral("%1 is permanently %2 on %3 already").arg(ipText(a), macText(mac), iface.name));
    }
    rtnl::Message set, undo;
    rtnl::Neighbour pinned;
    pinned.state = NUD_PERMANENT;
    pinned.lladdr = mac;
    pinned.protocol = foreignStatic ? rtnl::PinnedOverStatic : rtnl::Pinned;
    before.flags &= NTF_ROUTER | NTF_EXT_LEARNED;
    // The kernel keeps an entry's protocol when a replacement names none:
    // an entry is put back by deleting ours and adding it anew.
    if (!rtnl::neighbourChange(&set, false, iface.index, a, pinned)
        || !rtnl::neighbourChange(&undo, true, iface.index, a, before)
        || (foreignStatic && !rtnl::neighbourChange(&undo, false, iface.index, a, before))) {
        reachholds::drop(lease);
        return failed(QStringLiteral("the neighbour entry of %1 cannot be put back as it is").arg(ipText(a)));
    }
    const int entry = reachholds::arm(undo, Kind::Neighbour, iface.index, a, -1);
    if (entry < 0) {
        reachholds::drop(lease);
        return failed(QStringLiteral("too many changes held at once"));
    }
    if (!nl->change(set, &why)) {
        reachholds::release(entry);
        reachholds::drop(lease);
        return failed(QStringLiteral("cannot pin %1 to %2 on %3: %4").arg(ipText(a), macText(mac), iface.name, why));
    }
    pins.insert(a, Pin{mac, 1, entry, lease});
    return done();
}

namespace {

// One hold of `address` let go of: None when there was none, Last (with
// what it held, taken out of `holds`) when it was the last.
enum class Hold { None, Counted, Last };
template <class T> Hold letGo(QHash<quint32, T> &holds, const QHostAddress &address, quint32 *a, T *last)
{
    auto it = ipv4(address, a) ? holds.find(*a) : holds.end();
    if (it == holds.end())
        return Hold::None;
    if (--it->count > 0)
        return Hold::Counted;
    *last = *it;
    holds.erase(it);
    return Hold::Last;
}

} // namespace

ReachResult Reach::unpin(const QHostAddress &address)
{
    quint32 a = 0;
    Pin p;
    const Hold hold = letGo(pins, address, &a, &p);
    if (hold != Hold::Last)
        return hold == Hold::None ? failed(QStringLiteral("%1 is not pinned").arg(address.toString())) : done();
    ReachResult r = done();
    if (reachholds::claim(p.undo)) {
        rtnl::Neighbour now;
        bool found = false;
        QString why;
        nl->neighbour(iface.index, a, &now, &found, &why);
        // Put back only over our own entry: one that someone replaced
        // meanwhile is theirs now.
        const bool stillOurs = found && (now.state & NUD_PERMANENT) && now.lladdr == p.mac
                               && (now.protocol == rtnl::Pinned || now.protocol == rtnl::PinnedOverStatic);
        if (!stillOurs)
            r = failed(QStringLiteral("the neighbour entry of %1 on %2 was changed by someone else while pinned; left as it is")
                           .arg(ipText(a), iface.name));
        else if (!nl->change(reachholds::undoOf(p.undo), &why))
            r = failed(QStringLiteral("cannot put back the neighbour entry of %1 on %2: %3").arg(ipText(a), iface.name, why));
    }
    reachholds::release(p.undo);
    reachholds::drop(p.lease);
    return r;
}

namespace {

// The addresses of `node`'s network from the top down, but for those in
// `excluded`: the `count` after the first `from`.
QVector<quint32> candidates(quint32 node, int prefix, const QSet<quint32> &excluded, int from, int count)
{
    const quint32 mask = maskOf(prefix), network = node & mask, broadcast = network | ~mask;
    QVector<quint32> out;
    int passed = 0;
    for (quint32 c = broadcast - 1; c > network && out.size() < count; --c) {
        if (c == node || excluded.contains(c))
            continue;
        if (passed++ >= from)
            out << c;
    }
    return out;
}

// Why `node` with `mask` names no network to add an address in; empty when
// it does.
QString joinProblem(const QHostAddress &node, quint32 mask, quint32 *n, int *prefix)
{
    if (!ipv4(node, n) || !unicast(*n))
        return QStringLiteral("%1 is not a unicast IPv4 address").arg(node.toString());
    *prefix = prefixOf(mask);
    // Wider than /8 would route most of the Internet through the interface
    // for a while; narrower than /30 leaves no room for the workstation.
    if (*prefix < 8 || *prefix > 30)
        return QStringLiteral("the node's mask %1 gives no network to join").arg(ipText(mask));
    const quint32 host = *n & ~mask;
    if (host == 0 || host == ~mask)
        return QStringLiteral("%1 is not a host address in its network /%2").arg(ipText(*n)).arg(*prefix);
    return {};
}

} // namespace

QString Reach::networkProblem(const QHostAddress &node, quint32 mask, int *prefix)
{
    quint32 n = 0;
    return joinProblem(node, mask, &n, prefix);
}

int Reach::prefixLength(quint32 mask)
{
    return prefixOf(mask);
}

namespace {

QSet<quint32> excludedAddresses(const QList<QHostAddress> &taken, const QVector<rtnl::Address> &local)
{
    QSet<quint32> out;
    for (const QHostAddress &t : taken) {
        quint32 a = 0;
        if (ipv4(t, &a))
            out.insert(a);
    }
    for (const rtnl::Address &a : local)
        out.insert(a.local);
    return out;
}

} // namespace

ReachResult Reach::manualAddress(const QHostAddress &node, quint32 mask, const QList<QHostAddress> &taken) const
{
    if (!isValid())
        return failed(failure);
    quint32 n = 0;
    int prefix = 0;
    const QString problem = joinProblem(node, mask, &n, &prefix);
    if (!problem.isEmpty())
        return failed(problem);
    QVector<rtnl::Address> all;
    QString why;
    if (!nl->addresses(&all, &why))
        return failed(QStringLiteral("cannot list the workstation's addresses: %1").arg(why));
    const QVector<quint32> c = candidates(n, prefix, excludedAddresses(taken, all), 0, 1);
    if (c.isEmpty())
        return failed(QStringLiteral("no address is free in %1/%2").arg(ipText(n & maskOf(prefix))).arg(prefix));
    const QString label = labelFor(iface.name), dev = shellWord(iface.name);
    ReachResult r = done(QStringLiteral("%1 was not checked for a duplicate on the wire").arg(ipText(c.first())));
    r.commands << QStringLiteral("ip addr add %1/%2 dev %3%4")
                      .arg(ipText(c.first()))
                      .arg(prefix)
                      .arg(dev, label.isEmpty() ? QString() : QStringLiteral(" label ") + shellWord(label));
    r.undoCommands << QStringLiteral("ip addr del %1/%2 dev %3").arg(ipText(c.first())).arg(prefix).arg(dev);
    return r;
}

ReachResult Reach::temporaryAddressFor(const QHostAddress &node, quint32 mask, const QList<QHostAddress> &taken,
                                       TemporaryAddress *out)
{
    *out = TemporaryAddress();
    if (!isValid())
        return failed(failure);
    quint32 n = 0;
    int prefix = 0;
    const QString problem = joinProblem(node, mask, &n, &prefix);
    if (!problem.isEmpty())
        return failed(problem);
    const quint32 m = maskOf(prefix);
    for (auto it = addresses.begin(); it != addresses.end(); ++it) {
        if (it->prefixLength == prefix && (it.key() & m) == (n & m)) {
            ++it->count;
            *out = TemporaryAddress{QHostAddress(it.key()), prefix, true};
            return done();
        }
    }

    // The interface may reach the node already (an address of someone
    // else's in its network); and a route the workstation has to it
    // elsewhere is not to be overridden.
    rtnl::Route route;
    bool found = false;
    QString why;
    if (!nl->route(n, &route, &found, &why) && !why.isEmpty())
        return failed(QStringLiteral("cannot look up the route to %1: %2").arg(ipText(n), why));
    QVector<rtnl::Address> all;
    if (!nl->addresses(&all, &why))
        return failed(QStringLiteral("cannot list the workstation's addresses: %1").arg(why));
    if (found && route.type == RTN_LOCAL)
        return failed(QStringLiteral("%1 is an address of this workstation").arg(ipText(n)));
    if (found && route.type == RTN_UNICAST && route.oif == iface.index && route.gateway == 0 && route.dstLength > 0) {
        const quint32 source = route.prefsrc;
        auto a = std::find_if(all.begin(), all.end(),
                              [&](const rtnl::Address &x) { return x.index == iface.index && x.local == source; });
        if (a != all.end() && !ours(*a)) {
            *out = TemporaryAddress{QHostAddress(source), a->prefixLength, false};
            return done();
        }
    } else if (found && route.dstLength > 0) {
        return failed(QStringLiteral("the workstation routes %1 %2 already; an address on %3 would take that away")
                          .arg(ipText(n),
                               route.gateway ? QStringLiteral("via %1").arg(ipText(route.gateway))
                                             : QStringLiteral("through another interface"),
                               iface.name));
    }

    if (!nl->mayChange(&why))
        return refusedWithoutRight(manualAddress(node, mask, taken));
    const int lock = reachholds::lock(iface.index, opts.lockWaitMs);
    if (lock < 0) {
        const pid_t pid = reachholds::holder(Kind::Lock, iface.index, 0);
        return failed(QStringLiteral("another tarvo process%1 is changing %2")
                          .arg(pid > 0 ? QStringLiteral(" (pid %1)").arg(pid) : QString(), iface.name));
    }
    ReachResult r = addressLocked(n, prefix, taken, out);
    reachholds::unlock(lock);
    return r;
}

ReachResult Reach::addressLocked(quint32 n, int prefix, const QList<QHostAddress> &taken, TemporaryAddress *out)
{
    QStringList removed, left;
    QString why;
    removeUnheldAddresses(&removed, &left);
    QVector<rtnl::Address> all;
    if (!nl->addresses(&all, &why))
        return failed(QStringLiteral("cannot list the workstation's addresses: %1").arg(why));
    const quint32 m = maskOf(prefix);

    // Another tarvo process's address in the network: shared.
    quint32 chosen = 0;
    for (const rtnl::Address &a : all)
        if (a.index == iface.index && ours(a) && a.prefixLength == prefix && (a.local & m) == (n & m))
            chosen = a.local;
    const bool join = chosen != 0;

    if (!join) {
        const QSet<quint32> excluded = excludedAddresses(taken, all);
        const ArpProbe probe{iface.index, iface.mac, opts.probes, opts.probeWindowMs};
        int checked = 0;
        for (int batch = 0; batch < 4 && !chosen; ++batch) {
            const QVector<quint32> c = candidates(n, prefix, excluded, batch * opts.candidates, opts.candidates);
            if (c.isEmpty())
                break;
            QVector<quint32> held;
            bool denied = false;
            if (!probe.run(c, &held, &why, &denied)) {
                if (!denied)
                    return failed(why);
                ReachResult r = manualAddress(QHostAddress(n), m, taken);
                r.ok = false;
                r.needsPrivilege = true;
                r.reason = why;
                return r;
            }
            checked += c.size();
            for (quint32 x : c) {
                if (!held.contains(x)) {
                    chosen = x;
                    break;
                }
            }
        }
        if (!chosen)
            return failed(QStringLiteral("no address is free in %1/%2 (%3 checked)").arg(ipText(n & m)).arg(prefix).arg(checked));
    }

    int slot = 0, lease = -1;
    for (; slot < reachholds::AddressSlots && lease < 0; ++slot)
        lease = reachholds::take(Kind::Address, iface.index, chosen, slot);
    --slot;
    if (lease < 0)
        return failed(QStringLiteral("%1 is shared by too many processes").arg(ipText(chosen)));
    rtnl::Message add, undo;
    rtnl::addressChange(&add, false, iface.index, chosen, prefix, labelFor(iface.name));
    rtnl::addressChange(&undo, true, iface.index, chosen, prefix, QString());
    const int entry = reachholds::arm(undo, Kind::Address, iface.index, chosen, slot);
    if (entry < 0) {
        reachholds::drop(lease);
        return failed(QStringLiteral("too many changes held at once"));
    }
    if (!join) {
        bool marked = false;
        if (nl->change(add, &why)) {
            // A kernel older than 6.0 takes the address without its mark,
            // and nothing could tell it from someone else's afterwards.
            if (nl->addresses(&all, &why))
                for (const rtnl::Address &a : all)
                    marked |= a.index == iface.index && a.local == chosen && ours(a);
            if (!marked) {
                nl->change(undo, &why);
                why = QStringLiteral("this kernel keeps no mark on addresses (Linux 6.0 or later does)");
            }
        }
        if (!marked) {
            reachholds::release(entry);
            reachholds::drop(lease);
            return failed(QStringLiteral("cannot add %1/%2 to %3: %4").arg(ipText(chosen)).arg(prefix).arg(iface.name, why));
        }
    }
    addresses.insert(chosen, Held{prefix, 1, entry, lease, slot});
    *out = TemporaryAddress{QHostAddress(chosen), prefix, true};
    return done();
}

bool Reach::removeAddress(quint32 a, int prefix, const rtnl::Message &remove, QString *why)
{
    QVector<rtnl::Address> all;
    if (!nl->addresses(&all, why))
        return false;
    const quint32 m = maskOf(prefix);
    for (const rtnl::Address &x : all) {
        if (x.index == iface.index && x.local != a && !ours(x) && x.prefixLength == prefix && (x.local & m) == (a & m)
            && (x.flags & IFA_F_SECONDARY) && !promotesSecondaries(iface.name)) {
            *why = QStringLiteral("%1/%2 was added to its network meanwhile, and the kernel would remove it with %3; "
                                  "%3 is left on %4")
                       .arg(ipText(x.local))
                       .arg(prefix)
                       .arg(ipText(a), iface.name);
            return false;
        }
    }
    int error = 0;
    if (nl->change(remove, why, &error) || error == EADDRNOTAVAIL)
        return true;
    *why = QStringLiteral("cannot remove %1/%2 from %3: %4").arg(ipText(a)).arg(prefix).arg(iface.name, *why);
    return false;
}

bool Reach::releaseHeld(quint32 a, Held &h, QString *why)
{
    const int lock = reachholds::lock(iface.index, opts.lockWaitMs);
    const bool mine = reachholds::claim(h.undo);
    reachholds::drop(h.lease);
    bool ok = true;
    if (mine && lock < 0) {
        // Left to whoever holds the lock, or to the next clean-up.
        *why = QStringLiteral("%1 is left on %2: another tarvo process holds the interface").arg(ipText(a), iface.name);
        ok = false;
    } else if (mine && !reachholds::othersHold(iface.index, a, h.slot)) {
        ok = removeAddress(a, h.prefixLength, reachholds::undoOf(h.undo), why);
    }
    reachholds::release(h.undo);
    reachholds::unlock(lock);
    return ok;
}

ReachResult Reach::releaseAddress(const QHostAddress &address)
{
    quint32 a = 0;
    Held h;
    const Hold hold = letGo(addresses, address, &a, &h);
    if (hold != Hold::Last)
        return hold == Hold::None ? failed(QStringLiteral("%1 is not held").arg(address.toString())) : done();
    QString why;
    return releaseHeld(a, h, &why) ? done() : failed(why);
}

ReachResult Reach::releaseAll()
{
    QStringList problems;
    const QList<quint32> pinned = pins.keys();
    for (quint32 a : pinned) {
        pins[a].count = 1;
        const ReachResult r = unpin(QHostAddress(a));
        if (!r)
            problems << r.reason;
    }
    const QList<quint32> held = addresses.keys();
    for (quint32 a : held) {
        addresses[a].count = 1;
        const ReachResult r = releaseAddress(QHostAddress(a));
        if (!r)
            problems << r.reason;
    }
    return problems.isEmpty() ? done() : failed(problems.join(QStringLiteral("; ")));
}

void Reach::removeUnheldAddresses(QStringList *removed, QStringList *left)
{
    QVector<rtnl::Address> all;
    QString why;
    if (!nl->addresses(&all, &why)) {
        *left << why;
        return;
    }
    for (const rtnl::Address &x : all) {
        if (x.index != iface.index || !ours(x) || addresses.contains(x.local)
            || reachholds::othersHold(iface.index, x.local, -1))
            continue;
        rtnl::Message remove;
        rtnl::addressChange(&remove, true, iface.index, x.local, x.prefixLength, QString());
        const QString text = QStringLiteral("%1/%2").arg(ipText(x.local)).arg(x.prefixLength);
        if (removeAddress(x.local, x.prefixLength, remove, &why))
            *removed << text;
        else
            *left << why;
    }
}

ReachResult Reach::removeLeftovers(QStringList *removed)
{
    if (!isValid())
        return failed(failure);
    QStringList gone, left;
    QVector<rtnl::Neighbour> entries;
    QVector<rtnl::Address> all;
    QString why;
    if (!nl->neighbours(iface.index, &entries, &why) || !nl->addresses(&all, &why))
        return failed(QStringLiteral("cannot read %1: %2").arg(iface.name, why));
    const QString dev = shellWord(iface.name);
    ReachResult manual;
    for (const rtnl::Neighbour &e : entries) {
        if (!e.isStatic() || (e.protocol != rtnl::Pinned && e.protocol != rtnl::PinnedOverStatic))
            continue;
        manual.commands << QStringLiteral("ip neigh del %1 dev %2").arg(ipText(e.address), dev);
    }
    for (const rtnl::Address &x : all)
        if (x.index == iface.index && ours(x))
            manual.commands << QStringLiteral("ip addr del %1/%2 dev %3").arg(ipText(x.local)).arg(x.prefixLength).arg(dev);
    if (manual.commands.isEmpty())
        return done();
    if (!nl->mayChange(&why))
        return refusedWithoutRight(manual);

    for (const rtnl::Neighbour &e : entries) {
        if (!e.isStatic() || (e.protocol != rtnl::Pinned && e.protocol != rtnl::PinnedOverStatic))
            continue;
        // Held while it is looked at, so that no tarvo process pins it meanwhile.
        const int lease = reachholds::take(Kind::Neighbour, iface.index, e.address);
        if (lease < 0)
            continue;
        const QString text = QStringLiteral("%1 lladdr %2").arg(ipText(e.address), macText(e.lladdr));
        if (e.protocol == rtnl::PinnedOverStatic) {
            left << QStringLiteral("%1 on %2 replaced a permanent entry that is not known any more; "
                                   "put that back or delete this one (ip neigh del %1 dev %3)")
                        .arg(text, iface.name, ipText(e.address), dev);
        } else {
            rtnl::Message remove;
            rtnl::neighbourChange(&remove, true, iface.index, e.address, e);
            int error = 0;
            if (nl->change(remove, &why, &error) || error == ENOENT)
                gone << text;
            else
                left << QStringLiteral("cannot delete %1 on %2: %3").arg(text, iface.name, why);
        }
        reachholds::drop(lease);
    }
    const int lock = reachholds::lock(iface.index, opts.lockWaitMs);
    if (lock < 0)
        left << QStringLiteral("another tarvo process is changing %1; its addresses were not looked at").arg(iface.name);
    else
        removeUnheldAddresses(&gone, &left);
    reachholds::unlock(lock);
    if (removed)
        *removed = gone;
    ReachResult r = left.isEmpty() ? done() : failed(left.join(QStringLiteral("; ")));
    if (r.ok && !gone.isEmpty())
        r.reason = QStringLiteral("removed from %1: %2").arg(iface.name, gone.join(QStringLiteral(", ")));
    return r;
}

void Reach::undoFromSignalHandler()
{
    reachholds::undoAll();
}
