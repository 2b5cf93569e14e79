#include "cli/metrics.h"

#include "cli/check.h"
#include "cli/commands.h"
#include "cli/configfile.h"
#include "cli/files.h"
#include "cli/interrupts.h"
#include "cli/selection.h"
#include "engine/engineoptions.h"
#include "engine/search.h"
#include "cli/output.h"
#include "base/wholefile.h"
#include "link/devicerecord.h"
#include "link/discovery.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <cmath>
#include <map>

namespace {

enum : qint64 {
    MaxForgetSeconds = 3650 * 86400,
    // Far above what MaxNodes entries take; a larger file is not ours.
    MaxStateBytes = 16 * 1024 * 1024,
    // Seconds since the epoch beyond which a time in the state file is nonsense.
    MaxTimestamp = 100000000000,
};
// Nodes reported and remembered at most, as one search keeps at most.
constexpr int MaxNodes = Discovery::MaxEntries;

// A node as the metrics describe it: what it reported when last seen.
struct SeenNode {
    QByteArray serial, label, firmware, name; // the node's own 8-bit texts
    quint32 address = 0;
    quint32 type = 0;
    qint64 lastSeen = 0; // seconds since the epoch
    bool up = false;     // answered this search
};

// Two nodes may report one serial: a node is its address and serial.
using NodeKey = std::pair<quint32, QByteArray>;
using NodeTable = std::map<NodeKey, SeenNode>;

int fail(const QString &text, int code = Failure)
{
    out::message(QStringLiteral("tarvo: ") + text);
    return code;
}

// "90s", "30m", "12h" or "7d" in seconds, at most ten years in any unit;
// -1 for anything else. Twelve digits of days still fit in 64 bits.
qint64 durationSeconds(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^([0-9]{1,12})([smhd])$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return -1;
    static const QString units = QStringLiteral("smhd");
    static const qint64 unitSeconds[] = {1, 60, 3600, 86400};
    const qint64 seconds = m.captured(1).toLongLong() * unitSeconds[units.indexOf(m.captured(2))];
    return seconds <= MaxForgetSeconds ? seconds : -1;
}

// The workstation address, by the rule of every tarvo command (an
// interface's name or address, --interface or TARVO_INTERFACE). Returns
// -1, or the exit code after the message.
int workstationAddress(const Request &r, QHostAddress *chosen)
{
    const AddressChoice choice = chooseAddress(r.interface, r.interfaceFrom);
    if (!choice.error.isEmpty())
        return fail(choice.error, choice.usage ? UsageError : Failure);
    *chosen = choice.address;
    return -1;
}

// --- the search ------------------------------------------------------------

struct Search {
    QVector<SeenNode> found;
    QVector<int> problems = QVector<int>(sitecheck::kinds().size()); // by kind
    quint64 lost = 0;
    double seconds = 0;
    qint64 startedMs = 0; // since the epoch
};

SeenNode seenNode(const NodeInfo &node, qint64 now)
{
    SeenNode n;
    n.serial = node.serial;
    n.label = node.label;
    n.firmware = node.firmware;
    n.name = node.name;
    n.address = node.address.toIPv4Address();
    n.type = node.deviceType;
    n.lastSeen = now;
    n.up = true;
    return n;
}

// One request; replies are taken for the whole window. Returns -1, or the
// exit code after the message. An interrupted search writes nothing: the
// nodes that had not answered yet would be reported down.
int search(const Request &r, Search *s)
{
    QHostAddress local;
    if (const int code = workstationAddress(r, &local); code >= 0)
        return code;
    // Each address: two nodes that report one serial are two nodes here.
    Discovery discovery(nullptr, Wiring::Internal, {DiscoveryOptions::Keep::EachAddress});
    if (!discovery.bind(local))
        return fail(listenFailure(local, discovery));

    QElapsedTimer clock;
    s->startedMs = QDateTime::currentMSecsSinceEpoch();
    clock.start();
    const SearchResult result =
        searchNodes(discovery, r.timeoutMs, EngineOptions().searchGraceMs, {}, &Interrupts::instance());
    s->seconds = double(clock.nsecsElapsed()) / 1e9;
    if (result.stopped)
        return fail(QStringLiteral("interrupted: nothing written"), Interrupted);
    s->lost = result.repliesLost;
    for (const NodeInfo &node : result.nodes)
        s->found.append(seenNode(node, s->startedMs / 1000));
    for (const sitecheck::Problem &p : sitecheck::check(result.nodes, workstationNetwork(local).workstation, result.repliesLost))
        ++s->problems[int(p.kind)];
    if (result.listFull)
        out::message(QStringLiteral("tarvo: more than %1 nodes answered; the rest are left out").arg(MaxNodes));
    return -1;
}

// --- the state file ----------------------------------------------------------

QString defaultStatePath()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (!QDir::isAbsolutePath(base)) { // a relative one is to be ignored
        const QString home = qEnvironmentVariable("HOME");
        if (!QDir::isAbsolutePath(home))
            return QString();
        base = home + QStringLiteral("/.local/state");
    }
    return base + QStringLiteral("/tarvo/metrics-state.json");
}

