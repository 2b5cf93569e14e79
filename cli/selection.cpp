#include "cli/selection.h"

#include "config/configrecord.h"
#include "link/discovery.h"
#include "link/trace.h"

#include <QNetworkInterface>
#include <QSet>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <fnmatch.h>

bool dottedAddress(const QString &text, quint32 *address)
{
    QByteArray octets(4, '\0');
    if (!ConfigRecord::putAddress(octets, 0, text))
        return false;
    if (address)
        *address = qFromBigEndian<quint32>(octets.constData());
    return true;
}

QString listenFailure(const QHostAddress &address, const Discovery &discovery)
{
    return QStringLiteral("cannot listen on %1 port %2: %3")
        .arg(address.toString())
        .arg(DiscoveryPort)
        .arg(discovery.bindError());
}

AddressChoice chooseAddress(const QString &requested, const QString &from)
{
    const QList<QHostAddress> usable = Discovery::workstationAddresses();

    AddressChoice choice;
    if (usable.isEmpty()) {
        choice.error = QStringLiteral("no usable address: this workstation has no IPv4 address other than loopback");
        return choice;
    }
    QStringList texts;
    for (const QHostAddress &a : usable)
        texts.append(a.toString());
    QStringList interfaces;
    for (const QNetworkInterface &i : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry &e : i.addressEntries())
            if (usable.contains(e.ip()) && !interfaces.contains(i.name()))
                interfaces.append(i.name());
    const QString choices = QStringLiteral("usable: %1 (interfaces: %2)")
                                .arg(texts.join(QStringLiteral(", ")), interfaces.join(QStringLiteral(", ")));
    if (requested.isEmpty()) {
        if (usable.size() > 1) {
            choice.error = QStringLiteral("this workstation has several addresses; choose one with --interface: %1")
                               .arg(texts.join(QStringLiteral(", ")));
            choice.usage = true;
            return choice;
        }
        choice.address = usable.first();
        return choice;
    }
    choice.usage = true;
    const QString shown = printable(requested.toLatin1());
    quint32 ip = 0;
    if (dottedAddress(requested, &ip)) {
        if (!usable.contains(QHostAddress(ip))) {
            choice.error = QStringLiteral("%1 %2 is not a usable address of this workstation; %3").arg(from, shown, choices);
            return choice;
        }
        choice.address = QHostAddress(ip);
        return choice;
    }
    const QNetworkInterface iface = QNetworkInterface::interfaceFromName(requested);
    QList<QHostAddress> mine;
    for (const QNetworkAddressEntry &e : iface.addressEntries())
        if (usable.contains(e.ip()))
            mine.append(e.ip());
    if (!iface.isValid()) {
        choice.error = QStringLiteral("%1 %2 is neither an interface nor an address of this workstation; %3")
                           .arg(from, shown, choices);
    } else if (mine.isEmpty()) {
        choice.error = QStringLiteral("%1 %2: the interface has no usable IPv4 address; %3").arg(from, shown, choices);
    } else if (mine.size() > 1) {
        QStringList own;
        for (const QHostAddress &a : mine)
            own.append(a.toString());
        choice.error = QStringLiteral("%1 %2: the interface has several addresses; choose one: %3")
                           .arg(from, shown, own.join(QStringLiteral(", ")));
    } else {
        choice.address = mine.first();
        choice.usage = false;
    }
    return choice;
}

QString nodeName(const NodeInfo &n)
{
    return n.label.isEmpty() ? printable(n.serial) : printable(n.label) + QStringLiteral(" (") + printable(n.serial) + QLatin1Char(')');
}

QString nodeWhere(const NodeInfo &n)
{
    return n.label.isEmpty() ? n.displayName()
                             : printable(n.label) + QStringLiteral(" (") + printable(n.serial) + QStringLiteral(", ") +
            n.address.toString() + QLatin1Char(')');
}

