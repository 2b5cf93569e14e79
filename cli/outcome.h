#ifndef TARVO_CLI_OUTCOME_H
#define TARVO_CLI_OUTCOME_H

#include "cli/configfile.h"
#include "link/operation.h"

#include <QByteArray>
#include <QString>

// How one node's part of a command ended, as the summary shows it. The
// words are made only where they are printed.
enum class Result { Done, Verified, Skipped, NotVerified, Failed, Missing, Interrupted }; // the tally's order
QString resultWord(Result result);

struct Outcome {
    Result result = Result::Failed;
    QString reason;
    qint64 ms = 0;
    bool changed = false; // a writing request went out to the node
    bool incomplete = false; // its firmware may be incomplete: the run erased it
    QByteArray record;    // what the node reported, for a command that keeps it
    QVector<configfile::Change> changes; // a write's: the fields it changed, as the node reported them

    bool ok() const { return result == Result::Done || result == Result::Verified || result == Result::Skipped; }

    // The usual judgement of an operation's result: done as `done`; not
    // verified; aborted (stopped, or never started) as interrupted; else
    // failed. What the node may hold decides `changed`.
    static Outcome of(const NodeOperation::Result &result, Result done = Result::Done);
    static Outcome said(Result result, const QString &reason);
};

// What a command's plan does with a node.
enum class Action { Write, Upgrade, Default, Run, Skip, Refuse };
QString actionWord(Action action);

#endif
