#include "judge.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QRegularExpression>
#include <cmath>

namespace {

const QStringList writingEvents{"config", "default", "erase", "packet", "reset", "run"};
const QList<qint64> writingWords{8, 9, 11, 12, 13, 15}; // SetConfig, DefaultConfig, ResetDevice, EraseSector, ProgramPacket, RunApplication
const QStringList fine{"done", "verified", "skipped"};
// How tarvo words a node it refused before sending anything.
const QStringList refusals{"refused", "cannot tell whether", "no backup fits", "backups fit it", " fits ",
                           "another node reports its serial", "cannot name a file"};

QString eventName(const Event &e)
{
    return e.value(QLatin1String("event")).toString();
}

bool writes(const QVector<Event> &events)
{
    return std::any_of(events.cbegin(), events.cend(), [](const Event &e) { return writingEvents.contains(eventName(e)); });
}

// A request that writes reached the node, acted on or not.
bool reached(const QVector<Event> &events)
{
    return writes(events) || std::any_of(events.cbegin(), events.cend(), [](const Event &e) {
               return (eventName(e) == QLatin1String("unanswered") || eventName(e) == QLatin1String("ignored")) &&
                   writingWords.contains(e.value(QLatin1String("word")).toInteger());
           });
}

// "config, erase, 256 x packet": what the node did, in short.
QString didWhat(const QVector<Event> &events)
{
    QStringList parts;
    QString last;
    int times = 0;
    const auto close = [&] {
        if (times > 0)
            parts.append(times > 1 ? QStringLiteral("%1 x %2").arg(times).arg(last) : last);
    };
    for (const Event &e : events) {
        const QString name = eventName(e);
        if (name == last) {
            ++times;
            continue;
        }
        close();
        last = name;
        times = 1;
    }
    close();
    return parts.isEmpty() ? QStringLiteral("nothing") : parts.join(QStringLiteral(", "));
}

// The place of the last event of that name before `before` (all: -1), or -1.
int lastAt(const QVector<Event> &events, const QString &name, int before = -1)
{
    for (int i = (before < 0 ? int(events.size()) : before) - 1; i >= 0; --i)
        if (eventName(events.at(i)) == name)
            return i;
    return -1;
}

Event last(const QVector<Event> &events, const QString &name, int before = -1)
{
    const int at = lastAt(events, name, before);
    return at < 0 ? Event() : events.at(at);
}

// A merge mode as a file gives it: its name, or a number a node reported.
qint64 mergeNumber(const QJsonValue &v)
{
    return v.isString() ? (v.toString() == QLatin1String("LTP") ? 1 : 0) : v.toInteger();
}

// A configuration file in the journal's terms: the universe as stored, the
// merge mode as its number.
QJsonObject fileFields(const QJsonObject &file)
{
    const QJsonObject network = file.value(QLatin1String("network")).toObject();
    QJsonArray ports;
    for (const QJsonValue v : file.value(QLatin1String("ports")).toArray()) {
        const QJsonObject p = v.toObject();
        // Universe 0 is the index 0xffffffff, as the form wraps it.
        ports.append(QJsonObject{{"universe_index", (p.value(QLatin1String("universe")).toInteger() + 0xffffffffLL) % 0x100000000LL},
                                 {"break", p.value(QLatin1String("break"))},
                                 {"mab", p.value(QLatin1String("mab"))},
                                 {"mbf", p.value(QLatin1String("mbf"))},
                                 {"wait", p.value(QLatin1String("wait"))},
                                 {"channels", p.value(QLatin1String("channels"))},
                                 {"merge", mergeNumber(p.value(QLatin1String("merge")))}});
    }
    return {{"label", file.value(QLatin1String("label"))},
            {"ip", network.value(QLatin1String("ip"))},
            {"mask", network.value(QLatin1String("mask"))},
            {"gateway", network.value(QLatin1String("gateway"))},
            {"ports", ports}};
}

// Where the node's configuration differs from what was asked; empty when
// it does not.
QString differs(const QJsonObject &got, const QJsonObject &want)
{
    QStringList d;
    for (const char *key : {"label", "ip", "mask", "gateway", "ports"})
        if (got.value(QLatin1String(key)) != want.value(QLatin1String(key)))
            d.append(QStringLiteral("%1 %2, asked %3").arg(key, compactJson(got.value(QLatin1String(key))), compactJson(want.value(QLatin1String(key)))));
    return d.join(QStringLiteral("; "));
}

QJsonObject readJson(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QJsonDocument::fromJson(f.read(1 << 20)).object() : QJsonObject();
}

// The one backup that fits the node of `row` by the command's match.
QJsonObject backupFor(const Asked &a, const QJsonObject &row, QString *why)
{
    QVector<QJsonObject> fit;
    const QDir dir(a.dir);
    for (const QString &name : dir.entryList({QStringLiteral("*.json")}, QDir::Files)) {
        const QJsonObject b = readJson(dir.filePath(name));
        const bool fits = a.match == QLatin1String("label")
            ? !row.value("label").toString().isEmpty() && b.value("label") == row.value("label")
            : a.match == QLatin1String("address") ? b.value("network").toObject().value("ip") == row.value("address")
                                                  : name.chopped(5) == row.value("serial").toString();
        if (fits)
            fit.append(b);
    }
    if (fit.size() != 1)
        *why = QStringLiteral("%1 backups fit it by %2").arg(fit.size()).arg(a.match);
    return fit.size() == 1 ? fileFields(fit.first()) : QJsonObject();
}

// After its last erase: every packet, the image's sum and the new version
// announced. Empty when all is there, else what is missing.
QString upgradeGap(const Asked &a, const QVector<Event> &events)
{
    const int from = lastAt(events, QStringLiteral("erase"));
    if (from < 0)
        return QStringLiteral("the node was not erased");
    QSet<qint64> packets;
    bool sum = false, reset = false;
    QString announced;
    for (int i = from + 1; i < events.size(); ++i) {
        const Event &e = events.at(i);
        if (eventName(e) == QLatin1String("packet"))
            packets.insert(e.value(QLatin1String("n")).toInteger());
        else if (eventName(e) == QLatin1String("crc"))
            sum = e.value(QLatin1String("sum")).toInteger() == a.imageSum;
        else if (eventName(e) == QLatin1String("reset") && packets.size() >= 256 && sum) {
            reset = true;
            announced = e.value(QLatin1String("version")).toString();
        }
    }
    packets.removeIf([](qint64 n) { return n < 0 || n > 255; });
    if (packets.size() < 256)
        return QStringLiteral("it holds %1 of 256 packets").arg(packets.size());
    if (!sum)
        return QStringLiteral("its checksum was not asked or does not match");
    if (!reset)
        return QStringLiteral("it was not restarted");
    if (announced != a.version)
        return QStringLiteral("it announces %1 after its restart").arg(announced);
    return QString();
}

// Whether, after its last erase, the node holds the whole image and said so
// when its checksum was asked: then it holds complete firmware, restarted
// or not.
bool checkedWhole(const Asked &a, const QVector<Event> &events)
{
    const Event crc = last(events, QStringLiteral("crc"));
    return lastAt(events, QStringLiteral("crc")) > lastAt(events, QStringLiteral("erase")) &&
        crc.value(QLatin1String("sum")).toInteger() == a.imageSum &&
        crc.value(QLatin1String("answered")).toInteger() == a.imageSum;
}

// Empty when the node did exactly what a done or verified row says.
QString notApplied(const Asked &a, const QJsonObject &row, const QVector<Event> &events)
{
    const QString c = a.command;
    if (c == QLatin1String("config set") || c == QLatin1String("restore")) {
        QString why;
        QJsonObject want = c == QLatin1String("restore") ? backupFor(a, row, &why) : fileFields(a.file);
        if (want.isEmpty())
            return why;
        const int stored = lastAt(events, QStringLiteral("config"));
        if (stored < 0)
            return QStringLiteral("the node stored no configuration");
        // What the node keeps is its own, as it reported it just before.
        const QJsonObject own = last(events, QStringLiteral("read"), stored).value(QLatin1String("config")).toObject();
        if (a.keepNetwork)
            for (const char *key : {"ip", "mask", "gateway"})
                want.insert(QLatin1String(key), own.value(QLatin1String(key)));
        if (a.keepLabel)
            want.insert(QStringLiteral("label"), own.value(QLatin1String("label")));
        return differs(events.at(stored).value(QLatin1String("config")).toObject(), want);
    }
    if (c == QLatin1String("default"))
        return last(events, QStringLiteral("default")).isEmpty() ? QStringLiteral("the node restored no factory configuration") : QString();
    if (c == QLatin1String("run")) // once, if a flood's made-up nodes at its address asked too
        return std::any_of(events.cbegin(), events.cend(), [](const Event &e) {
                   return eventName(e) == QLatin1String("run") && e.value(QLatin1String("was")).toInt() == 666;
               })
            ? QString()
            : QStringLiteral("no boot loader started its application");
    if (c == QLatin1String("upgrade"))
        return upgradeGap(a, events);
    // backup: a file whole on disk, with what the node reported.
    if (writes(events))
        return QStringLiteral("the node was written to");
    const QJsonObject file = readJson(QDir(a.dir).filePath(row.value("serial").toString() + QStringLiteral(".json")));
    const QJsonObject reported = last(events, QStringLiteral("read")).value(QLatin1String("config")).toObject();
    if (reported.isEmpty())
        return QStringLiteral("the node was not read");
    const QString d = differs(fileFields(file), reported);
    return d.isEmpty() ? QString() : QStringLiteral("the file holds another configuration: ") + d;
}

// The node a row speaks of: at the row's address before or after the
// command, with its serial (or a flood's made-up one).
int nodeOf(const QJsonObject &row, const QVector<ChaosNode> &before, const QVector<ChaosNode> &after)
{
    const QString address = row.value("address").toString(), serial = row.value("serial").toString();
    for (const QVector<ChaosNode> *nodes : {&before, &after})
        for (int i = 0; i < nodes->size(); ++i)
            if (!address.isEmpty() && nodes->at(i).at == address &&
                (nodes->at(i).serial() == serial || serial.startsWith(QLatin1String("FL"))))
                return i;
    return -1;
}

} // namespace

