#ifndef TARVO_CLI_COMMANDS_H
#define TARVO_CLI_COMMANDS_H

#include <QString>
#include <QStringList>

enum ExitCode { Success = 0, Failure = 1, UsageError = 2, Interrupted = 130 };

// A command line that passed the parser: the command and its operands,
// with every option's value.
struct Request {
    QString command; // "search", "show", "config get", "config set", ...
    QStringList operands;
    QString interface;                                   // a name or an address
    QString interfaceFrom = QStringLiteral("--interface"); // or TARVO_INTERFACE
    int timeoutMs = 1000;
    int parallel = DefaultParallel;
    bool json = false, csv = false, verbose = false, quiet = false;
    bool all = false, withNetwork = false, allowSameVersion = false, allowDowngrade = false;
    bool dryRun = false, yes = false;
    QString match = QStringLiteral("serial"); // restore: serial, label or address
    QString output;                           // config get -o, metrics -o
    QString state;                            // metrics --state
    QString forgetAfter = QStringLiteral("7d"); // metrics --forget-after, as given

    enum : int {
        // A cautious batch: a site's switch and the operator's terminal
        // follow what happens.
        DefaultParallel = 8,
        // How many nodes at once the engine was measured to carry (the
        // scale benchmark); the open-file limit is raised to match.
        MaxParallel = 1000,
        VerifyBoundFactor = 30, // verification waits 30 x --timeout
    };
};

// Runs the command; returns its exit code. A usage error found only here
// (the --interface rule, metrics' --forget-after) returns UsageError after
// its message.
int runCommand(const Request &request);

#endif
