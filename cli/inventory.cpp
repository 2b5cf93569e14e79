#include "cli/inventory.h"

#include "config/configrecord.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/trace.h"

#include <QEventLoop>
#include <QTimer>
#include <QUdpSocket>
#include <QtEndian>
#include <algorithm>

AddressChoice chooseAddress(const QString &requested)
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
    if (!requested.isEmpty()) {
        const QHostAddress wanted(requested);
        if (wanted.protocol() != QAbstractSocket::IPv4Protocol || !usable.contains(wanted)) {
            choice.error = QStringLiteral("--interface %1 is not a usable address of this workstation; usable: %2")
                               .arg(requested, texts.join(QStringLiteral(", ")));
            choice.usage = true;
            return choice;
        }
        choice.address = wanted;
        return choice;
    }
    if (usable.size() > 1) {
        choice.error = QStringLiteral("this workstation has several addresses; choose one with --interface: %1")
                           .arg(texts.join(QStringLiteral(", ")));
        choice.usage = true;
        return choice;
    }
    choice.address = usable.first();
    return choice;
}

QVector<NodeInfo> searchNodes(Discovery &discovery, int windowMs,
                              const std::function<bool(const QVector<NodeInfo> &)> &enough)
{
    QVector<NodeInfo> found;
    QEventLoop loop;
    QObject::connect(&discovery, &Discovery::searchFinished, &loop, &QEventLoop::quit);
    const QMetaObject::Connection taken = QObject::connect(&discovery, &Discovery::nodeFound, &loop, [&](int index) {
        found.append(discovery.nodes().at(index));
        if (enough && enough(found))
            discovery.endSearch();
    });
    discovery.search(windowMs);
    loop.exec();
    QObject::disconnect(taken);
    std::stable_sort(found.begin(), found.end(), [](const NodeInfo &a, const NodeInfo &b) {
        return a.address.toIPv4Address() < b.address.toIPv4Address();
    });
    return found;
}

namespace {

// Strictly four decimal octets: QHostAddress would also take "26500001", a
// serial, for an address.
bool sameAddress(const QString &name, const QHostAddress &address)
{
    QByteArray octets(4, '\0');
    if (!ConfigRecord::putAddress(octets, 0, name))
        return false;
    return address.toIPv4Address() == qFromBigEndian<quint32>(octets.constData());
}

bool identifies(const QString &name, const NodeInfo &node)
{
    return sameAddress(name, node.address) || QString::fromLatin1(node.serial) == name;
}

} // namespace

bool allIdentified(const QVector<NodeInfo> &found, const QStringList &names)
{
    for (const QString &name : names) {
        const bool matched = std::any_of(found.cbegin(), found.cend(),
                                         [&](const NodeInfo &node) { return identifies(name, node); });
        if (!matched)
            return false;
    }
    return true;
}

Selection selectNodes(const QVector<NodeInfo> &found, const QStringList &names)
{
    Selection s;
    const auto add = [&s](const NodeInfo &node) {
        const bool known = std::any_of(s.nodes.cbegin(), s.nodes.cend(), [&](const NodeInfo &n) {
            return n.serial == node.serial && n.address == node.address;
        });
        if (!known)
            s.nodes.append(node);
    };
    for (const QString &name : names) {
        const auto exact = std::find_if(found.cbegin(), found.cend(),
                                        [&](const NodeInfo &node) { return identifies(name, node); });
        if (exact != found.cend()) {
            add(*exact);
            continue;
        }
        QVector<NodeInfo> labelled;
        for (const NodeInfo &node : found)
            if (QString::fromLatin1(node.label) == name)
                labelled.append(node);
        if (labelled.size() == 1) {
            add(labelled.first());
        } else if (labelled.isEmpty()) {
            s.errors.append(QStringLiteral("unknown node: %1 (no node with this address, serial or label answered)")
                                .arg(name));
        } else {
            QStringList which;
            for (const NodeInfo &node : labelled)
                which.append(node.displayName());
            s.errors.append(QStringLiteral("the label %1 is shared by %2 nodes, name one by serial or address: %3")
                                .arg(name)
                                .arg(labelled.size())
                                .arg(which.join(QStringLiteral(", "))));
        }
    }
    return s;
}
