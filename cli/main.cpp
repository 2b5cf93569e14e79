// tarvo: the nodes of a whole site from the command line, on the engine the
// window uses. Data on standard output, messages on standard error; exit
// code 0 when everything asked succeeded, 1 when anything failed, 2 for a
// usage error. docs/CLI.md is the reference.

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/metrics.h"
#include "cli/output.h"
#include "link/trace.h"

#include "tarvo_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

struct CommandSyntax {
    const char *name;
    const char *synopsis; // operands and the command's own options
    const char *about;
    int minOperands, maxOperands; // -1: any number
    bool allowsAll;               // NODE... may be replaced by --all
};

const CommandSyntax commands[] = {
    {"search", "search [--csv]", "Lists the nodes that answer discovery: serial, label, address, firmware, device "
                                 "name, MAC address and whether it runs its application or its boot loader.",
     0, 0, false},
    {"show", "show NODE", "Shows one node: its discovery record and its configuration.", 1, 1, false},
    {"config get", "config get NODE [-o FILE]",
     "Writes the node's configuration as JSON to standard output, or whole to FILE.", 1, 1, false},
    {"config set", "config set NODE FILE",
     "Writes the configuration in FILE to the node, after the checks of the window's Set. Nothing is sent when a "
     "check fails.",
     2, 2, false},
    {"default", "default NODE", "Restores the node's factory configuration.", 1, 1, false},
    {"backup", "backup DIR (NODE...|--all)",
     "Writes each node's configuration to DIR/SERIAL.json, each file whole. DIR is created when missing.", 1, -1, true},
    {"restore", "restore DIR (NODE...|--all) [--with-network]",
     "Writes DIR/SERIAL.json back to each node, one SetConfig per node. A node keeps its network settings unless "
     "--with-network. Every file is checked before any node is written; with --all, nodes without a file are "
     "skipped.",
     1, -1, true},
    {"upgrade", "upgrade FILE (NODE...|--all) [--parallel N] [--allow-same-version]",
     "Upgrades the nodes' firmware from an upgrade file, up to N nodes at once (default: all, at most 64), and "
     "verifies that each restarted node reports the file's version. A node already at that version is skipped.",
     1, -1, true},
    {"run", "run NODE...", "Starts the application of nodes that run their boot loader.", 1, -1, false},
    {"metrics", "metrics [-o FILE] [--state FILE] [--forget-after DURATION]",
     "Searches once and writes the nodes in Prometheus's text format, for node_exporter's textfile collector: "
     "tarvo_node_up and tarvo_node_info per node, and figures of the search. A node seen before that no longer "
     "answers is reported down until it is forgotten.",
     0, 0, false},
};

const char *const nodeHelp =
    "NODE is a serial number, an IPv4 address or an exact label; a label that several nodes share is refused.";

const CommandSyntax *findCommand(const QString &name)
{
    for (const CommandSyntax &c : commands)
        if (name == QLatin1String(c.name))
            return &c;
    return nullptr;
}

// Options every command takes, before or after the command's name.
QList<QCommandLineOption> globalOptions()
{
    return {
        {QStringLiteral("interface"),
         QStringLiteral("The workstation's IPv4 address on the nodes' network; needed when it has several."),
         QStringLiteral("ADDR")},
        {QStringLiteral("timeout"),
         QStringLiteral("How long nodes have to answer discovery, a connection or a request (default 1000); "
                        "an upgraded node has 30 times as long to come back."),
         QStringLiteral("MS")},
        {QStringLiteral("json"), QStringLiteral("Data as JSON.")},
        {QStringLiteral("verbose"), QStringLiteral("Trace lines on standard error.")},
    };
}

