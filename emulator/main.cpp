// tarvo-emulator: plays one or many DMX nodes on a test network, so that the
// configurator can be tried and tested without hardware.

#include "emulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
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
    "  ip        its address on the test network (required)\n"
    "  label, serial, name, version   discovery texts\n"
    "  type      421 application, 666 boot loader, anything else for a faulty node\n"
    "  mac       \"02:00:5e:00:00:01\"\n"
    "  netIp, mask, gateway   the network settings it reports (default: ip, /24, 192.0.2.254)\n"
    "  status    replyStatus of its discovery reply (0 = accepted)\n"
    "  faults    object of faults, as --fault\n"
    "\n"
    "Faults (NAME=JSON):\n";

const char *const faultHelp =
    "  silent=true            answers nothing at all\n"
    " Discovery\n"
    "  no-discovery=true      does not answer discovery\n"
    "  discovery-delay-ms=N   answers discovery after N ms\n"
    "  duplicate-reply=true   answers discovery twice\n"
    "  extra-datagrams=[\"short\",\"tiny\",\"garbage\"]  sends these before its reply\n"
    "  discovery-flood={\"rate\":2000,\"count\":20000}\n"
    "                         after its reply, sends count more, each with its own serial (FL...)\n"
    "                         and label, rate per second; prints \"flood-done NODE COUNT\"\n"
    " Any reply on TCP\n"
    "  no-reply=[8,12]        leaves these command words unanswered\n"
    "  delay-ms=N or {\"8\":3500}  delays replies (all, or per command word)\n"
    "  duplicate=true         writes every reply twice in one segment\n"
    "  append=N               follows every reply, in the same segment, by a message with word N\n"
    "  split=true             writes every reply in two segments, 60 ms apart\n"
    "  split-at=N             the same, split after byte N\n"
    "  short-replies=N        cuts every reply to its first N bytes\n"
    "  close-after=N          drops the connection on the N-th message received\n"
    "  send-on-connect=[15,10]  sends messages with these words after accepting\n"
    "  flood-after={\"word\":16,\"megabytes\":200}\n"
    "                         after its reply to that word, writes that many MiB of messages with\n"
    "                         word 99 as the connection drains; prints \"flood-done NODE BYTES\"\n"
    " Configuration\n"
    "  no-ack=true            leaves SetConfig unacknowledged\n"
    "  late-ack-ms=N          acknowledges SetConfig after N ms\n"
    "  out-of-range=true      sends configuration records with out-of-range values\n"
    "  config-words={\"100\":7}  sets the 32-bit word at these byte offsets of every record it sends\n"
    "  factory-ip=ADDR        DefaultConfig restores a configuration with another address\n"
    " Firmware\n"
    "  wrong-crc=true         answers ReadCrc with a checksum one too high\n"
    "  silent-after-packet=K  stores but no longer acknowledges packets after packet K\n"
    "  ack-packet={\"3\":9}     acknowledges packet 3 with the number 9 (any, even negative)\n"
    "  ack-twice=true         writes every packet acknowledgement twice\n"
    "  erase-delay-ms=N       answers EraseSector after N ms\n"
    "  drop-after-packet=K    drops the connection on receiving packet K, unacknowledged\n"
    "  restart-silently=true  on ResetDevice closes the connection at once, unanswered\n"
    "See docs/EMULATOR.md.";

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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvo-emulator"));

    QCommandLineParser parser;
    parser.setApplicationDescription(QString::fromLatin1(description) + QString::fromLatin1(faultHelp));
    parser.addHelpOption();
    QCommandLineOption countOpt(QStringLiteral("count"), QStringLiteral("Number of generated nodes."), QStringLiteral("N"), QStringLiteral("1"));
    QCommandLineOption firstOpt(QStringLiteral("first-ip"), QStringLiteral("Address of the first generated node; the others follow."),
                                QStringLiteral("ADDR"), QStringLiteral("192.0.2.10"));
    QCommandLineOption typeOpt(QStringLiteral("type"), QStringLiteral("Device type of generated nodes (421 or 666)."), QStringLiteral("TYPE"), QStringLiteral("421"));
    QCommandLineOption versionOpt(QStringLiteral("version"), QStringLiteral("Firmware version of generated nodes."), QStringLiteral("TEXT"), QStringLiteral("v1.00"));
    QCommandLineOption labelOpt(QStringLiteral("label"), QStringLiteral("Label prefix of generated nodes."), QStringLiteral("TEXT"), QStringLiteral("Node"));
    QCommandLineOption fileOpt(QStringLiteral("nodes-file"), QStringLiteral("JSON file describing the nodes (see above)."), QStringLiteral("FILE"));
    QCommandLineOption faultOpt(QStringLiteral("fault"), QStringLiteral("A fault for every node (repeatable; see above)."), QStringLiteral("NAME=JSON"));
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
                               QStringLiteral("Listens on each node's own address rather than on all, so that several "
                                              "emulators can serve one network."));
    parser.addOptions({parentOpt, countOpt, firstOpt, typeOpt, versionOpt, labelOpt, fileOpt, faultOpt, stateOpt, rateOpt,
                       shuffleOpt, seedOpt, serialOpt, eachOpt});
    parser.process(app);
    if (parser.isSet(parentOpt))
        prctl(PR_SET_PDEATHSIG, SIGKILL);

    DiscoveryOptions discovery;
    if (parser.isSet(rateOpt)) {
        discovery.bitsPerSecond = parseBitRate(parser.value(rateOpt));
        if (discovery.bitsPerSecond <= 0) {
            std::fprintf(stderr, "tarvo-emulator: --reply-rate %s: give bits per second from 1k to 1000G, e.g. 1G or 100M\n",
                         qPrintable(parser.value(rateOpt)));
            return 2;
        }
    }
    discovery.shuffle = parser.isSet(shuffleOpt);
    bool seedOk = false;
    discovery.seed = parser.value(seedOpt).toUInt(&seedOk);
    if (!seedOk) {
        std::fprintf(stderr, "tarvo-emulator: --seed %s: give a whole number from 0 to 4294967295\n", qPrintable(parser.value(seedOpt)));
        return 2;
    }

    QJsonObject common;
    for (const QString &f : parser.values(faultOpt)) {
        const int eq = int(f.indexOf(QLatin1Char('=')));
        const QString name = eq < 0 ? f : f.left(eq);
        const QByteArray value = eq < 0 ? QByteArray("true") : f.mid(eq + 1).toUtf8();
        const QJsonDocument doc = QJsonDocument::fromJson("[" + value + "]");
        common.insert(name, doc.isArray() ? doc.array().at(0) : QJsonValue(QString::fromUtf8(value)));
    }

    QJsonArray descriptions;
    if (parser.isSet(fileOpt)) {
        QFile file(parser.value(fileOpt));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "cannot read %s\n", qPrintable(file.fileName()));
            return 2;
        }
        descriptions = QJsonDocument::fromJson(file.readAll()).object().value(QStringLiteral("nodes")).toArray();
    } else {
        const int count = parser.value(countOpt).toInt();
        bool serialOk = false;
        const int firstSerial = parser.value(serialOpt).toInt(&serialOk);
        if (!serialOk || firstSerial < 0 || firstSerial + count > 10000) {
            std::fprintf(stderr, "tarvo-emulator: --first-serial %s: the serial counters must stay within 0..9999\n",
                         qPrintable(parser.value(serialOpt)));
            return 2;
        }
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

    QVector<Node> nodes;
    for (const QJsonValue v : descriptions) {
        const QJsonObject d = v.toObject();
        Node node;
        node.address = QHostAddress(d.value(QStringLiteral("ip")).toString());
        node.identity = buildIdentity(d, node.address);
        node.config = buildConfig(node.identity);
        node.factoryConfig = node.config;
        node.faults = common;
        const QJsonObject own = d.value(QStringLiteral("faults")).toObject();
        for (auto it = own.begin(); it != own.end(); ++it)
            node.faults.insert(it.key(), it.value());
        const QString error = faultError(node.faults);
        if (!error.isEmpty()) {
            std::fprintf(stderr, "tarvo-emulator: node %s: %s\n", qPrintable(node.address.toString()), qPrintable(error));
            return 2;
        }
        nodes.append(node);
    }

    raiseFileLimit();
    Emulator emulator(nodes, parser.value(stateOpt), discovery);
    emulator.listenEach = parser.isSet(eachOpt);
    QString error;
    if (!emulator.start(&error)) {
        std::fprintf(stderr, "tarvo-emulator: %s\n", qPrintable(error));
        return 1;
    }
    emulator.event(QStringLiteral("ready %1").arg(nodes.size()));
    return app.exec();
}