namespace {

QString listed(const QVector<NodeInfo> &nodes)
{
    QStringList which;
    for (const NodeInfo &n : nodes)
        which.append(nodeWhere(n));
    return which.join(QStringLiteral(", "));
}

// The nodes found, by address, serial and label: a thousand names against
// a thousand nodes are looked up, not compared pairwise.
struct Index {
    explicit Index(const QVector<NodeInfo> &found) : found(found)
    {
        for (int i = 0; i < found.size(); ++i) {
            byAddress.insert(found.at(i).address.toIPv4Address(), i);
            bySerial.insert(QString::fromLatin1(found.at(i).serial), i);
            byLabel.insert(QString::fromLatin1(found.at(i).label), i);
        }
    }
    // Sorted, once each, leaving out those in `besides`.
    static QList<int> only(QList<int> at, const QList<int> &besides = {})
    {
        std::sort(at.begin(), at.end());
        at.erase(std::unique(at.begin(), at.end()), at.end());
        at.removeIf([&besides](int i) { return besides.contains(i); });
        return at;
    }
    QVector<NodeInfo> nodes(const QList<int> &at) const
    {
        QVector<NodeInfo> out;
        for (const int i : at)
            out.append(found.at(i));
        return out;
    }
    const QVector<NodeInfo> &found;
    QMultiHash<quint32, int> byAddress;
    QMultiHash<QString, int> bySerial, byLabel;
};

} // namespace

Unseen::Unseen(const QStringList &names)
{
    for (const QString &name : names) {
        quint32 ip = 0;
        if (isPattern(name))
            wildcard = true; // any node may fit it: the whole window
        else if (dottedAddress(name, &ip))
            addresses.insert(ip);
        else
            serials.insert(name);
    }
}

bool Unseen::seen(const NodeInfo &node)
{
    addresses.remove(node.address.toIPv4Address());
    serials.remove(QString::fromLatin1(node.serial));
    return !wildcard && addresses.isEmpty() && serials.isEmpty();
}