QList<QCommandLineOption> commandOptions(const QString &name)
{
    if (name == QLatin1String("search"))
        return {{QStringLiteral("csv"), QStringLiteral("Data as CSV.")}};
    if (name == QLatin1String("config get"))
        return {{{QStringLiteral("o"), QStringLiteral("output")}, QStringLiteral("Write to FILE."), QStringLiteral("FILE")}};
    if (name == QLatin1String("metrics"))
        return metricsOptions();
    QList<QCommandLineOption> o;
    if (findCommand(name) && findCommand(name)->allowsAll)
        o.append({QStringLiteral("all"), QStringLiteral("Every node that answers.")});
    if (name == QLatin1String("restore"))
        o.append({QStringLiteral("with-network"), QStringLiteral("Also restore the IP address, mask and gateway.")});
    if (name == QLatin1String("upgrade")) {
        o.append({QStringLiteral("parallel"), QStringLiteral("Nodes at once, 1 to 64 (default: all, at most 64)."),
                  QStringLiteral("N")});
        o.append({QStringLiteral("allow-same-version"), QStringLiteral("Upgrade nodes already at the file's version.")});
    }
    return o;
}

// The options part of Qt's help text, under our own usage line.
QString optionsText(QCommandLineParser &parser)
{
    QString text = parser.helpText();
    const int at = int(text.indexOf(QLatin1String("Options:")));
    text = at < 0 ? QString() : text.mid(at);
    return text.left(int(text.indexOf(QLatin1String("\nArguments:")))).trimmed();
}

