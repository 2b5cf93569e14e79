#ifndef TARVO_CLI_RUNNER_H
#define TARVO_CLI_RUNNER_H

#include "link/nodeengine.h"

#include <QString>
#include <QVector>
#include <functional>

// How one node's part of a command ended, as the summary shows it.
struct Outcome {
    bool ok = false;
    // "done", "verified", "skipped", "failed", "not verified", "missing",
    // "interrupted".
    QString result;
    QString reason;
    qint64 ms = 0;
    bool changed = false; // the node was written
    QByteArray record;    // what the node reported, for a command that keeps it
};

// Runs one operation per node on the engine, at most `parallel` at once, in
// this thread's event loop, and keeps nothing of a finished operation but
// its outcome: memory stays bounded by `parallel`, however many nodes.
//
// The first SIGINT or SIGTERM starts no new node and lets the operations in
// progress end within their bounds; a second one aborts them at once.
// Either way every node gets an outcome, and interrupted() tells.
class Runner
{
public:
    using Start = std::function<NodeOperation *(const NodeInfo &node)>;
    // Turns an operation's result into the node's outcome.
    using Judge = std::function<Outcome(const NodeInfo &node, const NodeOperation::Result &result)>;
    using Progress = std::function<void(const NodeInfo &node, qint64 done, qint64 total)>;
    using Finished = std::function<void(const NodeInfo &node, const Outcome &outcome)>;
    // A node that made no progress for StallMs: what its operation awaits.
    using Stalled = std::function<void(const NodeInfo &node, const QString &awaiting)>;
    struct Watchers {
        Progress progress;
        Finished finished;
        Stalled stalled;
    };
    enum : int { StallMs = 5000 };

    explicit Runner(int parallel);

    // Outcomes in the order of `nodes`.
    QVector<Outcome> run(const QVector<NodeInfo> &nodes, const Start &start, const Judge &judge,
                         const Watchers &watchers = {});
    bool interrupted() const { return stopped > 0; }

    // The usual judgement: done → ok with `word` ("done" unless given);
    // not verified; an abort after an interrupt → interrupted; else failed.
    static Outcome judged(const NodeOperation::Result &result, const QString &word = QString());

private:
    int parallel;
    int stopped = 0;
};

#endif
