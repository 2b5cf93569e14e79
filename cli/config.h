#ifndef TARVO_CLI_CONFIG_H
#define TARVO_CLI_CONFIG_H

#include "cli/jobs.h"
#include "cli/patch.h"
#include "config/configoperations.h"
#include "config/configvalues.h"

#include <QHash>

// What writing a configuration takes, for config set and restore.

// The node's own values a write leaves as they are.
struct Keep {
    bool label = false;
    bool network = false;
};

// The window's checks, in its order; a refusal worded for this program.
QString refusalText(const configcheck::Refusal &refusal);
// What is written to a node: the wanted values, with the node's own where
// they are kept.
ConfigValues targetValues(const ConfigValues &wanted, const QByteArray &current, Keep keep);
// The checks of Set on a file's values, before any node hears of them.
// Kept values are checked on the node's record, when it is read.
QString checkValues(ConfigValues values, Keep keep);
WriteConfigOperation::Builder builderFor(const ConfigValues &wanted, Keep keep);
// --set's: the node's own record with the patch put in, for the node at
// `position` of a sequence; nothing is written where that changes nothing.
WriteConfigOperation::Builder patchBuilder(const Patch &patch, int position);

// What an item's node is to hold, from the record it holds now.
using Target = std::function<ConfigValues(int item, const QByteArray &current)>;
// Reads the nodes of the write items and fills in what would change; with
// skipUnchanged a node that would not change is skipped.
void planChanges(const Request &r, Fleet &fleet, QVector<report::Item> &items, const Target &target,
                 bool skipUnchanged = false);

// Writes that would make two nodes share an address, each in words ("Truss
// 3 (...): 192.0.2.10 is held by Truss 1, serial 26490001"): an item's new
// address (by item) against every node that answers from it or claims it,
// the workstation's own, and the other items'.
QStringList addressConflicts(const QVector<report::Item> &items, const QHash<int, quint32> &newAddress,
                             const Fleet &fleet);
// Says the conflicts and that nothing was sent; false when there are none.
bool refusedForConflicts(const QStringList &conflicts);

// Node texts end up in file names: only a plain serial may name a file.
bool safeFileStem(const QByteArray &serial);
// A node's record as the configuration file holds it.
QByteArray configText(const NodeInfo &node, const QByteArray &record);
// The one node a command names (fleet.nodes.first()) and its
// configuration; without them, the exit code after the message.
std::optional<int> readNamedNode(const Request &r, Fleet &fleet, QByteArray *record);

#endif