qint64 boundMs(const Asked &a, int work)
{
    const qint64 t = a.timeoutMs, verify = 30 * t; // tarvo verifies within 30 x --timeout
    const QHash<QString, qint64> perNode{
        {"config set", 2 * t + 3000 + verify}, // connect, GetConfig, the SetConfig acknowledgement, a move
        {"restore", 2 * t + 3000 + verify},
        {"default", 3 * t + verify},
        {"backup", 2 * t},
        {"run", 2 * t + verify},                    // connect, the close, the application in discovery
        {"upgrade", t + 20000 + 10000 + verify}, // connect, the firmware guard, the restart guard
    };
    const qint64 node = perNode.value(a.command);
    // Nodes started as others end: at most the work spread over the
    // parallel slots, plus one node. Then the search before and a start-up.
    return t + 250 + (work * node + a.parallel - 1) / a.parallel + node + 3000;
}

QVector<Rejection> judge(const Asked &a, const Run &run, const QVector<ChaosNode> &before, const QVector<ChaosNode> &after,
                         const Journal &journal, const Disturbed &disturbed)
{
    QVector<Rejection> out;
    const auto reject = [&out](const char *rule, const QString &what, const QString &node = {}, const QJsonObject &row = {}) {
        out.append({QLatin1String(rule), what, node, row});
    };
    const QJsonObject summary = QJsonDocument::fromJson(run.out.toUtf8()).object();
    const bool hasSummary = summary.value("format").toString() == QLatin1String("tarvo-summary");
    const QJsonArray rows = summary.value("results").toArray();

    // The command as a whole.
    if (!hasSummary && run.code == 0)
        reject("exit code", QStringLiteral("exit code 0 without a summary"));
    // Ended by a signal: only by an interrupt that came before its handler
    // was there, and before anything was sent (the "unaccounted" rule).
    if (run.crashed && !disturbed.interrupted)
        reject("crash", QStringLiteral("ended by a signal; standard error: %1").arg(run.err.right(500)));
    if (hasSummary) {
        bool allFine = true;
        QHash<QString, int> tally;
        int work = 0;
        for (const QJsonValue v : rows) {
            const QJsonObject row = v.toObject();
            allFine = allFine && fine.contains(row.value("result").toString());
            ++tally[row.value("result").toString()];
            work += row.value("seconds").toDouble() > 0 ? 1 : 0;
        }
        const int code = summary.value("interrupted").toBool() ? 130 : allFine ? 0 : 1;
        if (run.code != code)
            reject("exit code", QStringLiteral("exit code %1, where its summary calls for %2").arg(run.code).arg(code));
        const QJsonObject counted = summary.value("tally").toObject();
        for (auto it = counted.begin(); it != counted.end(); ++it)
            if (it.value().toInt() != tally.value(it.key()))
                reject("tally", QStringLiteral("the tally counts %1 %2, the rows %3").arg(it.value().toInt()).arg(it.key()).arg(tally.value(it.key())));
        if (run.ms > boundMs(a, work))
            reject("time bound", QStringLiteral("took %1 ms, its bound for %2 node(s) at --parallel %3 is %4 ms")
                                     .arg(run.ms).arg(work).arg(a.parallel).arg(boundMs(a, work)));
    } else if (run.ms > boundMs(a, 1)) {
        reject("time bound", QStringLiteral("took %1 ms without a summary").arg(run.ms));
    }

    // Every row against its node's journal.
    QHash<int, QVector<QJsonObject>> rowsOf;
    for (const QJsonValue v : rows) {
        const QJsonObject row = v.toObject();
        const int n = nodeOf(row, before, after);
        if (n >= 0)
            rowsOf[n].append(row);
        else if (row.value("result") == "done" || row.value("result") == "verified")
            reject("no such node", QStringLiteral("%1, but no node answers at %2 with that serial").arg(row.value("result").toString(), row.value("address").toString()), {}, row);
    }
    for (int n = 0; n < before.size(); ++n) {
        const QString key = before.at(n).key();
        const QVector<Event> events = journal.value(key);
        const QVector<QJsonObject> mine = rowsOf.value(n);
        const bool wrote = writes(events);
        if (mine.isEmpty()) {
            if (wrote)
                reject("unaccounted", QStringLiteral("the node did %1, and %2").arg(didWhat(events), hasSummary ? QStringLiteral("no row speaks of it") : QStringLiteral("tarvo printed no summary")), key);
            continue;
        }
        // Rows of made-up flood nodes share the node: only what one row
        // claims can be checked, and that one of them owns the writes.
        const bool shared = mine.size() > 1;
        // A request sent while the node was paused, killed or cut off may
        // never have reached it: tarvo cannot know, and says it changed.
        const bool unsure = disturbed.cut || disturbed.processes.contains(before.at(n).process);
        if (shared && wrote && std::none_of(mine.cbegin(), mine.cend(), [](const QJsonObject &r) { return r.value("changed").toBool(); }))
            reject("changed: false", QStringLiteral("no row says changed, but the node did %1").arg(didWhat(events)), key);
        for (const QJsonObject &row : mine) {
            const QString result = row.value("result").toString(), reason = row.value("reason").toString();
            const bool changed = row.value("changed").toBool();
            if (result == QLatin1String("done") || result == QLatin1String("verified"))
                if (const QString gap = notApplied(a, row, events); !gap.isEmpty())
                    reject("claimed", result + QStringLiteral(", but ") + gap, key, row);
            static const QRegularExpression moved(QStringLiteral("now answers at ([0-9.]+)"));
            if (const auto m = moved.match(reason); m.hasMatch() && m.captured(1) != after.at(n).at && !unsure)
                reject("moved", QStringLiteral("'%1', but the node answers at %2").arg(m.captured(0), after.at(n).at), key, row);
            if (shared)
                continue;
            if (!changed && wrote)
                reject("changed: false", QStringLiteral("changed: false, but the node did %1").arg(didWhat(events)), key, row);
            if (changed && !reached(events) && !unsure)
                reject("changed: true", QStringLiteral("changed: true, but no writing request reached the node (it did %1)").arg(didWhat(events)), key, row);
            if (reason == QLatin1String("not started; nothing was sent to it") && !events.isEmpty() &&
                !std::all_of(events.cbegin(), events.cend(), [](const Event &e) { return eventName(e) == QLatin1String("start"); }))
                reject("not started", QStringLiteral("'%1', but the node did %2").arg(reason, didWhat(events)), key, row);
            const bool refused = result == QLatin1String("failed") && row.value("seconds").toDouble() == 0 &&
                std::any_of(refusals.cbegin(), refusals.cend(), [&reason](const QString &r) { return reason.contains(r); });
            if ((result == QLatin1String("skipped") || result == QLatin1String("missing") || refused) && reached(events))
                reject("nothing reached", QStringLiteral("%1, but the node did %2").arg(result, didWhat(events)), key, row);
            const bool erased = !last(events, QStringLiteral("erase")).isEmpty();
            const bool restarted = upgradeGap(a, events).isEmpty();
            if (a.command == QLatin1String("upgrade") && erased && !restarted && !checkedWhole(a, events) &&
                (result == QLatin1String("failed") || result == QLatin1String("interrupted")) &&
                (!changed || !reason.contains(QRegularExpression(QStringLiteral("it may hold no complete firmware: run tarvo .*upgrade ")))))
                reject("upgrade hint", QStringLiteral("%1 after the node was erased, but %2").arg(result,
                           changed ? QStringLiteral("without the hint to run tarvo upgrade again") : QStringLiteral("changed: false")), key, row);
        }
    }
    return out;
}
