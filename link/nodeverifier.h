#ifndef TARVO_NODEVERIFIER_H
#define TARVO_NODEVERIFIER_H

#include "link/nodeinfo.h"

#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QTimer>
#include <functional>

class Discovery;

// Waits for nodes to show, in discovery, what an operation did to them: one
// request shortly after a node is handed over (nodes handed over together
// share it), then one every interval while any node is awaited. A node is
// looked for by serial and by the address the operation reached it at, so
// that another node reporting the same serial cannot stand in for it.
class NodeVerifier : public QObject
{
    Q_OBJECT

public:
    // Whether a reply is the node awaited, and whether it shows what it should.
    using Test = std::function<bool(const NodeInfo &)>;

    NodeVerifier(Discovery *discovery, int firstAskMs, int intervalMs, QObject *parent = nullptr);

    // Awaits the node with this serial that `is` picks out until `shows`
    // holds for it, at most boundMs. Returns an id for cancel() and the
    // signals.
    int watch(const QByteArray &serial, const Test &is, const Test &shows, int boundMs);
    void cancel(int id);

signals:
    void verified(int id, const NodeInfo &node);
    // `seen` is the node's last reply (not valid when it did not answer).
    void notVerified(int id, const NodeInfo &seen);

private:
    struct Watch {
        QByteArray serial;
        Test is, shows;
        QDeadlineTimer deadline;
        NodeInfo seen;
    };
    void ask();
    void nodeFound(int index);

    Discovery *discovery;
    int firstAskMs, intervalMs;
    QHash<int, Watch> watching;
    // The watches of each serial: a reply is matched without a walk over all.
    QMultiHash<QByteArray, int> bySerial;
    int nextId = 1;
    QTimer soon, every;
};

#endif
