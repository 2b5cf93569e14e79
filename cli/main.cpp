// tarvo: the nodes of a whole site from the command line, on the engine the
// window uses. Data on standard output, messages on standard error; exit
// code 0 when everything asked succeeded, 1 when anything failed, 2 for a
// usage error, 130 when interrupted. docs/CLI.md is the reference.

#include "cli/commands.h"
#include "cli/interrupts.h"
#include "cli/output.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include "tarvo_version.h"

#include <QCommandLineParser>
#include <QRegularExpression>
#include <algorithm>
#include <QCoreApplication>
#include <sys/resource.h>

namespace {

const char *const nodeHelp =
    "NODE is an IPv4 address (the node that answers from it), a serial number or an exact label; a name that "
    "fits several nodes is refused. A write to several nodes shows its plan and asks first on a terminal.";

// The command a mistyped name was probably meant to be: the nearest by
// edits, if it is near enough.
QString nearestCommand(const QString &name)
{
    const auto distance = [](const QString &a, const QString &b) {
        QVector<int> row(b.size() + 1);
        for (int j = 0; j <= b.size(); ++j)
            row[j] = j;
        for (int i = 1; i <= a.size(); ++i) {
            int diagonal = row[0];
            row[0] = i;
            for (int j = 1; j <= b.size(); ++j) {
                const int above = row[j];
                row[j] = qMin(qMin(row[j] + 1, row[j - 1] + 1), diagonal + (a[i - 1] == b[j - 1] ? 0 : 1));
                diagonal = above;
            }
        }
        return row[b.size()];
    };
    QString best;
    int bestDistance = 3; // more edits than this is another word
    for (const Command &c : commandTable()) {
        for (const QString &candidate : {QString::fromLatin1(c.name), QString::fromLatin1(c.name).section(' ', -1)}) {
            const int d = distance(name.left(32), candidate);
            if (d < bestDistance) {
                bestDistance = d;
                best = QLatin1String(c.name);
            }
        }
    }
    return best;
}

// Options every command takes, before or after the command's name.
QList<QCommandLineOption> globalOptions()
{
    return {
        {QStringLiteral("interface"),
         QStringLiteral("The workstation's interface (eth1) or IPv4 address on the nodes' network; needed when it has "
                        "several. Default: $TARVO_INTERFACE."),
         QStringLiteral("NAME|ADDR")},
        {QStringLiteral("timeout"),
         QStringLiteral("How long nodes have to answer discovery, a connection or a request (default 1000); "
                        "an upgraded or moved node has 30 times as long to show itself."),
         QStringLiteral("MS")},
        {QStringLiteral("json"), QStringLiteral("Data as JSON: one object with a format and a version (tarvo(1)).")},
        {{QStringLiteral("q"), QStringLiteral("quiet")}, QStringLiteral("Only data, errors and warnings.")},
        {QStringLiteral("verbose"), QStringLiteral("The engine's trace lines on standard error.")},
        {{QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("This help.")},
        {{QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("The version.")},
    };
}

// Options of the commands that write; they may stand before the command's
// name too, as scripts give them.
QList<QCommandLineOption> writeOptions()
{
    return {
        {QStringLiteral("dry-run"), QStringLiteral("Show the plan (nodes, changes, versions); send nothing.")},
        {QStringLiteral("yes"), QStringLiteral("Do not ask before writing to several nodes.")},
        {QStringLiteral("parallel"),
         QStringLiteral("Nodes at once, 1 to %1 (default %2).").arg(int(Request::MaxParallel)).arg(int(Request::DefaultParallel)),
         QStringLiteral("N")},
    };
}

QCommandLineOption csvOption()
{
    return {QStringLiteral("csv"),
            QStringLiteral("Tables as CSV: a header row, fields quoted as RFC 4180 has it, lines ending in LF.")};
}

QList<QCommandLineOption> commandOptions(const Command &c)
{
    QList<QCommandLineOption> o;
    if (c.options)
        o.append(c.options());
    if (printsTable(c))
        o.append(csvOption());
    if (c.nodes < 0)
        o.append({QStringLiteral("all"), QStringLiteral("Every node that answers.")});
    if (c.writes)
        o.append(writeOptions());
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

QString usageLine(const Command &c)
{
    return QStringLiteral("Usage: tarvo [options] ") + QLatin1String(c.synopsis);
}

QString commandHelp(const Command &c)
{
    QCommandLineParser parser;
    parser.addOptions(globalOptions());
    parser.addOptions(commandOptions(c));
    return QStringLiteral("%1\n\n%2\n\n%3")
        .arg(usageLine(c),
             wrapped(QLatin1String(c.about) +
                     (QByteArray(c.synopsis).contains("NODE") ? QStringLiteral(" ") + QLatin1String(nodeHelp) : QString())),
             optionsText(parser));
}

QString programHelp()
{
    QCommandLineParser parser;
    parser.addOptions(globalOptions());
    QString text = QStringLiteral("Usage: tarvo [options] COMMAND ...\n\n"
                                  "Finds, configures, backs up and upgrades Tarvo DMX nodes.\n\nCommands:\n");
    for (const Command &c : commandTable())
        text += QStringLiteral("  ") + QLatin1String(c.synopsis) + QLatin1Char('\n');
    text += QStringLiteral("  help [COMMAND]\n\n%1\n\n%2")
                .arg(wrapped(QLatin1String(nodeHelp) +
                             QStringLiteral(" The commands that write take --dry-run (the plan, nothing sent), --yes "
                                            "and --parallel N; every command that prints a table takes --csv. 'tarvo "
                                            "help COMMAND' describes a command; tarvo(1) is the reference.")),
                     optionsText(parser));
    return text;
}

// An option as typed: "--bogus", "-x".
QString dashed(const QString &name)
{
    return (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + printable(name.toUtf8());
}

// Qt's parser says "Unknown option 'bogus'."; tarvo words it as its other
// messages are, with the option as it is typed.
QString parserError(const QCommandLineParser &parser)
{
    QStringList unknown;
    for (const QString &name : parser.unknownOptionNames())
        unknown.append(dashed(name));
    if (!unknown.isEmpty())
        return (unknown.size() == 1 ? QStringLiteral("unknown option ") : QStringLiteral("unknown options ")) +
            unknown.join(QStringLiteral(", "));
    // Its other errors quote the argument as given, dashes and all.
    static const QRegularExpression valueError(QStringLiteral("^(Missing|Unexpected) value after '(.*)'\\.$"));
    const QString error = parser.errorText();
    const QRegularExpressionMatch m = valueError.match(error);
    if (m.hasMatch())
        return printable(m.captured(2).toUtf8()) +
            (m.captured(1) == QLatin1String("Missing") ? QStringLiteral(" needs a value") : QStringLiteral(" takes no value"));
    QString plain = printable(error.toUtf8());
    if (plain.endsWith(QLatin1Char('.')))
        plain.chop(1);
    return plain.isEmpty() ? plain : plain.left(1).toLower() + plain.mid(1);
}

// The first operand word of a command's synopsis other than NODE: DIR, FILE.
QString fixedOperandName(const Command &c)
{
    static const QRegularExpression word(QStringLiteral("\\b(?!NODE)[A-Z]{3,}\\b"));
    return word.match(QLatin1String(c.synopsis)).captured(0);
}

// A usage error: what was wrong, the usage line and where help is.
int usage(const QString &error, const Command *c = nullptr)
{
    out::message(QStringLiteral("tarvo: ") + error);
    if (c) {
        out::message(usageLine(*c));
        out::message(QStringLiteral("Try 'tarvo %1 --help' for more.").arg(QLatin1String(c->name)));
    } else {
        out::message(QStringLiteral("Usage: tarvo [options] COMMAND ...\nTry 'tarvo --help' for more."));
    }
    return UsageError;
}

int unknownCommand(const QString &name)
{
    const QString near = nearestCommand(name);
    return usage(QStringLiteral("unknown command '%1'%2")
                     .arg(printable(name.toLatin1()),
                          near.isEmpty() ? QString() : QStringLiteral("; did you mean '%1'?").arg(near)));
}

bool verbose = false;

void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !verbose)
        return;
    out::message(message);
}

// Each node at work holds a connection: the soft limit of open files goes
// up to what --parallel may need, where the hard limit allows.
void raiseOpenFileLimit()
{
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return;
    const rlim_t wanted = rlim_t(Request::MaxParallel) * 2 + 256;
    if (limit.rlim_cur >= wanted)
        return;
    limit.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : qMin(wanted, limit.rlim_max);
    setrlimit(RLIMIT_NOFILE, &limit);
}

// "config" and its word, or the command's name.
QString takeCommandName(QStringList &rest)
{
    QString name = rest.takeFirst();
    if (name == QLatin1String("config") && !rest.isEmpty() && !rest.first().startsWith(QLatin1Char('-')))
        name += QLatin1Char(' ') + rest.takeFirst();
    return name;
}

int parseAndRun()
{
    // First the options before the command; the rest is the command's.
    QCommandLineParser top;
    top.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsPositionalArguments);
    top.addOptions(globalOptions());
    top.addOptions(writeOptions());
    top.addPositionalArgument(QStringLiteral("command"), QString());
    top.addOption(csvOption());
    if (!top.parse(QCoreApplication::arguments()))
        return usage(parserError(top));
    if (top.isSet(QStringLiteral("version"))) {
        out::data(QStringLiteral("tarvo ") + QCoreApplication::applicationVersion());
        return Success;
    }
    QStringList rest = top.positionalArguments();
    if (rest.isEmpty()) {
        if (top.isSet(QStringLiteral("help"))) {
            out::data(programHelp());
            return Success;
        }
        return usage(QStringLiteral("no command given"));
    }

    QString name = takeCommandName(rest);
    if (name == QLatin1String("help")) {
        if (rest.isEmpty()) {
            out::data(programHelp());
            return Success;
        }
        const QString about = takeCommandName(rest);
        if (const Command *c = findCommand(about)) {
            out::data(commandHelp(*c));
            return Success;
        }
        return about == QLatin1String("config") ? usage(QStringLiteral("config takes get or set")) : unknownCommand(about);
    }
    if (name == QLatin1String("config")) {
        if (top.isSet(QStringLiteral("help")) || rest.contains(QStringLiteral("--help")) || rest.contains(QStringLiteral("-h"))) {
            out::data(programHelp());
            return Success;
        }
        return usage(QStringLiteral("config takes get or set"));
    }
    const Command *syntax = findCommand(name);
    if (!syntax)
        return unknownCommand(name);

    QCommandLineParser parser;
    parser.addOptions(globalOptions());
    parser.addOptions(commandOptions(*syntax));
    if (!parser.parse(QStringList{QStringLiteral("tarvo")} + rest)) {
        // An option of other commands is named as such, not as unknown.
        for (const QString &name : parser.unknownOptionNames()) {
            if (name == QLatin1String("csv"))
                return usage(QStringLiteral("--csv is for the commands that print a table"), syntax);
            for (const QCommandLineOption &o : writeOptions())
                if (o.names().contains(name))
                    return usage(QStringLiteral("--%1 is for the commands that write").arg(name), syntax);
        }
        return usage(parserError(parser), syntax);
    }
    if (top.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help"))) {
        out::data(commandHelp(*syntax));
        return Success;
    }
    if (!syntax->writes)
        for (const QCommandLineOption &o : writeOptions())
            if (top.isSet(o))
                return usage(QStringLiteral("--%1 is for the commands that write").arg(o.names().first()), syntax);
    if (!printsTable(*syntax) && top.isSet(QStringLiteral("csv")))
        return usage(QStringLiteral("--csv is for the commands that print a table"), syntax);

    Request r;
    r.command = name;
    r.operands = parser.positionalArguments();
    // Names of the options given; a command's own are only in its parser.
    const QStringList given = parser.optionNames() + top.optionNames();
    const auto value = [&](const QString &option) {
        return parser.isSet(option) ? parser.value(option) : top.isSet(option) ? top.value(option) : QString();
    };
    const auto isSet = [&given](const char *option) { return given.contains(QLatin1String(option)); };
    r.interface = value(QStringLiteral("interface"));
    if (!isSet("interface") && qEnvironmentVariableIsSet("TARVO_INTERFACE")) {
        r.interface = qEnvironmentVariable("TARVO_INTERFACE");
        r.interfaceFrom = QStringLiteral("TARVO_INTERFACE");
    }
    r.json = isSet("json");
    r.verbose = verbose = isSet("verbose");
    r.quiet = isSet("quiet") || isSet("q");
    out::setQuiet(r.quiet);
    r.csv = isSet("csv");
    r.all = isSet("all");
    r.withNetwork = isSet("with-network");
    r.withLabel = isSet("with-label");
    if (isSet("set"))
        r.sets = parser.values(QStringLiteral("set"));
    r.allowSameVersion = isSet("allow-same-version");
    r.allowDowngrade = isSet("allow-downgrade");
    r.skipNewer = isSet("skip-newer");
    if (r.allowDowngrade && r.skipNewer)
        return usage(QStringLiteral("--allow-downgrade and --skip-newer exclude each other"), syntax);
    r.dryRun = isSet("dry-run");
    r.yes = isSet("yes");
    // A command's own options, by any of their names (-o is --output).
    const QList<QCommandLineOption> own = commandOptions(*syntax);
    const auto ownValue = [&](const char *option, QString *into) {
        const QString name = QLatin1String(option);
        if (std::any_of(own.cbegin(), own.cend(), [&](const QCommandLineOption &o) { return o.names().contains(name); }) &&
            parser.isSet(name))
            *into = parser.value(name);
    };
    ownValue("output", &r.output);
    ownValue("state", &r.state);
    ownValue("forget-after", &r.forgetAfter);
    ownValue("expect", &r.expect);

    if (r.csv && r.json)
        return usage(QStringLiteral("--csv and --json exclude each other"), syntax);
    if (isSet("timeout")) {
        bool ok = false;
        r.timeoutMs = value(QStringLiteral("timeout")).toInt(&ok);
        if (!ok || r.timeoutMs < 1 || r.timeoutMs > 600000)
            return usage(QStringLiteral("--timeout must be a whole number of milliseconds from 1 to 600000"), syntax);
    }
    if (isSet("parallel")) {
        bool ok = false;
        r.parallel = value(QStringLiteral("parallel")).toInt(&ok);
        if (!ok || r.parallel < 1 || r.parallel > Request::MaxParallel)
            return usage(QStringLiteral("--parallel must be a whole number from 1 to %1").arg(int(Request::MaxParallel)),
                         syntax);
    }
    if (isSet("match")) {
        const QString match = parser.value(QStringLiteral("match"));
        bool known = false;
        for (const Match m : {Match::Serial, Match::Label, Match::Address})
            if (match == matchWord(m)) {
                r.match = m;
                known = true;
            }
        if (!known)
            return usage(QStringLiteral("--match takes serial, label or address"), syntax);
    }

    // Operands: the fixed ones and the nodes, or --all in the nodes' place;
    // an option may stand in for the fixed ones (config set's --set).
    const int count = int(r.operands.size());
    const bool instead = syntax->insteadOfOperands && isSet(syntax->insteadOfOperands);
    const int fixed = instead ? 0 : syntax->fixedOperands;
    const QString fixedName = fixedOperandName(*syntax);
    // config set's FILE may be given as --set KEY=VALUE instead.
    QString orInstead;
    for (const QCommandLineOption &o : commandOptions(*syntax))
        if (syntax->insteadOfOperands && o.names().contains(QLatin1String(syntax->insteadOfOperands)))
            orInstead = QStringLiteral(" (or --%1 %2)").arg(o.names().first(), o.valueName());
    if (syntax->nodes < 0) {
        if (r.all && count > fixed)
            return usage(QStringLiteral("name nodes or give --all, not both"), syntax);
        if (r.all && count < fixed)
            return usage(QStringLiteral("missing ") + fixedName + orInstead, syntax);
        if (!r.all && count == 0 && fixed > 0)
            return usage(QStringLiteral("missing %1%2, and name at least one node or give --all").arg(fixedName, orInstead),
                         syntax);
        // One word where config set takes nodes and then a file: either is missing.
        if (!r.all && count <= fixed)
            return usage(fixed > 0 && !orInstead.isEmpty()
                             ? QStringLiteral("name at least one node (or give --all) and then %1%2").arg(fixedName, orInstead)
                             : QStringLiteral("name at least one node, or give --all"),
                         syntax);
    } else if (count < syntax->fixedOperands + syntax->nodes) {
        return usage(QStringLiteral("missing NODE"), syntax);
    } else if (count > syntax->fixedOperands + syntax->nodes) {
        return usage(QStringLiteral("unexpected operand '%1'")
                         .arg(printable(r.operands.at(syntax->fixedOperands + syntax->nodes).toUtf8())),
                     syntax);
    }
    const int code = syntax->run(r);
    if (code == UsageError)
        out::message(QStringLiteral("Try 'tarvo %1 --help' for more.").arg(name));
    return code;
}

} // namespace

int main(int argc, char *argv[])
{
    // Qt's own event dispatcher rather than GLib's: with hundreds of
    // connections it turns the write notifiers on and off at a quarter of
    // the cost (docs/PERFORMANCE.md). A choice made in the environment stays.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvo"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVO_VERSION));
    qInstallMessageHandler(messageHandler);
    raiseOpenFileLimit();
    // The engine's traces would bury the output: they are shown on request,
    // each with the node it concerns, so that many nodes at once can be
    // told apart. Warnings (replies lost, a full list) are always shown.
    setTraceSink([](const TraceLine &line) {
        if (!verbose && line.level != TraceLevel::Warning)
            return;
        out::message(line.node.isEmpty() ? line.text : line.node + QStringLiteral(": ") + line.text);
    });
    Interrupts::instance().install();

    int code = parseAndRun();
    // The last connections closed are left to end as the nodes close them.
    NodeSession::settle(SessionOptions().lingerMs);
    // Data that did not reach standard output is a failure, whatever else went well.
    if (const QString error = out::dataError(); !error.isEmpty()) {
        out::message(QStringLiteral("tarvo: cannot write standard output: ") + error);
        if (code == Success)
            code = Failure;
    }
    return code;
}
