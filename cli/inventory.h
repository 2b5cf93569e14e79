#ifndef TARVO_CLI_INVENTORY_H
#define TARVO_CLI_INVENTORY_H

#include "link/nodeinfo.h"

#include <QHostAddress>
#include <QString>
#include <QStringList>
#include <QVector>
#include <functional>

class Discovery;

// The workstation address, chosen as the window's start-up does: IPv4,
// not 127.0.0.1, in interface order. An explicit choice must be one of them.
struct AddressChoice {
    QHostAddress address;
    QString error;
    bool usage = false; // the operator must name one with --interface
};
AddressChoice chooseAddress(const QString &requested);

// One search: a request, and the replies taken for windowMs, or until
// `enough` holds. Sorted by address.
QVector<NodeInfo> searchNodes(Discovery &discovery, int windowMs,
                              const std::function<bool(const QVector<NodeInfo> &)> &enough = {});

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
