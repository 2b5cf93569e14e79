#ifndef TARVO_CLI_INVENTORY_H
#define TARVO_CLI_INVENTORY_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class Discovery;

// One node as its discovery reply described it, with the address the reply
// came from (the one the tool connects to).
struct NodeInfo {
    QByteArray record;
    QHostAddress address;

    QByteArray serial() const;
    bool bootLoader() const;
    // The serial, made printable, and the address: how messages name a node.
    QString name() const;
};

// The workstation address, chosen as the window's start-up does: IPv4,
// not 127.0.0.1, in interface order. An explicit choice must be one of them.
struct AddressChoice {
    QHostAddress address;
    QString error;
    bool usage = false; // the operator must name one with --interface
};
AddressChoice chooseAddress(const QString &requested);

// The run's one discovery socket: the inventory at the start, and the
// re-asks of a verification afterwards.
class Inventory
{
public:
    Inventory();
    ~Inventory();
    bool bind(const QHostAddress &local, QString *error);
    Discovery *discovery() const { return finder; }

    // One request; replies are taken for windowMs, or until `enough` holds.
    QVector<NodeInfo> search(int windowMs, const std::function<bool(const QVector<NodeInfo> &)> &enough = {});

private:
    Discovery *finder;
};

// The nodes named on the command line, each by its address, serial or exact
// label, in the order named and without repeats. Every name that matches no
// node, or a label that several share, is one error.
struct Selection {
    QVector<NodeInfo> nodes;
    QStringList errors;
};
Selection selectNodes(const QVector<NodeInfo> &found, const QStringList &names);

// True once every name matches a node by address or serial: a label could
// still be taken by a node that answers later.
bool allIdentified(const QVector<NodeInfo> &found, const QStringList &names);

#endif