// A node text as the state file holds it: at most `size` Latin-1
// characters, none of them NUL, as a node's field can hold.
bool readText(const QJsonObject &o, const char *key, int size, QByteArray *text)
{
    const QJsonValue v = o.value(QLatin1String(key));
    const QString s = v.toString();
    if (!v.isString() || s.size() > size)
        return false;
    for (const QChar c : s)
        if (c.unicode() == 0 || c.unicode() > 0xff)
            return false;
    *text = s.toLatin1();
    return true;
}

// Empty when the entry is acceptable, else what is wrong with it.
QString readNode(const QJsonValue &value, SeenNode *n)
{
    const QJsonObject o = value.toObject();
    if (!readText(o, "serial", DeviceRecord::SerialSize, &n->serial) ||
        !readText(o, "label", DeviceRecord::LabelSize, &n->label) ||
        !readText(o, "firmware", DeviceRecord::VersionSize, &n->firmware) ||
        !readText(o, "name", DeviceRecord::NameSize, &n->name))
        return QStringLiteral("a text is missing, too long or not 8-bit");
    const QString address = o.value(QLatin1String("address")).toString();
    const QHostAddress parsed(address);
    if (parsed.protocol() != QAbstractSocket::IPv4Protocol || parsed.toString() != address)
        return QStringLiteral("no IPv4 address");
    n->address = parsed.toIPv4Address();
    const double type = o.value(QLatin1String("type")).toDouble();
    if (type != DeviceRecord::DeviceTypeApplication && type != DeviceRecord::DeviceTypeBootLoader)
        return QStringLiteral("no device type 421 or 666");
    n->type = quint32(type);
    const double lastSeen = o.value(QLatin1String("lastSeen")).toDouble(-1);
    if (lastSeen < 0 || lastSeen > double(MaxTimestamp) || lastSeen != std::floor(lastSeen))
        return QStringLiteral("no time last seen");
    n->lastSeen = qint64(lastSeen);
    return QString();
}

// The nodes remembered, checked whole; `damage` says why a file is refused.
NodeTable parseState(const QByteArray &bytes, QString *damage)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    const QJsonObject top = doc.object();
    if (error.error != QJsonParseError::NoError || !doc.isObject()) {
        *damage = QStringLiteral("not a JSON object");
        return {};
    }
    *damage = configfile::repeatedKeyError(bytes);
    if (!damage->isEmpty())
        return {};
    if (top.value(QLatin1String("format")).toString() != QLatin1String("tarvo-metrics-state") ||
        top.value(QLatin1String("version")).toDouble() != 1 || !top.value(QLatin1String("nodes")).isArray()) {
        *damage = QStringLiteral("not format tarvo-metrics-state, version 1");
        return {};
    }
    const QJsonArray list = top.value(QLatin1String("nodes")).toArray();
    if (list.size() > MaxNodes) {
        *damage = QStringLiteral("more than %1 nodes").arg(MaxNodes);
        return {};
    }
    NodeTable nodes;
    for (int i = 0; i < list.size(); ++i) {
        SeenNode n;
        QString why = readNode(list.at(i), &n);
        if (why.isEmpty() && nodes.count({n.address, n.serial}))
            why = QStringLiteral("listed twice");
        if (!why.isEmpty()) {
            *damage = QStringLiteral("node %1: %2").arg(i + 1).arg(why);
            return {};
        }
        nodes[{n.address, n.serial}] = n;
    }
    return nodes;
}