bool naturalLess(const QByteArray &a, const QByteArray &b)
{
    // Runs of digits compare by their value, the rest byte by byte, so that
    // the order does not depend on a locale.
    qsizetype i = 0, j = 0;
    const auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            qsizetype ei = i, ej = j;
            while (ei < a.size() && a[ei] == '0')
                ++ei;
            while (ej < b.size() && b[ej] == '0')
                ++ej;
            qsizetype ni = ei, nj = ej;
            while (ni < a.size() && digit(a[ni]))
                ++ni;
            while (nj < b.size() && digit(b[nj]))
                ++nj;
            if (ni - ei != nj - ej)
                return ni - ei < nj - ej;
            if (const int c = std::memcmp(a.constData() + ei, b.constData() + ej, size_t(ni - ei)); c != 0)
                return c < 0;
            i = ni;
            j = nj;
            continue;
        }
        if (a[i] != b[j])
            return quint8(a[i]) < quint8(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

bool naturalBefore(const NodeInfo &a, const NodeInfo &b)
{
    if (naturalLess(a.label, b.label))
        return true;
    if (naturalLess(b.label, a.label))
        return false;
    return naturalLess(a.serial, b.serial);
}

bool isPattern(const QString &name)
{
    return name.contains(QLatin1Char('*')) || name.contains(QLatin1Char('?')) || name.contains(QLatin1Char('['));
}

namespace {

// As a shell matches a word: the label's or serial's own bytes.
bool fits(const QString &pattern, const QByteArray &text)
{
    return !text.isEmpty() && ::fnmatch(pattern.toLatin1().constData(), text.constData(), 0) == 0;
}

} // namespace

Selection selectNodes(const QVector<NodeInfo> &found, const QStringList &names)
{
    const Index index(found);
    Selection s;
    QSet<int> taken;
    const auto add = [&](int i) {
        if (!taken.contains(i))
            s.nodes.append(found.at(i));
        taken.insert(i);
    };
    for (const QString &name : names) {
        const QString shown = printable(name.toLatin1());
        if (isPattern(name)) {
            // Every node whose label or serial fits, by label in natural
            // order, then serial.
            QList<int> fitting;
            for (int i = 0; i < found.size(); ++i)
                if (fits(name, found.at(i).label) || fits(name, found.at(i).serial))
                    fitting.append(i);
            std::stable_sort(fitting.begin(), fitting.end(),
                             [&](int a, int b) { return naturalBefore(found.at(a), found.at(b)); });
            if (fitting.isEmpty())
                s.missing.append(name);
            for (const int i : fitting)
                add(i);
            continue;
        }
        quint32 ip = 0;
        if (dottedAddress(name, &ip)) {
            const QList<int> here = Index::only(index.byAddress.values(ip));
            const QList<int> namesakes = Index::only(index.bySerial.values(name) + index.byLabel.values(name), here);
            if (here.isEmpty())
                s.missing.append(name);
            else if (here.size() == 1 && namesakes.isEmpty())
                add(here.first());
            else if (namesakes.isEmpty())
                s.errors.append(QStringLiteral("%1 is the address of %2 nodes, name one by serial or label: %3")
                                    .arg(shown)
                                    .arg(here.size())
                                    .arg(listed(index.nodes(here))));
            else
                s.errors.append(QStringLiteral("%1 is ambiguous: the address of %2 and the serial or label of %3; "
                                               "name the node by another of its names")
                                    .arg(shown, listed(index.nodes(here)), listed(index.nodes(namesakes))));
            continue;
        }
        const QList<int> bySerial = Index::only(index.bySerial.values(name));
        const QList<int> byLabel = Index::only(index.byLabel.values(name), bySerial);
        if (bySerial.size() + byLabel.size() == 1) {
            add(bySerial.isEmpty() ? byLabel.first() : bySerial.first());
        } else if (bySerial.isEmpty() && byLabel.isEmpty()) {
            s.missing.append(name);
        } else if (byLabel.isEmpty()) {
            s.errors.append(QStringLiteral("the serial %1 is reported by %2 nodes, name one by address: %3")
                                .arg(shown)
                                .arg(bySerial.size())
                                .arg(listed(index.nodes(bySerial))));
        } else if (bySerial.isEmpty()) {
            s.errors.append(QStringLiteral("the label %1 is shared by %2 nodes, name one by serial or address: %3")
                                .arg(shown)
                                .arg(byLabel.size())
                                .arg(listed(index.nodes(byLabel))));
        } else {
            s.errors.append(QStringLiteral("%1 is ambiguous: the serial of %2 and the label of %3; name the node by "
                                           "address")
                                .arg(shown, listed(index.nodes(bySerial)), listed(index.nodes(byLabel))));
        }
    }
    return s;
}

QString missingReason(const QString &name, const QVector<NodeInfo> &found, bool listFull)
{
    if (isPattern(name))
        return QStringLiteral("no node's label or serial fits the pattern %1").arg(printable(name.toLatin1())) +
            (listFull ? QStringLiteral(" (the list of nodes was full)") : QString());
    QString reason = dottedAddress(name)
        ? QStringLiteral("no node answered from %1").arg(name)
        : QStringLiteral("no node with the serial or label %1 answered").arg(printable(name.toLatin1()));
    if (dottedAddress(name)) {
        const Index index(found);
        const QVector<NodeInfo> namesakes =
            index.nodes(Index::only(index.bySerial.values(name) + index.byLabel.values(name)));
        if (!namesakes.isEmpty())
            reason += QStringLiteral(" (a dotted address names only the node that answers from it, not %1)")
                          .arg(listed(namesakes));
    }
    if (listFull)
        reason += QStringLiteral("; the discovery list was full (%1 entries), so it may have been crowded out")
                      .arg(int(Discovery::MaxEntries));
    return reason;
}
