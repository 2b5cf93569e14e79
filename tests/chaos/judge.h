#ifndef TARVO_CHAOS_JUDGE_H
#define TARVO_CHAOS_JUDGE_H

// The truth rules: every row of tarvo's summary against what the nodes'
// journals say they did during that command.

#include "world.h"

#include <QSet>

// What a command asked of the nodes, in the terms the judge needs.
struct Asked {
    QString command;          // "config set", "default", "backup", "restore", "run", "upgrade"
    int timeoutMs = 400;
    int parallel = 8;
    QJsonObject file;         // config set: the configuration file
    bool keepNetwork = false; // config set, restore: each node keeps its network settings
    bool keepLabel = false;   // config set: each node keeps its label (a template)
    QString dir, match;       // backup, restore
    QString version;          // upgrade: the file's version
    qint64 imageSum = 0;      // the byte sum of the image a node holds after it
};

struct Rejection {
    QString rule; // the rule broken, a short name
    QString what; // what tarvo said against what happened
    QString node; // the node's start address, where one is concerned
    QJsonObject row;
};

// The longest the command may take by its documented bounds, for `work`
// nodes at work.
qint64 boundMs(const Asked &asked, int work);

// What befell a command while it ran, as far as it was due before its end.
struct Disturbed {
    bool interrupted = false; // SIGINT sent
    bool cut = false;         // the link was down for a while
    QSet<int> processes;      // the processes of nodes paused or killed
};

// `before` and `after`: the nodes as their journals told before and after
// the command; `journal`: their lines during it.
QVector<Rejection> judge(const Asked &asked, const Run &run, const QVector<ChaosNode> &before, const QVector<ChaosNode> &after,
                         const Journal &journal, const Disturbed &disturbed);

#endif
