#ifndef TARVO_CLI_REPORT_H
#define TARVO_CLI_REPORT_H

#include "cli/configfile.h"
#include "cli/outcome.h"
#include "link/nodeinfo.h"

#include <QJsonObject>
#include <QString>
#include <QVector>

// What tarvo prints about the nodes of a command: the inventory, the plan
// before a write and the summary after it, as text or as JSON objects of
// the documented formats (docs/CLI.md), each with "format" and "version".
namespace report {

enum : int { JsonVersion = 1 };

QJsonObject envelope(const QString &format);

// A node's identity as JSON: serial, label, address. A node that did not
// answer keeps what is known of it (address empty when unknown).
QJsonObject identity(const NodeInfo &node);
// The inventory's object of a node; its columns, printable.
QJsonObject inventoryObject(const NodeInfo &node);
QStringList inventoryRow(const NodeInfo &node);

// One node of a command: what it will do, and how it ended.
struct Item {
    NodeInfo node; // record empty: a node that did not answer
    Action action = Action::Write;
    QString reason;
    QVector<configfile::Change> changes;
    QString fromVersion, toVersion;
    bool missing = false; // named, or backed up, and not answering
    // A skip's reason without what is particular to the node, so that the
    // question before a write can count the skips alike (empty: reason).
    QString commonReason;
    bool isWork() const;
};

bool runnable(const QVector<Item> &items);
// The plan for --dry-run, "tarvo backup: 3 of 4 node(s) to back up", a row
// for every node: on standard output as a table, JSON or CSV (the count
// line then on standard error).
void printPlan(const QString &command, const QString &verb, const QVector<Item> &items, bool json, bool csv);
// The plan before the question, on standard error: every node to work on
// or refused with its changes, and the skips as counts, by reason.
void printQuestion(const QString &command, const QString &verb, const QVector<Item> &items);

struct Row {
    NodeInfo node;
    Outcome outcome;
};
// "37 verified, 2 failed, 1 missing".
QString tally(const QVector<Row> &rows);
// The summary with its tally; returns the exit code (130 when interrupted).
// With csv, the rows are the data and the tally goes to standard error.
int printSummary(const QString &command, const QVector<Row> &rows, bool interrupted, bool json, bool csv);

QString seconds(qint64 ms);

} // namespace report

#endif
