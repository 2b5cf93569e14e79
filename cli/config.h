#ifndef TARVO_CLI_CONFIG_H
#define TARVO_CLI_CONFIG_H

#include "cli/jobs.h"
#include "config/configoperations.h"
#include "config/configvalues.h"

// What writing a configuration takes, for config set and restore.

// The window's checks, in its order; a refusal worded for this program.
QString refusalText(const configcheck::Refusal &refusal);
// What is written to a node: the wanted values, with the node's own
// network settings where they are kept.
ConfigValues targetValues(const ConfigValues &wanted, const QByteArray &current, bool keepNetwork);
// The checks of Set on a file's values, before any node hears of them.
// Kept network settings are checked on the node's record, when it is read.
QString checkValues(ConfigValues values, bool keepNetwork);
WriteConfigOperation::Builder builderFor(const ConfigValues &wanted, bool keepNetwork);
// Reads the nodes of the write items and fills in what would change.
void planChanges(const Request &r, Fleet &fleet, QVector<report::Item> &items,
                 const std::function<ConfigValues(int item)> &wanted, bool keepNetwork);
// Node texts end up in file names: only a plain serial may name a file.
bool safeFileStem(const QByteArray &serial);
// A node's record as the configuration file holds it.
QByteArray configText(const NodeInfo &node, const QByteArray &record);
// The one node a command names (fleet.nodes.first()) and its
// configuration; without them, the exit code after the message.
std::optional<int> readNamedNode(const Request &r, Fleet &fleet, QByteArray *record);

#endif