// Words to lines of at most 79 characters, as Qt lays out the options.
QString wrapped(const QString &text)
{
    QString out, line;
    for (const QString &word : text.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && line.size() + 1 + word.size() > 79) {
            out += line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    return out + line;
}

QString commandHelp(const CommandSyntax &c, QCommandLineParser &parser)
{
    return QStringLiteral("Usage: tarvo [options] %1\n\n%2\n\n%3")
        .arg(QLatin1String(c.synopsis),
             wrapped(QLatin1String(c.about) +
                     (QByteArray(c.synopsis).contains("NODE") ? QStringLiteral(" ") + QLatin1String(nodeHelp) : QString())),
             optionsText(parser));
}

QString programHelp(QCommandLineParser &parser)
{
    QString text = QStringLiteral("Usage: tarvo [--interface ADDR] [--timeout MS] [--json] COMMAND ...\n\n"
                                  "Finds, configures, backs up and upgrades Tarvo DMX nodes.\n\nCommands:\n");
    for (const CommandSyntax &c : commands)
        text += QStringLiteral("  ") + QLatin1String(c.synopsis) + QLatin1Char('\n');
    text += QStringLiteral("\n%1\n\n%2")
                .arg(wrapped(QLatin1String(nodeHelp) +
                             QStringLiteral(" 'tarvo COMMAND --help' describes a command; docs/CLI.md and tarvo(1) are "
                                            "the reference.")),
                     optionsText(parser));
    return text;
}

int usage(const QString &error, const QString &help)
{
    out::message(QStringLiteral("tarvo: ") + error);
    out::message(help);
    return UsageError;
}

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !verbose)
        return;
    out::message(message);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVO_VERSION));
    qInstallMessageHandler(messageHandler);
    // The engine's traces would bury the output: they are shown on request,
    // each with the node it concerns, so that many nodes at once can be
    // told apart. Warnings (replies lost, a full list) are always shown.
    setTraceSink([](const TraceLine &line) {
        if (!verbose && line.level != TraceLevel::Warning)
            return;
        out::message(line.node.isEmpty() ? line.text : line.node + QStringLiteral(": ") + line.text);
    });
    Interrupts::instance().install();

    // First the options before the command; the rest is the command's.
    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    top.addOptions(globalOptions());
    const QCommandLineOption help = top.addHelpOption();
    const QCommandLineOption version = top.addVersionOption();
    top.addPositionalArgument(QStringLiteral("command"), QString());
    if (!top.parse(QCoreApplication::arguments()))
        return usage(top.errorText(), programHelp(top));
    if (top.isSet(version)) {
        out::data(QStringLiteral("tarvo ") + QCoreApplication::applicationVersion());
        return Success;
    }
    QStringList rest = top.positionalArguments();
    if (rest.isEmpty()) {
        if (top.isSet(help)) {
            out::data(programHelp(top));
            return Success;
        }
        return usage(QStringLiteral("no command given"), programHelp(top));
    }

    QString name = rest.takeFirst();
    if (name == QLatin1String("config") && !rest.isEmpty() && !rest.first().startsWith(QLatin1Char('-')))
        name += QLatin1Char(' ') + rest.takeFirst();
    const CommandSyntax *syntax = findCommand(name);
    if (name == QLatin1String("config")) {
        if (top.isSet(help) || rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h"))) {
            out::data(programHelp(top));
            return Success;
        }
        return usage(QStringLiteral("config takes get or set"), programHelp(top));
    }
    if (!syntax)
        return usage(QStringLiteral("unknown command: ") + name, programHelp(top));

    QCommandLineParser parser;
    parser.addOptions(globalOptions());
    parser.addOptions(commandOptions(name));
    parser.addHelpOption();
    if (!parser.parse(QStringList{QStringLiteral("tarvo")} + rest))
        return usage(parser.errorText(), commandHelp(*syntax, parser));
    if (top.isSet(help) || parser.isSet(QStringLiteral("help"))) {
        out::data(commandHelp(*syntax, parser));
        return Success;
    }

    Request r;
    r.command = name;
    r.operands = parser.positionalArguments();
    const auto value = [&](const QString &option) {
        return parser.isSet(option) ? parser.value(option) : top.isSet(option) ? top.value(option) : QString();
    };
    // Names of the options given; a command's own are only in its parser.
    const QStringList given = parser.optionNames() + top.optionNames();
    r.interface = value(QStringLiteral("interface"));
    r.json = given.contains(QStringLiteral("json"));
    r.verbose = verbose = given.contains(QStringLiteral("verbose"));
    r.csv = given.contains(QStringLiteral("csv"));
    r.all = given.contains(QStringLiteral("all"));
    r.withNetwork = given.contains(QStringLiteral("with-network"));
    r.allowSameVersion = given.contains(QStringLiteral("allow-same-version"));
    if (name == QLatin1String("config get"))
        r.output = parser.value(QStringLiteral("output"));
    if (name == QLatin1String("metrics")) {
        r.output = parser.value(QStringLiteral("output"));
        r.state = parser.value(QStringLiteral("state"));
        r.forgetAfter = parser.value(QStringLiteral("forget-after"));
    }

    const QString commandText = commandHelp(*syntax, parser);
    if (!value(QStringLiteral("timeout")).isEmpty()) {
        bool ok = false;
        r.timeoutMs = value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || r.timeoutMs < 1 || r.timeoutMs > 600000)
            return usage(QStringLiteral("--timeout must be a whole number of milliseconds from 1 to 600000"), commandText);
    }
    if (name == QLatin1String("upgrade") && parser.isSet(QStringLiteral("parallel"))) {
        bool ok = false;
        r.parallel = parser.value(QStringLiteral("parallel")).toInt(&ok);
        if (!ok || r.parallel < 1 || r.parallel > Request::MaxParallel)
            return usage(QStringLiteral("--parallel must be a whole number from 1 to %1").arg(int(Request::MaxParallel)),
                         commandText);
    }

    // Operands: the fixed ones, then the nodes, or --all in their place.
    const int count = int(r.operands.size());
    if (syntax->allowsAll) {
        if (r.all && count != syntax->minOperands)
            return usage(QStringLiteral("name nodes or give --all, not both"), commandText);
        if (!r.all && count <= syntax->minOperands)
            return usage(QStringLiteral("name at least one node, or give --all"), commandText);
    } else if (count < syntax->minOperands || (syntax->maxOperands >= 0 && count > syntax->maxOperands)) {
        return usage(QStringLiteral("wrong number of operands"), commandText);
    }

    const int code = runCommand(r);
    if (code == UsageError)
        out::message(commandText);
    return code;
}