// Reads the state file: a missing one is an empty state, a damaged one is
// reported and taken as empty. Returns false when it exists but cannot be read.
bool readState(const QString &path, NodeTable *nodes)
{
    const QFileInfo info(path);
    if (!info.exists())
        return true;
    QFile file(path);
    if (!info.isFile() || !file.open(QIODevice::ReadOnly)) {
        fail(path + QStringLiteral(": cannot be read: ") +
             (info.isFile() ? file.errorString() : QStringLiteral("not a regular file")));
        return false;
    }
    const QByteArray bytes = file.read(MaxStateBytes + 1);
    if (file.error() != QFileDevice::NoError) {
        fail(path + QStringLiteral(": cannot be read: ") + file.errorString());
        return false;
    }
    QString damage;
    if (bytes.size() > MaxStateBytes)
        damage = QStringLiteral("larger than %1 bytes").arg(qint64(MaxStateBytes));
    else
        *nodes = parseState(bytes, &damage);
    if (!damage.isEmpty())
        out::message(QStringLiteral("tarvo: %1: damaged state file (%2); it is replaced, and the nodes it held are "
                                    "forgotten")
                         .arg(path, damage));
    return true;
}

QByteArray stateText(const NodeTable &nodes)
{
    QJsonArray list;
    for (const auto &entry : nodes) {
        const SeenNode &n = entry.second;
        list.append(QJsonObject{{QStringLiteral("serial"), QString::fromLatin1(n.serial)},
                                {QStringLiteral("address"), QHostAddress(n.address).toString()},
                                {QStringLiteral("label"), QString::fromLatin1(n.label)},
                                {QStringLiteral("firmware"), QString::fromLatin1(n.firmware)},
                                {QStringLiteral("name"), QString::fromLatin1(n.name)},
                                {QStringLiteral("type"), double(n.type)},
                                {QStringLiteral("lastSeen"), double(n.lastSeen)}});
    }
    const QJsonObject top{{QStringLiteral("format"), QStringLiteral("tarvo-metrics-state")},
                          {QStringLiteral("version"), 1},
                          {QStringLiteral("nodes"), list}};
    return QJsonDocument(top).toJson(QJsonDocument::Indented);
}

// The nodes that answered, over those remembered; a remembered one that did
// not answer for longer than `forget` seconds is dropped, and beyond
// MaxNodes the longest unseen go first.
NodeTable merged(NodeTable nodes, const QVector<SeenNode> &found, qint64 now, qint64 forget)
{
    for (const SeenNode &n : found)
        nodes[{n.address, n.serial}] = n;
    std::vector<std::pair<qint64, NodeKey>> down;
    for (auto it = nodes.begin(); it != nodes.end();) {
        if (!it->second.up && now - it->second.lastSeen > forget) {
            it = nodes.erase(it);
            continue;
        }
        if (!it->second.up)
            down.push_back({it->second.lastSeen, it->first});
        ++it;
    }
    std::sort(down.begin(), down.end());
    for (size_t i = 0; nodes.size() > size_t(MaxNodes) && i < down.size(); ++i)
        nodes.erase(down[i].second);
    return nodes;
}

// --- the nodes expected --------------------------------------------------------

// A node the site should have, as far as its file tells.
struct ExpectedNode {
    QByteArray serial, label;
    QString address; // empty when the file gives none
};

enum : qint64 {
    // An inventory of MaxNodes nodes takes under 4 MiB.
    MaxExpectBytes = 16 * 1024 * 1024,
};

