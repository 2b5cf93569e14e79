#ifndef TARVO_CLI_COMMANDS_H
#define TARVO_CLI_COMMANDS_H

#include "engine/engineoptions.h"

#include <QCommandLineOption>
#include <QList>
#include <QString>
#include <QStringList>

enum ExitCode { Success = 0, Failure = 1, UsageError = 2, Interrupted = 130 };

// Which backup a node takes in a restore.
enum class Match { Serial, Label, Address };
QString matchWord(Match match);

// A command line that passed the parser: the command and its operands,
// with every option's value.
struct Request {
    QString command; // "search", "show", "config get", "config set", ...
    QStringList operands;
    QString interface;                                   // a name or an address
    QString interfaceFrom = QStringLiteral("--interface"); // or TARVO_INTERFACE
    int timeoutMs = EngineOptions().operation.replyTimeoutMs; // --timeout
    int parallel = DefaultParallel;
    bool json = false, csv = false, verbose = false, quiet = false;
    bool all = false, withNetwork = false, withLabel = false, allowSameVersion = false, allowDowngrade = false,
         skipNewer = false;
    QStringList sets; // config set --set KEY=VALUE, in order
    bool dryRun = false, yes = false;
    Match match = Match::Serial;              // restore
    QString output;                           // config get -o, metrics -o
    QString state;                            // metrics --state
    QString forgetAfter = QStringLiteral("7d"); // metrics --forget-after, as given
    QString expect;                           // metrics --expect

    enum : int {
        // A cautious batch: a site's switch and the operator's terminal
        // follow what happens.
        DefaultParallel = 8,
        // How many nodes at once the engine was measured to carry (the
        // scale benchmark); the open-file limit is raised to match.
        MaxParallel = 1000,
    };
};

// The one table of tarvo's commands: how each is called, what it says of
// itself, its own options, and what runs it. Each handler returns the exit
// code; a usage error found only while it runs (the --interface rule,
// metrics' --forget-after) returns UsageError after its message.
struct Command {
    const char *name;     // "search", "config get"
    const char *synopsis; // operands and the command's own options
    const char *about;
    int fixedOperands; // before the nodes (DIR, FILE); config set's FILE comes after them
    int nodes;         // 0: none, 1: exactly one, -1: one or more, or --all
    // An option that stands in for the fixed operands (config set's --set).
    const char *insteadOfOperands;
    bool writes;       // takes --dry-run, --yes and --parallel
    QList<QCommandLineOption> (*options)(); // its own options, or none
    int (*run)(const Request &request);
};

const QList<Command> &commandTable();
const Command *findCommand(const QString &name);
// Whether the command prints a table, and so takes --csv.
bool printsTable(const Command &c);

// The handlers, one file per family: inventory.cpp, config.cpp,
// restore.cpp, upgrade.cpp, metrics.cpp.
int search(const Request &request);
int show(const Request &request);
int configGet(const Request &request);
int configSet(const Request &request);
int factoryDefault(const Request &request);
int backup(const Request &request);
int restore(const Request &request);
int upgrade(const Request &request);
int run(const Request &request);
int metrics(const Request &request);

#endif
