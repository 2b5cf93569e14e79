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
// looked for by its serial and MAC address, and by what the operation knows
// of where it answers, so that another node reporting the same serial
// cannot stand in for it; where two nodes fit all of that, it says so
// rather than take either.
class NodeVerifier : public QObject
{
    Q_OBJECT

public:
    // Whether a reply is the node awaited, and whether it shows what it should.
    using Test = std::function<bool(const NodeInfo &)>;
    struct Target {
        QByteArray serial;
        QByteArray mac;  // empty: not known, not checked
        QHostAddress at; // where the operation reached it: names the other one of two
        Test is, shows;
    };

    NodeVerifier(Discovery *discovery, int firstAskMs, int intervalMs, QObject *parent = nullptr);

    // Awaits the node until `shows` holds for it, at most boundMs. Returns an
    // id for cancel() and the signals, which never come from inside watch().
    int watch(const Target &target, int boundMs);
    void cancel(int id);

signals:
    void verified(int id, const NodeInfo &node);
    // `seen` is the node's last reply (not valid when it did not answer).
    void notVerified(int id, const NodeInfo &seen);
    // Two nodes at two addresses fit the target: `other` is the one not
    // where the operation reached it.
    void unsettled(int id, const NodeInfo &other);

private:
    struct Watch {
        Target target;
        QDeadlineTimer deadline;
        NodeInfo seen;
        NodeInfo twin;        // found fitting too, before the first request
        QHostAddress matched; // the sender that fitted in this round
    };
    bool fits(const Watch &w, const NodeInfo &node) const;
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