// The nodes of a tarvo-inventory (tarvo search --json) or of a tarvo-check,
// which holds the same list. Empty when the file is acceptable, else why not.
QString parseInventory(const QByteArray &bytes, QVector<ExpectedNode> *nodes)
{
    QJsonParseError error{};
    const QJsonDocument doc = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return QStringLiteral("not a JSON object");
    if (const QString twice = configfile::repeatedKeyError(bytes); !twice.isEmpty())
        return twice;
    const QJsonObject top = doc.object();
    const QString format = top.value(QLatin1String("format")).toString();
    if ((format != QLatin1String("tarvo-inventory") && format != QLatin1String("tarvo-check")) ||
        top.value(QLatin1String("version")).toDouble() != 1 || !top.value(QLatin1String("nodes")).isArray())
        return QStringLiteral("neither a backup folder nor the JSON of tarvo search (format tarvo-inventory, version 1)");
    const QJsonArray list = top.value(QLatin1String("nodes")).toArray();
    if (list.size() > MaxNodes)
        return QStringLiteral("more than %1 nodes").arg(MaxNodes);
    for (int i = 0; i < list.size(); ++i) {
        const QJsonObject o = list.at(i).toObject();
        ExpectedNode n;
        n.address = o.value(QLatin1String("address")).toString();
        const QHostAddress parsed(n.address);
        if (!list.at(i).isObject() || !readText(o, "serial", DeviceRecord::SerialSize, &n.serial) ||
            !readText(o, "label", DeviceRecord::LabelSize, &n.label))
            return QStringLiteral("node %1: no serial and label of at most 16 and 64 8-bit characters").arg(i + 1);
        if (!n.address.isEmpty() &&
            (parsed.protocol() != QAbstractSocket::IPv4Protocol || parsed.toString() != n.address))
            return QStringLiteral("node %1: \"address\" is no IPv4 address").arg(i + 1);
        nodes->append(n);
    }
    return QString();
}

// The nodes of a folder of tarvo backup: each file's serial is its name,
// as restore takes it. Every file must be a configuration file.
QString readBackupFolder(const QString &dir, QVector<ExpectedNode> *nodes)
{
    const QStringList names = QDir(dir).entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden, QDir::Name);
    if (names.size() > MaxNodes)
        return QStringLiteral("more than %1 files, not a folder of backups").arg(MaxNodes);
    if (names.isEmpty())
        return QStringLiteral("no backup (*.json) in it");
    for (const QString &name : names) {
        const configfile::Parsed file = configfile::readFile(QDir(dir).filePath(name));
        if (!file.ok())
            return file.error;
        quint32 ip = 0;
        nodes->append({name.chopped(5).toLatin1(), file.values.label,
                       dottedAddress(file.values.ip, &ip) ? QHostAddress(ip).toString() : QString()});
    }
    return QString();
}

// --expect's nodes; false after the message when the file will not do.
bool readExpected(const QString &path, QVector<ExpectedNode> *nodes)
{
    QString error;
    if (QFileInfo(path).isDir()) {
        error = readBackupFolder(path, nodes);
    } else {
        const QByteArray bytes = files::readBounded(path, MaxExpectBytes, &error);
        if (error.isEmpty())
            error = parseInventory(bytes, nodes);
    }
    if (error.isEmpty())
        return true;
    if (!error.startsWith(files::shownName(path))) // a file's own errors name it
        error = files::shownName(path) + QStringLiteral(": ") + error;
    fail(QStringLiteral("--expect: %1; nothing written").arg(error));
    return false;
}

