// tarvo-emulator: plays one or many DMX nodes on a test network, so that the
// configurator can be tried and tested without hardware.

#include "emulator.h"
#include "journal.h"
#include "nodewire.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QThread>
#include <cstdio>
#include <csignal>
#include <sys/prctl.h>
#include <sys/resource.h>

namespace {

const char *const description =
    "Emulates Tarvo DMX nodes: answers discovery on UDP 49999 from each node's own address and\n"
    "serves the node protocol on TCP 50000. Run it only inside a private network namespace\n"
    "(see scripts/netns-run and scripts/demo). Prints one line per event on standard output,\n"
    "starting with \"ready N\" once it listens.\n"
    "\n"
    "Node file: {\"nodes\": [ {...}, ... ]}, each node an object with the keys\n"
    "  ip        its address on the test network (required); nodes that share one all answer\n"
    "            discovery from it, and connections reach the first of them\n"
    "  label, serial, name, version   discovery texts\n"
    "  type      421 application, 666 boot loader, anything else for a faulty node\n"
    "  mac       \"02:00:5e:00:00:01\"\n"
    "  netIp, mask, gateway   the network settings it reports (default: ip, /24, 192.0.2.254)\n"
    "  status    replyStatus of its discovery reply (0 = accepted)\n"
    "  faults    object of faults, as --fault\n"
    "\n"
    "Faults (--fault NAME=VALUE, VALUE in JSON; NAME alone is NAME=true; --list-faults for a table):\n";

// "1G", "1000M", "100M", "64k" or plain bits per second; 0 for anything else.
double parseBitRate(const QString &text)
{
    static const QRegularExpression form(QRegularExpression::anchoredPattern(QStringLiteral("(\\d+(?:\\.\\d+)?)([kKmMgG]?)")));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch())
        return 0;
    const QString unit = m.captured(2).toUpper();
    const double scale = unit == QLatin1String("K") ? 1e3 : unit == QLatin1String("M") ? 1e6 : unit == QLatin1String("G") ? 1e9 : 1;
    const double rate = m.captured(1).toDouble() * scale;
    return rate >= 1e3 && rate <= 1e12 ? rate : 0;
}

quint32 addressAt(const QString &first, int i)
{
    return QHostAddress(first).toIPv4Address() + quint32(i);
}

void raiseFileLimit()
{
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        setrlimit(RLIMIT_NOFILE, &lim);
    }
}

int refuse(const QString &why)
{
    std::fprintf(stderr, "tarvo-emulator: %s\n", qPrintable(why));
    return 2;
}

int refuseFault(const QString &where, const QString &why)
{
    return refuse(where + why + QStringLiteral("\nThe known faults: ") + faultNames() + QStringLiteral(" (--help says more)."));
}

