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
    QString interface;
    int timeoutMs = 1000;
    int parallel = 0; // 0: all at once, up to MaxParallel
    bool json = false, csv = false, verbose = false;
    bool all = false, withNetwork = false, allowSameVersion = false;
    QString output; // config get -o, metrics -o
    QString state, forgetAfter; // metrics --state, --forget-after

    enum : int {
        MaxParallel = 64,
        VerifyBoundFactor = 30, // verification waits 30 x --timeout
    };
};

// Runs the command; returns its exit code. A usage error found only here
// (the --interface rule) returns UsageError after its message.
int runCommand(const Request &request);

#endif
