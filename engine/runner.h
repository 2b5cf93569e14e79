#ifndef TARVO_RUNNER_H
#define TARVO_RUNNER_H

#include "link/nodeinfo.h"
#include "link/operation.h"

#include <QObject>
#include <QString>
#include <QVector>
#include <functional>

class Stopper;

// Runs one operation per node, at most `parallel` at once, in this thread's
// event loop, and keeps nothing of a finished operation: memory stays
// bounded by `parallel`, however many nodes. Whatever a client needs of a
// node's result it takes in finished().
//
// A Stopper's first request starts no new node and lets the operations at
// work end within their bounds; a second one aborts them at once. Either way
// every node ends exactly once: one never started ends Aborted, Untouched,
// "not started; nothing was sent to it".
class Runner : public QObject
{
    Q_OBJECT

public:
    // Starts the operation of the node at `index` on the engine (nullptr: it
    // cannot start).
    using Start = std::function<NodeOperation *(int index, const NodeInfo &node)>;
    struct Watchers {
        // A node's operation moved on (packets sent of the total).
        std::function<void(int index, qint64 done, qint64 total)> progress;
        // A node's end, once for every node, in the order they end.
        std::function<void(int index, const NodeOperation::Result &result)> finished;
        // A node made no progress for stallMs: what its operation awaits.
        std::function<void(int index, const QString &awaiting)> stalled;
    };

    Runner(int parallel, int stallMs, const Stopper *stopper = nullptr);

    // Returns once every node has ended.
    void run(const QVector<NodeInfo> &nodes, const Start &start, const Watchers &watchers);
    // The stopper's requests so far, those before the run included.
    int stops() const;

signals:
    // The stopper asked; `running` operations are at work.
    void stopping(int count, int running);

private:
    const int parallel, stallMs;
    const Stopper *stopper;
};

#endif