// The nodes expected that are neither among those seen nor remembered,
// each once. A serial names its node unless several expected nodes report
// it (twins): those are told apart by address.
QVector<ExpectedNode> neverSeen(const QVector<ExpectedNode> &expected, const NodeTable &known)
{
    QHash<QByteArray, int> expectedSerials;
    for (const ExpectedNode &e : expected)
        ++expectedSerials[e.serial];
    QSet<QByteArray> serials;
    QSet<QPair<QString, QByteArray>> at;
    for (const auto &entry : known) {
        serials.insert(entry.second.serial);
        at.insert({QHostAddress(entry.second.address).toString(), entry.second.serial});
    }
    QVector<ExpectedNode> unseen;
    QSet<QPair<QString, QByteArray>> listed;
    for (const ExpectedNode &e : expected) {
        const bool twin = e.serial.isEmpty() || expectedSerials.value(e.serial) > 1;
        const bool seen = twin ? at.contains({e.address, e.serial}) : serials.contains(e.serial);
        // One series per label set: the exposition must not repeat one.
        if (!seen && !listed.contains({e.address, e.serial})) {
            listed.insert({e.address, e.serial});
            unseen.append(e);
        }
    }
    return unseen;
}

// --- the exposition ------------------------------------------------------------

// A label value: the node's 8-bit text as UTF-8, with backslash, double
// quote and line feed escaped as the format requires.
QString labelValue(const QByteArray &text)
{
    QString v = QString::fromLatin1(text);
    v.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    v.replace(QLatin1Char('"'), QLatin1String("\\\""));
    v.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    return v;
}

QString family(const char *name, const char *help)
{
    return QStringLiteral("# HELP %1 %2\n# TYPE %1 gauge\n").arg(QLatin1String(name), QLatin1String(help));
}

QString number(double value)
{
    return QString::number(value, 'f', 3);
}

QString upLine(const QByteArray &serial, const QByteArray &label, const QString &address, bool up)
{
    return QStringLiteral("tarvo_node_up{serial=\"") + labelValue(serial) + QStringLiteral("\",label=\"") +
        labelValue(label) + QStringLiteral("\",address=\"") + address + QStringLiteral("\"} ") +
        (up ? QLatin1Char('1') : QLatin1Char('0')) + QLatin1Char('\n');
}

QByteArray exposition(const NodeTable &nodes, const QVector<ExpectedNode> &unseen, const Search &s)
{
    QString text = family("tarvo_node_up", "1 when the node answered the last search, 0 when a node seen before did "
                                           "not (until it is forgotten) or an expected node was never seen.");
    for (const auto &entry : nodes) {
        const SeenNode &n = entry.second;
        text += upLine(n.serial, n.label, QHostAddress(n.address).toString(), n.up);
    }
    for (const ExpectedNode &n : unseen)
        text += upLine(n.serial, n.label, n.address, false);
    text += family("tarvo_node_info", "What the node reported when last seen; always 1.");
    for (const auto &entry : nodes) {
        const SeenNode &n = entry.second;
        const bool bootLoader = n.type == DeviceRecord::DeviceTypeBootLoader;
        text += QStringLiteral("tarvo_node_info{serial=\"") + labelValue(n.serial) + QStringLiteral("\",address=\"") +
            QHostAddress(n.address).toString() + QStringLiteral("\",firmware=\"") + labelValue(n.firmware) +
            QStringLiteral("\",name=\"") + labelValue(n.name) + QStringLiteral("\",type=\"") +
            QString::number(n.type) + QStringLiteral("\",mode=\"") +
            (bootLoader ? QStringLiteral("bootloader") : QStringLiteral("application")) + QStringLiteral("\"} 1\n");
    }
    text += family("tarvo_search_nodes", "Nodes that answered the search.") +
        QStringLiteral("tarvo_search_nodes %1\n").arg(s.found.size());
    text += family("tarvo_search_duration_seconds", "How long the search listened for replies.") +
        QStringLiteral("tarvo_search_duration_seconds %1\n").arg(number(s.seconds));
    text += family("tarvo_discovery_replies_lost", "Datagrams this workstation dropped during the search, its "
                                                   "receive buffers full; the request was then sent once more.") +
        QStringLiteral("tarvo_discovery_replies_lost %1\n").arg(s.lost);
    text += family("tarvo_site_problems", "Problems the search shows, by kind and severity, as tarvo check lists them.");
    for (const sitecheck::Kind kind : sitecheck::kinds())
        text += QStringLiteral("tarvo_site_problems{kind=\"%1\",severity=\"%2\"} %3\n")
                    .arg(sitecheck::kindName(kind), sitecheck::severityName(sitecheck::severityOf(kind)))
                    .arg(s.problems.at(int(kind)));
    text += family("tarvo_search_timestamp_seconds", "When the search began, in seconds since 1970-01-01 UTC.") +
        QStringLiteral("tarvo_search_timestamp_seconds %1\n").arg(number(double(s.startedMs) / 1000.0));
    return text.toUtf8();
}

