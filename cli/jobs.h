#ifndef TARVO_CLI_JOBS_H
#define TARVO_CLI_JOBS_H

#include "cli/commands.h"
#include "cli/outcome.h"
#include "cli/report.h"
#include "engine/nodeengine.h"
#include "engine/runner.h"
#include "engine/search.h"

#include <QStringList>
#include <QVector>
#include <functional>
#include <optional>

// What the commands share: finding the nodes a command names, and running
// one operation per node with a plan, a question, a summary and what to do
// when interrupted.

// The engine of one run, with the nodes found.
struct Fleet {
    explicit Fleet(const Request &r);
    NodeEngine engine;
    QHostAddress workstation; // the address chosen on the nodes' network
    SearchResult found;
    QVector<NodeInfo> nodes; // the ones the command names, found
    QStringList missing;     // names that fit no node
};

// Chooses the address, binds the run's discovery socket and searches once,
// for the nodes `names` names or, with `every`, for all. Nothing to carry
// on with gives the exit code, after the message.
std::optional<int> findNodes(const Request &r, Fleet &fleet, const QStringList &names, bool every);
// For the commands of one node: that node, or a message why there is none.
std::optional<int> findOne(const Request &r, Fleet &fleet);

// Reads the configuration of each node, `parallel` at once.
QVector<Outcome> readConfigs(const Request &r, Fleet &fleet, const QVector<NodeInfo> &nodes);

// The usual judgement of a write: what the node may hold decides changed,
// and a change that may have been stored says how to look.
Outcome writeJudged(const NodeInfo &node, const NodeOperation::Result &result);

// One command's nodes: what each will do, how to start the work and how to
// judge it.
struct Job {
    using Judge = std::function<Outcome(const NodeInfo &node, const NodeOperation::Result &result)>;
    QString command;
    QString verb = QStringLiteral("write"); // "3 of 4 node(s) to <verb>"
    QVector<report::Item> items;
    // Starts the operation of the node of items[item].
    std::function<NodeOperation *(int item, const NodeInfo &node)> start;
    Judge judge = writeJudged;
    // Told as the work goes, by node.
    std::function<void(const NodeInfo &node, qint64 done, qint64 total)> progress;
    std::function<void(const NodeInfo &node, const QString &awaiting)> stalled;
    std::function<void(const NodeInfo &node, const Outcome &outcome)> finished;
    // Fills the items' changes before the plan is shown (reads the nodes).
    std::function<void()> prepare;
    // The command, its fixed operands and its options that shape the plan,
    // as tarvo takes them ({"upgrade", FILE, "--allow-same-version"}): the
    // line that does what an interruption left, nodes appended.
    QStringList again;
    QStringList againAfter; // what stands behind the nodes (config set's FILE)
    // The nodes as named ({"--all"} for every node), and whether running the
    // command again skips the nodes it did (an upgrade without
    // --allow-same-version, a --set): --all then names exactly what is left.
    QStringList named;
    bool rerunSkipsDone = false;
    // Given again for a node the run left incomplete that a plain rerun
    // would skip for what it reports (an upgrade's --allow-same-version,
    // for a node that reports the file's version).
    QString incompleteOption;
    std::function<bool(const NodeInfo &node)> rerunSkips;
    bool severalNodes = false; // --all or several names: asked on a terminal

    void addNodes(const Fleet &fleet, Action action);
};

// Orders items by their nodes' labels in natural order ("Truss 2" before
// "Truss 10"), then serials: how every node is counted in a sequence.
void naturalOrder(QVector<report::Item> &items);

// Finds the nodes `names` names (or all, with --all) and lists them in the
// job, each to `action`.
std::optional<int> gather(const Request &r, Fleet &fleet, Job &job, const QStringList &names, Action action);
// The command line that does `again` for these nodes, with the global
// options that shape it as given (the interface, the reply bound), quoted
// for a shell.
QString rerunLine(const Request &r, const QStringList &again, const QStringList &nodes, const QStringList &after = {});
// Why this process cannot reach each of the nodes (empty where it can): a
// node that shares its address or sits outside the workstation's network
// needs the right to change the interface. Where any cannot be reached,
// says what to run instead: as root (`again`, the command that does the
// work, as for rerunLine(); empty: the command line as given, and why each
// node cannot be reached, for a command without a summary), or the `ip`
// commands.
QStringList unreachable(const Request &r, const Fleet &fleet, const QVector<NodeInfo> &nodes,
                        const QStringList &again = {}, const QStringList &againAfter = {});
// The shortest exact names of these nodes among those found: the serial,
// or the address where twins share the serial.
QStringList shortNames(const QVector<NodeInfo> &nodes, const Fleet &fleet);

// The plan (--dry-run), the question (several nodes on a terminal), the
// work on the fleet's engine, the summary; returns the exit code.
int execute(const Request &r, Fleet &fleet, Job &job);

#endif
