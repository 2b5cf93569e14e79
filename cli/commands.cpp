#include "cli/commands.h"

#include "cli/check.h"
#include "cli/metrics.h"

namespace {

QList<QCommandLineOption> searchOptions()
{
    return {{QStringLiteral("csv"), QStringLiteral("Data as CSV.")}};
}

QList<QCommandLineOption> outputOptions()
{
    return {{{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Write to FILE."), QStringLiteral("FILE")}};
}

QList<QCommandLineOption> restoreOptions()
{
    return {
        {QStringLiteral("match"),
         QStringLiteral("Which backup a node takes: the one of its serial (default), its label or its address."),
         QStringLiteral("serial|label|address")},
        {QStringLiteral("with-network"), QStringLiteral("Also restore the IP address, mask and gateway.")},
    };
}

QList<QCommandLineOption> upgradeOptions()
{
    return {
        {QStringLiteral("allow-same-version"), QStringLiteral("Upgrade nodes already at the file's version.")},
        {QStringLiteral("allow-downgrade"), QStringLiteral("Upgrade nodes whose firmware is newer than the file's.")},
    };
}

} // namespace

QString matchWord(Match match)
{
    switch (match) {
    case Match::Serial:
        return QStringLiteral("serial");
    case Match::Label:
        return QStringLiteral("label");
    case Match::Address:
        return QStringLiteral("address");
    }
    return QString();
}

const QList<Command> &commandTable()
{
    static const QList<Command> table{
        {"search", "search [--csv]",
         "Lists the nodes that answer discovery: serial, label, address, firmware, device name, MAC address and whether "
         "it runs its application or its boot loader. A serial that several nodes report is marked with *.",
         0, 0, false, searchOptions, search},
        {"check", "check",
         "Searches once and lists every problem the replies show, each with its severity, the nodes it concerns and "
         "what to do: errors (two nodes on one address, a node on this workstation's address, a node outside its "
         "network), warnings (a record naming another address, a mask or gateway that does not fit, a serial, MAC "
         "address or label on several nodes) and notes (boot loaders, several firmware versions, replies lost). Exit "
         "code 1 when there is an error.",
         0, 0, false, nullptr, check},
        {"show", "show NODE", "Shows one node: its discovery record and its configuration.", 0, 1, false, nullptr, show},
        {"config get", "config get NODE [-o FILE]",
         "Writes the node's configuration as JSON to standard output, or whole to FILE ('-': standard output).", 0, 1,
         false, outputOptions, configGet},
        {"config set", "config set (NODE...|--all) FILE",
         "Writes the configuration in FILE ('-': standard input) to the nodes, after the checks of the window's Set. "
         "Nothing is sent when a check fails. Written to several nodes, the file leaves each node's network settings "
         "as they are.",
         1, -1, true, nullptr, configSet},
        {"default", "default (NODE...|--all)", "Restores the nodes' factory configuration.", 0, -1, true, nullptr,
         factoryDefault},
        {"backup", "backup DIR (NODE...|--all)",
         "Writes each node's configuration to DIR/SERIAL.json, each file whole. DIR is created when missing; a "
         "symbolic link in DIR is not written through.",
         1, -1, true, nullptr, backup},
        {"restore", "restore DIR (NODE...|--all) [--match serial|label|address] [--with-network]",
         "Writes the backups in DIR back, one SetConfig per node. Each node takes the backup that fits it by serial "
         "(its file name), or by label or address with --match: a replaced node takes its predecessor's. A node keeps "
         "its network settings unless --with-network. Every file is checked before any node is written; with --all, "
         "a backup whose node does not answer is reported missing.",
         1, -1, true, restoreOptions, restore},
        {"upgrade", "upgrade FILE (NODE...|--all) [--allow-same-version] [--allow-downgrade]",
         "Upgrades the nodes' firmware from an upgrade file ('-': standard input) and verifies that each restarted "
         "node reports the file's version. A node already at that version is skipped; an older file is refused.",
         1, -1, true, upgradeOptions, upgrade},
        {"run", "run (NODE...|--all)", "Starts the application of nodes that run their boot loader.", 0, -1, true,
         nullptr, run},
        {"metrics", "metrics [-o FILE] [--state FILE] [--forget-after DURATION]",
         "Searches once and writes the nodes in Prometheus's text format, for node_exporter's textfile collector: "
         "tarvo_node_up and tarvo_node_info per node, and figures of the search. A node seen before that no longer "
         "answers is reported down until it is forgotten.",
         0, 0, false, metricsOptions, metrics},
    };
    return table;
}

const Command *findCommand(const QString &name)
{
    for (const Command &c : commandTable())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}
