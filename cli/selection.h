#ifndef TARVO_CLI_SELECTION_H
#define TARVO_CLI_SELECTION_H

#include "link/nodeinfo.h"

#include <QHostAddress>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class Discovery;

// The workstation address, chosen as the window's start-up does: IPv4,
// not 127.0.0.1, in interface order. A choice (--interface, else
// TARVO_INTERFACE) is an interface's name or one of those addresses.
struct AddressChoice {
    QHostAddress address;
    QString error;
    bool usage = false; // the operator must name one with --interface
};
AddressChoice chooseAddress(const QString &requested, const QString &from = QStringLiteral("--interface"));

// Why discovery could not listen on `address`:
// "cannot listen on 192.0.2.1 port 49999: another program of this workstation uses it".
QString listenFailure(const QHostAddress &address, const Discovery &discovery);

// How messages name a node: "Stage left (15030001, 192.0.2.10)", texts
// made printable; nodeName() without the address.
QString nodeName(const NodeInfo &node);
QString nodeWhere(const NodeInfo &node);

// Strictly four decimal octets: QHostAddress would also take "26500001",
// or read "010" as octal.
bool dottedAddress(const QString &text, quint32 *address = nullptr);

// "Truss 2" before "Truss 10": digits compare by value, whatever the locale.
bool naturalLess(const QByteArray &a, const QByteArray &b);
// By label in natural order, then serial: how a sequence counts nodes.
bool naturalBefore(const NodeInfo &a, const NodeInfo &b);

// A name holding *, ? or [...] is a pattern: it names every node whose
// label or serial fits it, as a shell's glob fits a word.
bool isPattern(const QString &name);

// The nodes named on the command line, in the order named, without
// repeats. A dotted address names only the node that answered from it; a
// serial or a label names the one node that has it. A name that fits
// several nodes (a shared serial or label, one node's serial and another's
// label or address) is an error; a name that fits none is missing.
struct Selection {
    QVector<NodeInfo> nodes;
    QStringList errors;
    QStringList missing;
};
Selection selectNodes(const QVector<NodeInfo> &found, const QStringList &names);
// What a missing name is told: how it is read, and why nothing fits.
QString missingReason(const QString &name, const QVector<NodeInfo> &found, bool listFull);

// The names not yet seen by address or serial during a search; each reply
// is looked up, not compared with every name.
class Unseen
{
public:
    explicit Unseen(const QStringList &names);
    // Takes the node's names off; true once none is left.
    bool seen(const NodeInfo &node);

private:
    QSet<quint32> addresses;
    QSet<QString> serials;
    bool wildcard = false;
};

#endif
