#include "cli/commands.h"

#include "cli/check.h"
#include "cli/metrics.h"

namespace {

QList<QCommandLineOption> outputOptions()
{
    return {{{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Write to FILE."), QStringLiteral("FILE")}};
}

QList<QCommandLineOption> configSetOptions()
{
    return {
        {QStringLiteral("set"),
         QStringLiteral("Change this field on every node named, instead of writing a file (may be given again)."),
         QStringLiteral("KEY=VALUE")},
        {QStringLiteral("with-label"), QStringLiteral("Write the label of another node's file too.")},
        {QStringLiteral("with-network"),
         QStringLiteral("Write the network settings of another node's file too, or of one file to several nodes.")},
    };
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
        {QStringLiteral("skip-newer"),
         QStringLiteral("Skip nodes whose firmware is newer than the file's (they count as success) rather than refuse.")},
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
         0, 0, nullptr, false, nullptr, search},
        {"check", "check [--csv]",
         "Searches once and lists every problem the replies show, each with its severity, the nodes it concerns and "
         "what to do: errors (two nodes on one address, a node on this workstation's address, a node outside its "
         "network), warnings (a record naming another address, a mask or gateway that does not fit, a serial, MAC "
         "address or label on several nodes) and notes (boot loaders, several firmware versions, replies lost). Exit "
         "code 1 when there is an error.",
         0, 0, nullptr, false, nullptr, check},
        {"show", "show NODE [--csv]",
         "Shows one node: its discovery record and its configuration; with --csv, the table of its ports.", 0, 1, nullptr, false, nullptr, show},
        {"config get", "config get NODE [-o FILE]",
         "Writes the node's configuration as JSON to standard output, or whole to FILE ('-': standard output).", 0, 1,
         nullptr, false, outputOptions, configGet},
        {"config set", "config set (NODE...|--all) (FILE | --set KEY=VALUE...) [--with-label] [--with-network]",
         "Writes the configuration in FILE ('-': standard input) to the nodes, after the checks of the window's Set. "
         "Nothing is sent when a check fails. A file of another node (or of none) is a template: its ports are "
         "written, and each node keeps its own label and network settings unless --with-label or --with-network. "
         "Written to several nodes, the file leaves each node's network settings as they are. --set KEY=VALUE "
         "changes one field on every node named, each keeping every other value (label, network.ip, network.mask, "
         "network.gateway, ports[N].universe, break, mab, mbf, wait, channels, merge; N from 0 to 3, or * for all "
         "four); a number or an address ending in + counts up from node to node. No write gives two nodes one "
         "address.",
         1, -1, "set", true, configSetOptions, configSet},
        {"default", "default (NODE...|--all)", "Restores the nodes' factory configuration.", 0, -1, nullptr, true, nullptr,
         factoryDefault},
        {"backup", "backup DIR (NODE...|--all)",
         "Writes each node's configuration to DIR/SERIAL.json, each file whole. DIR is created when missing; a "
         "symbolic link in DIR is not written through.",
         1, -1, nullptr, true, nullptr, backup},
        {"restore", "restore DIR (NODE...|--all) [--match serial|label|address] [--with-network]",
         "Writes the backups in DIR back, one SetConfig per node. Each node takes the backup that fits it by serial "
         "(its file name), or by label or address with --match: a replaced node takes its predecessor's. A node keeps "
         "its network settings unless --with-network. Every file is checked before any node is written; with --all, "
         "a backup whose node does not answer is reported missing.",
         1, -1, nullptr, true, restoreOptions, restore},
        {"upgrade", "upgrade FILE (NODE...|--all) [--allow-same-version] [--allow-downgrade|--skip-newer]",
         "Upgrades the nodes' firmware from an upgrade file ('-': standard input) and verifies that each restarted "
         "node reports the file's version. A node already at that version is skipped; an older file is refused "
         "(or, with --skip-newer, the node skipped).",
         1, -1, nullptr, true, upgradeOptions, upgrade},
        {"run", "run (NODE...|--all)", "Starts the application of nodes that run their boot loader.", 0, -1, nullptr,
         true, nullptr, run},
        {"metrics", "metrics [-o FILE] [--state FILE] [--forget-after DURATION] [--expect DIR|FILE]",
         "Searches once and writes the nodes in Prometheus's text format, for node_exporter's textfile collector: "
         "tarvo_node_up and tarvo_node_info per node, and figures of the search. A node seen before that no longer "
         "answers is reported down until it is forgotten; a node the site should have (--expect: a folder of "
         "tarvo backup, or the JSON of tarvo search) that is neither seen nor remembered is reported down too.",
         0, 0, nullptr, false, metricsOptions, metrics},
    };
    return table;
}

bool printsTable(const Command &c)
{
    // Plans and summaries are tables; so are the inventory, the problems
    // and a node's ports.
    return c.writes || c.run == search || c.run == check || c.run == show;
}

const Command *findCommand(const QString &name)
{
    for (const Command &c : commandTable())
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}