bool writeStandardOutput(const QByteArray &bytes)
{
    QFile stdOut;
    if (stdOut.open(stdout, QIODevice::WriteOnly) && stdOut.write(bytes) == bytes.size() && stdOut.flush())
        return true;
    fail(QStringLiteral("standard output: cannot be written: ") + stdOut.errorString());
    return false;
}

// Replaces the file whole, or leaves it as it was.
bool writeWhole(const QString &path, const QByteArray &bytes)
{
    QString reason;
    if (writeFileWhole(path, bytes, &reason, [] { return Interrupts::instance().countNow() > 0; }))
        return true;
    fail(path + QStringLiteral(": cannot be written: ") + reason);
    return false;
}

} // namespace

QList<QCommandLineOption> metricsOptions()
{
    return {
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("Write to FILE, replacing it whole; - or none: standard output."),
         QStringLiteral("FILE")},
        {QStringLiteral("state"),
         QStringLiteral("The nodes seen before (default $XDG_STATE_HOME/tarvo/metrics-state.json, else "
                        "~/.local/state/tarvo/metrics-state.json)."),
         QStringLiteral("FILE")},
        {QStringLiteral("forget-after"),
         QStringLiteral("How long a node that no longer answers is reported down: 90s, 30m, 12h, 7d (default 7d)."),
         QStringLiteral("DURATION")},
        {QStringLiteral("expect"),
         QStringLiteral("The nodes the site should have: a folder written by tarvo backup, or the output of tarvo "
                        "search --json. One never seen is reported down."),
         QStringLiteral("DIR|FILE")},
    };
}

int metrics(const Request &r)
{
    const qint64 forget = durationSeconds(r.forgetAfter);
    if (forget < 0)
        return fail((r.forgetAfter.isEmpty() ? QStringLiteral("--forget-after is empty; it takes")
                                             : QStringLiteral("--forget-after takes")) +
                        QStringLiteral(" a whole number and a unit, s, m, h or d (90s, 30m, 12h, 7d), at most 3650d"),
                    UsageError);
    QString statePath = r.state;
    if (statePath.isEmpty()) {
        statePath = defaultStatePath();
        if (statePath.isEmpty())
            return fail(QStringLiteral("neither XDG_STATE_HOME nor HOME is set: name the state file with --state"));
        QDir().mkpath(QFileInfo(statePath).absolutePath());
    }
    QVector<ExpectedNode> expected;
    if (!r.expect.isEmpty() && !readExpected(r.expect, &expected))
        return Failure;
    NodeTable nodes;
    if (!readState(statePath, &nodes))
        return Failure;

    Search s;
    if (const int code = search(r, &s); code >= 0)
        return code;
    nodes = merged(nodes, s.found, s.startedMs / 1000, forget);

    // Both are written even when one fails: each is right on its own.
    const QVector<ExpectedNode> unseen = neverSeen(expected, nodes);
    const QByteArray text = exposition(nodes, unseen, s);
    const bool toStandardOutput = r.output.isEmpty() || r.output == QLatin1String("-");
    const bool written = toStandardOutput ? writeStandardOutput(text) : writeWhole(r.output, text);
    const bool remembered = writeWhole(statePath, stateText(nodes));
    if (r.verbose)
        out::message(QStringLiteral("%1 node(s) answered, %2 known, %3 expected and never seen")
                         .arg(s.found.size())
                         .arg(nodes.size())
                         .arg(unseen.size()));
    return written && remembered ? Success : Failure;
}