// The node file, checked before anything is built from it: its size, its
// JSON, and each node's keys and address.
QString readNodeFile(const QString &path, QJsonArray *nodes)
{
    constexpr qint64 MaxBytes = 64 * 1024 * 1024;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("cannot read %1").arg(path);
    if (file.size() > MaxBytes)
        return QStringLiteral("%1: more than %2 bytes").arg(path).arg(MaxBytes);
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(file.read(MaxBytes), &error);
    if (error.error != QJsonParseError::NoError)
        return QStringLiteral("%1: %2 at byte %3").arg(path, error.errorString()).arg(error.offset);
    const QJsonValue list = doc.object().value(QStringLiteral("nodes"));
    if (!list.isArray())
        return QStringLiteral("%1: wants {\"nodes\": [ {...}, ... ]}").arg(path);
    static const QStringList keys{QStringLiteral("ip"),     QStringLiteral("label"),   QStringLiteral("serial"),
                                  QStringLiteral("name"),   QStringLiteral("version"), QStringLiteral("type"),
                                  QStringLiteral("mac"),    QStringLiteral("netIp"),   QStringLiteral("mask"),
                                  QStringLiteral("gateway"), QStringLiteral("status"), QStringLiteral("faults")};
    for (const QJsonValue v : list.toArray()) {
        const QJsonObject d = v.toObject();
        QByteArray scratch(4, '\0');
        if (!v.isObject() || !nodewire::putAddress(scratch, 0, d.value(QStringLiteral("ip")).toString()))
            return QStringLiteral("%1: node %2 has no \"ip\" address a.b.c.d").arg(path).arg(nodes->size() + 1);
        for (auto it = d.begin(); it != d.end(); ++it)
            if (!keys.contains(it.key()))
                return QStringLiteral("%1: node %2 (%3): no key \"%4\"; the keys are %5")
                    .arg(path)
                    .arg(nodes->size() + 1)
                    .arg(d.value(QStringLiteral("ip")).toString(), it.key(), keys.join(QStringLiteral(", ")));
        if (d.contains(QStringLiteral("faults")) && !d.value(QStringLiteral("faults")).isObject())
            return QStringLiteral("%1: node %2: \"faults\" wants an object, as {\"delay-ms\": 500}").arg(path).arg(nodes->size() + 1);
        nodes->append(d);
    }
    return QString();
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
    QCoreApplication::setApplicationName(QStringLiteral("tarvo-emulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description) + faultHelp() + QStringLiteral("See docs/EMULATOR.md."));
    parser.addHelpOption();
    QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("Number of generated nodes."), QStringLiteral("N"), QStringLiteral("1"));
    QCommandLineOption firstOpt(QStringLiteral("first-ip"), QStringLiteral("Address of the first generated node; the others follow."),
                                QStringLiteral("ADDR"), QStringLiteral("192.0.2.10"));
    QCommandLineOption typeOpt(QStringLiteral("type"), QStringLiteral("Device type of generated nodes (421 or 666)."), QStringLiteral("TYPE"), QStringLiteral("421"));
    QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Firmware version of generated nodes."), QStringLiteral("TEXT"), QStringLiteral("v1.00"));
    QCommandLineOption labelOpt(QStringLiteral("label"), QStringLiteral("Label prefix of generated nodes."), QStringLiteral("TEXT"), QStringLiteral("Node"));
    QCommandLineOption fileOpt(QStringLiteral("nodes-file"), QStringLiteral("JSON file describing the nodes (see above)."), QStringLiteral("FILE"));
    QCommandLineOption faultOpt(QStringLiteral("fault"), QStringLiteral("A fault for every node (repeatable; see above)."), QStringLiteral("NAME=VALUE"));
    QCommandLineOption listOpt(QStringLiteral("list-faults"), QStringLiteral("Prints the faults as a Markdown table and exits."));
    QCommandLineOption parentOpt(QStringLiteral("exit-with-parent"), QStringLiteral("Exit when the process that started it ends (for test runners)."));
    QCommandLineOption stateOpt(QStringLiteral("state-dir"), QStringLiteral("Folder where nodes keep <address>.config and <address>.flash."), QStringLiteral("DIR"));
    QCommandLineOption rateOpt(QStringLiteral("reply-rate"),
                               QStringLiteral("Paces the discovery replies of all nodes to a link of this rate (1G, 100M, or bits per "
                                              "second) and prints \"burst COUNT MICROSECONDS\" after each burst."),
                               QStringLiteral("RATE"));
    QCommandLineOption shuffleOpt(QStringLiteral("shuffle"), QStringLiteral("Answers each search in a shuffled node order."));
    QCommandLineOption seedOpt(QStringLiteral("seed"), QStringLiteral("Seed of the shuffled order (default 1)."), QStringLiteral("N"),
                               QStringLiteral("1"));
    QCommandLineOption serialOpt(QStringLiteral("first-serial"),
                                 QStringLiteral("Serial counter of the first generated node (serials 2650NNNN; default 1)."),
                                 QStringLiteral("N"), QStringLiteral("1"));
    QCommandLineOption eachOpt(QStringLiteral("listen-each"),
                               QStringLiteral("Kept for older scripts: every node listens on its own address anyway, so that "
                                              "several emulators can serve one network."));
    QCommandLineOption threadsOpt(QStringLiteral("threads"),
                                  QStringLiteral("Worker threads serving the nodes' connections, a node always on the same one "
                                                 "(default: one per core, at most 8)."),
                                  QStringLiteral("N"));
    QCommandLineOption omitOpt(QStringLiteral("omit-events"),
                               QStringLiteral("Leaves these event lines out, e.g. rx,packet for a benchmark (default: none)."),
                               QStringLiteral("LIST"));
    QCommandLineOption journalOpt(QStringLiteral("journal"),
                                  QStringLiteral("Appends what each node really does to FILE, one JSON object a line, "
                                                 "before the reply that follows from it (docs/EMULATOR.md)."),
                                  QStringLiteral("FILE"));
    parser.addOptions({parentOpt, countOpt, firstOpt, typeOpt, versionOpt, labelOpt, fileOpt, faultOpt, listOpt, stateOpt, rateOpt,
                       shuffleOpt, seedOpt, serialOpt, eachOpt, threadsOpt, omitOpt, journalOpt});
    parser.process(app);
    if (parser.isSet(listOpt)) {
        std::fputs(qPrintable(faultTable()), stdout);
        return 0;
    }
    if (parser.isSet(parentOpt))
        prctl(PR_SET_PDEATHSIG, SIGKILL);

    DiscoveryOptions discovery;
    if (parser.isSet(rateOpt)) {
        discovery.bitsPerSecond = parseBitRate(parser.value(rateOpt));
        if (discovery.bitsPerSecond <= 0)
            return refuse(QStringLiteral("--reply-rate %1: give bits per second from 1k to 1000G, e.g. 1G or 100M").arg(parser.value(rateOpt)));
    }
    discovery.shuffle = parser.isSet(shuffleOpt);
    bool seedOk = false;
    discovery.seed = parser.value(seedOpt).toUInt(&seedOk);
    if (!seedOk)
        return refuse(QStringLiteral("--seed %1: give a whole number from 0 to 4294967295").arg(parser.value(seedOpt)));
    int threads = qMin(QThread::idealThreadCount(), 8);
    if (parser.isSet(threadsOpt)) {
        bool ok = false;
        threads = parser.value(threadsOpt).toInt(&ok);
        if (!ok || threads < 1 || threads > 64)
            return refuse(QStringLiteral("--threads %1: give a whole number from 1 to 64").arg(parser.value(threadsOpt)));
    }
    QString error;
    if (!events::omit(parser.value(omitOpt), &error))
        return refuse(QStringLiteral("--omit-events: ") + error);
    if (parser.isSet(journalOpt) && !journal::open(parser.value(journalOpt), &error))
        return refuse(error);

    // Faults for every node, checked here so that a refusal names --fault.
    QJsonObject common;
    for (const QString &f : parser.values(faultOpt)) {
        const auto [name, value] = faultArgument(f);
        common.insert(name, value);
        error = Faults().parse(QJsonObject{{name, value}});
        if (!error.isEmpty())
            return refuseFault(QStringLiteral("--"), error);
    }

    QJsonArray descriptions;
    if (parser.isSet(fileOpt)) {
        error = readNodeFile(parser.value(fileOpt), &descriptions);
        if (!error.isEmpty())
            return refuse(error);
    } else {
        bool countOk = false, serialOk = false;
        const int count = parser.value(countOpt).toInt(&countOk);
        const int firstSerial = parser.value(serialOpt).toInt(&serialOk);
        if (!countOk || count < 0 || count > 10000)
            return refuse(QStringLiteral("--count %1: give a whole number from 0 to 10000").arg(parser.value(countOpt)));
        if (!serialOk || firstSerial < 0 || firstSerial + count > 10000)
            return refuse(QStringLiteral("--first-serial %1: the serial counters must stay within 0..9999").arg(parser.value(serialOpt)));
        if (QHostAddress(parser.value(firstOpt)).protocol() != QAbstractSocket::IPv4Protocol)
            return refuse(QStringLiteral("--first-ip %1: give an IPv4 address").arg(parser.value(firstOpt)));
        for (int i = 0; i < count; ++i) {
            QJsonObject d;
            const quint32 a = addressAt(parser.value(firstOpt), i);
            d.insert(QStringLiteral("ip"), QHostAddress(a).toString());
            d.insert(QStringLiteral("label"), QStringLiteral("%1-%2").arg(parser.value(labelOpt)).arg(i + 1));
            d.insert(QStringLiteral("serial"), QStringLiteral("2650%1").arg(i + firstSerial, 4, 10, QLatin1Char('0')));
            d.insert(QStringLiteral("type"), parser.value(typeOpt).toInt());
            d.insert(QStringLiteral("version"), parser.value(versionOpt));
            d.insert(QStringLiteral("mac"), QStringLiteral("02:00:5e:%1:%2:%3")
                                                .arg((i >> 16) & 0xff, 2, 16, QLatin1Char('0'))
                                                .arg((i >> 8) & 0xff, 2, 16, QLatin1Char('0'))
                                                .arg(i & 0xff, 2, 16, QLatin1Char('0')));
            descriptions.append(d);
        }
    }

    // Every node's faults parsed once, here: its own over the common ones.
    std::deque<Node> nodes;
    for (const QJsonValue v : descriptions) {
        const QJsonObject d = v.toObject();
        Node &node = nodes.emplace_back();
        node.address = QHostAddress(d.value(QStringLiteral("ip")).toString());
        node.ip = node.address.toString().toLatin1();
        QJsonObject faults = common;
        const QJsonObject own = d.value(QStringLiteral("faults")).toObject();
        for (auto it = own.begin(); it != own.end(); ++it)
            faults.insert(it.key(), it.value());
        error = node.faults.parse(faults);
        if (!error.isEmpty())
            return refuseFault(QStringLiteral("node %1: ").arg(QString::fromLatin1(node.ip)), error);
        node.at = node.address.toIPv4Address();
        const QByteArray identity = buildIdentity(d, node.address);
        node.setIdentity(identity);
        node.who = journal::identity(identity, node.ip);
        node.config = buildConfig(identity);
        node.factoryConfig = node.config;
    }

    raiseFileLimit();
    Emulator emulator(nodes, parser.value(stateOpt), discovery);
    if (!emulator.start(threads, &error)) {
        std::fprintf(stderr, "tarvo-emulator: %s\n", qPrintable(error));
        return 1;
    }
    JournalLines started(true);
    for (const Node &node : nodes)
        started.add(node, "start", journal::start(node));
    emulator.mainEvents().add(events::Ready, qint64(nodes.size()));
    return app.exec();
}
