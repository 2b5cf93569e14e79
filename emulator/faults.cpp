// The one list of faults. Each definition says what value it takes, in words
// that the refusal, --help and the documented table all show, and how that
// value is read into Faults; nothing else looks a fault up by name.

#include "faults.h"
#include "nodewire.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <cmath>
#include <functional>

namespace {

enum class Area { Discovery, AnyReply, Configuration, Firmware };

const char *areaName(Area a)
{
    switch (a) {
    case Area::Discovery:
        return "Discovery";
    case Area::AnyReply:
        return "Any reply";
    case Area::Configuration:
        return "Configuration";
    case Area::Firmware:
        return "Firmware";
    }
    return "";
}

constexpr qint64 MaxMs = 3600000;     // an hour: longer waits are mistakes
constexpr qint64 MaxWord = 4294967295; // command words and packet numbers on the wire are 32-bit
constexpr qint64 LastPacket = 4095;   // the node keeps 4096 packets at the most

// Reads the value into the faults; false when it is not what the fault
// takes, with `why` saying more where a plain "it takes" would not.
using Reader = std::function<bool(const QJsonValue &, Faults &, QString *why)>;

struct Definition {
    const char *name;
    Area area;
    QString value; // as the syntax shows it: "N", "true", "[W,...]"
    QString takes; // the value's type and range, in words
    const char *help;
    Reader read;
};

bool whole(const QJsonValue &v, qint64 min, qint64 max, qint64 *out)
{
    const double d = v.toDouble(std::nan(""));
    if (!v.isDouble() || std::floor(d) != d || d < double(min) || d > double(max))
        return false;
    *out = qint64(d);
    return true;
}

// An object key that must be a whole number ("5" for packet 5).
bool wholeKey(const QString &key, qint64 min, qint64 max, qint64 *out)
{
    bool ok = false;
    const qint64 n = key.toLongLong(&ok);
    if (!ok || n < min || n > max)
        return false;
    *out = n;
    return true;
}

// A command word, or a list of them.
bool words(const QJsonValue &v, QVector<quint32> *out)
{
    const QJsonArray list = v.isArray() ? v.toArray() : QJsonArray{v};
    for (const QJsonValue w : list) {
        qint64 n = 0;
        if (!whole(w, 0, MaxWord, &n))
            return false;
        out->append(quint32(n));
    }
    return true;
}

// An object of these keys and no others, or false.
bool keyed(const QJsonValue &v, const QStringList &keys, QJsonObject *o, QString *why)
{
    *o = v.toObject();
    for (auto it = o->begin(); it != o->end(); ++it)
        if (!keys.contains(it.key())) {
            *why = QStringLiteral("no key \"%1\"").arg(it.key());
            return false;
        }
    return v.isObject();
}

QString range(qint64 min, qint64 max)
{
    return QStringLiteral("%1 to %2").arg(min).arg(max);
}

Definition flag(const char *name, Area area, bool Faults::*field, const char *help)
{
    return {name, area, QStringLiteral("true"), QStringLiteral("true or false"), help,
            [field](const QJsonValue &v, Faults &f, QString *) {
                f.*field = v.toBool();
                return v.isBool();
            }};
}

template <typename T>
Definition number(const char *name, Area area, const char *value, qint64 min, qint64 max, T Faults::*field, const char *help)
{
    return {name, area, QString::fromLatin1(value), QStringLiteral("a whole number from ") + range(min, max), help,
            [=](const QJsonValue &v, Faults &f, QString *) {
                qint64 n = 0;
                if (!whole(v, min, max, &n))
                    return false;
                f.*field = T(n);
                return true;
            }};
}

Definition millis(const char *name, Area area, int Faults::*field, const char *help)
{
    Definition d = number(name, area, "N", 0, MaxMs, field, help);
    d.takes = QStringLiteral("milliseconds from ") + range(0, MaxMs);
    return d;
}

Definition packet(const char *name, qint64 Faults::*field, const char *help)
{
    Definition d = number(name, Area::Firmware, "K", 0, LastPacket, field, help);
    d.takes = QStringLiteral("a packet number from ") + range(0, LastPacket);
    return d;
}

template <typename Container>
Definition wordList(const char *name, Area area, const char *value, Container Faults::*field, const char *help)
{
    return {name, area, QString::fromLatin1(value), QStringLiteral("a command word or a list of them, words 0 to 4294967295"),
            help, [field](const QJsonValue &v, Faults &f, QString *) {
                QVector<quint32> list;
                if (!words(v, &list))
                    return false;
                f.*field = Container(list.begin(), list.end());
                return true;
            }};
}

// {"P":N,...}: a value for each packet number.
template <typename T>
Definition perPacket(const char *name, const char *value, qint64 min, qint64 max, QHash<qint64, T> Faults::*field,
                     const char *what, const char *help)
{
    return {name, Area::Firmware, QString::fromLatin1(value),
            QStringLiteral("an object of packet number (0 to %1) to %2 (%3)").arg(LastPacket).arg(QString::fromLatin1(what), range(min, max)),
            help, [=](const QJsonValue &v, Faults &f, QString *why) {
                const QJsonObject o = v.toObject();
                (f.*field).clear();
                for (auto it = o.begin(); it != o.end(); ++it) {
                    qint64 p = 0, n = 0;
                    if (!wholeKey(it.key(), 0, LastPacket, &p)) {
                        *why = QStringLiteral("\"%1\" is not a packet number").arg(it.key());
                        return false;
                    }
                    if (!whole(it.value(), min, max, &n))
                        return false;
                    (f.*field).insert(p, T(n));
                }
                return v.isObject();
            }};
}

const QVector<Definition> &definitions()
{
    using A = Area;
    using F = Faults;
    static const QVector<Definition> all{
        flag("silent", A::Discovery, &F::silent, "answers nothing at all, neither discovery nor on TCP"),
        flag("no-discovery", A::Discovery, &F::noDiscovery, "does not answer discovery"),
        millis("discovery-delay-ms", A::Discovery, &F::discoveryDelayMs, "answers discovery after N ms"),
        flag("duplicate-reply", A::Discovery, &F::duplicateReply, "answers discovery twice"),
        {"extra-datagrams", A::Discovery, QStringLiteral("[\"short\",\"tiny\",\"garbage\"]"),
         QStringLiteral("a list of \"short\", \"tiny\" and \"garbage\""),
         "sends these before its reply: its record cut to 281 bytes, to 3 bytes, a record of noise",
         [](const QJsonValue &v, Faults &f, QString *) {
             f.extraDatagrams.clear();
             for (const QJsonValue kind : v.toArray()) {
                 const QString k = kind.toString();
                 if (k == QLatin1String("short"))
                     f.extraDatagrams.append(Faults::ShortRecord);
                 else if (k == QLatin1String("tiny"))
                     f.extraDatagrams.append(Faults::Tiny);
                 else if (k == QLatin1String("garbage"))
                     f.extraDatagrams.append(Faults::Garbage);
                 else
                     return false;
             }
             return v.isArray();
         }},
        {"discovery-flood", A::Discovery, QStringLiteral("{\"rate\":R,\"count\":N}"),
         QStringLiteral("R replies a second above 0 and at most 10000000, N from 1 to 1000000000"),
         "after its reply sends N more, R a second, each with a serial (FL...) and label of its own; prints flood-done",
         [](const QJsonValue &v, Faults &f, QString *why) {
             QJsonObject o;
             const bool ok = keyed(v, {QStringLiteral("rate"), QStringLiteral("count")}, &o, why);
             f.floodRate = o.value(QLatin1String("rate")).toDouble();
             return ok && f.floodRate > 0 && f.floodRate <= 1e7 && whole(o.value(QLatin1String("count")), 1, 1000000000, &f.floodCount);
         }},

        wordList("no-reply", A::AnyReply, "[W,...]", &F::noReply, "leaves requests with these words unanswered"),
        {"delay-ms", A::AnyReply, QStringLiteral("N or {\"W\":N,...}"),
         QStringLiteral("milliseconds from 0 to %1, for every reply or by command word").arg(MaxMs),
         "delays its replies by N ms: all, or those to word W",
         [](const QJsonValue &v, Faults &f, QString *why) {
             qint64 n = 0;
             if (!v.isObject()) {
                 if (!whole(v, 0, MaxMs, &n))
                     return false;
                 f.delayMs = int(n);
                 return true;
             }
             const QJsonObject o = v.toObject();
             for (auto it = o.begin(); it != o.end(); ++it) {
                 qint64 word = 0;
                 if (!wholeKey(it.key(), 0, MaxWord, &word)) {
                     *why = QStringLiteral("\"%1\" is not a command word").arg(it.key());
                     return false;
                 }
                 if (!whole(it.value(), 0, MaxMs, &n))
                     return false;
                 f.delayByWord.insert(quint32(word), int(n));
             }
             return true;
         }},
        flag("duplicate", A::AnyReply, &F::duplicate, "writes every reply twice, in one segment"),
        {"append", A::AnyReply, QStringLiteral("W"), QStringLiteral("a command word from 0 to 4294967295"),
         "follows every reply, in the same segment, by a message with word W",
         [](const QJsonValue &v, Faults &f, QString *) {
             qint64 w = 0;
             f.hasAppend = whole(v, 0, MaxWord, &w);
             f.append = quint32(w);
             return f.hasAppend;
         }},
        flag("split", A::AnyReply, &F::split, "writes every reply in two segments, split after a third of it"),
        number("split-at", A::AnyReply, "N", 1, 1 << 20, &F::splitAt,
               "writes every reply in two segments, split after byte N (a reply of N bytes or fewer goes whole)"),
        millis("split-pause-ms", A::AnyReply, &F::splitPauseMs, "the pause between the two segments of split and split-at (60)"),
        number("short-replies", A::AnyReply, "N", 0, 1 << 20, &F::shortReplies, "cuts every reply to its first N bytes"),
        number("close-after", A::AnyReply, "N", 1, 1 << 30, &F::closeAfter, "drops the connection on the N-th message received"),
        wordList("close-after-reply", A::AnyReply, "W or [W,...]", &F::closeAfterReply,
                 "closes the connection in order (what was written, then FIN) once its reply to word W is written"),
        wordList("send-on-connect", A::AnyReply, "[W,...]", &F::sendOnConnect,
                 "sends messages with these words after accepting, 30 ms apart"),
        {"flood-after", A::AnyReply, QStringLiteral("{\"word\":W,\"megabytes\":M}"),
         QStringLiteral("W a command word, M above 0 and at most 1048576"),
         "after its reply to word W writes M MiB of messages with word 99 as the connection drains; prints flood-done",
         [](const QJsonValue &v, Faults &f, QString *why) {
             QJsonObject o;
             qint64 w = 0;
             f.hasFloodAfter = keyed(v, {QStringLiteral("word"), QStringLiteral("megabytes")}, &o, why) &&
                 whole(o.value(QLatin1String("word")), 0, MaxWord, &w);
             const double mib = o.value(QLatin1String("megabytes")).toDouble();
             f.hasFloodAfter = f.hasFloodAfter && mib > 0 && mib <= 1 << 20;
             f.floodAfterWord = quint32(w);
             f.floodAfterBytes = qint64(mib * 1024) * nodewire::MessageSize; // whole messages
             return f.hasFloodAfter;
         }},

        flag("no-ack", A::Configuration, &F::noAck, "leaves SetConfig unacknowledged"),
        flag("early-ack", A::Configuration, &F::earlyAck,
             "follows its GetConfig reply, in the same segment, by a SetConfig acknowledgement of the configuration it holds"),
        millis("late-ack-ms", A::Configuration, &F::lateAckMs, "acknowledges SetConfig after N ms"),
        flag("out-of-range", A::Configuration, &F::outOfRange, "sends configuration records with values out of range"),
        {"config-words", A::Configuration, QStringLiteral("{\"OFFSET\":V,...}"),
         QStringLiteral("an object of byte offset (0 to %1) to a 32-bit value (0 to 4294967295)").arg(nodewire::MessageSize - 4),
         "sets the 32-bit word at these byte offsets of every configuration record it sends",
         [](const QJsonValue &v, Faults &f, QString *why) {
             const QJsonObject o = v.toObject();
             f.configWords.clear();
             for (auto it = o.begin(); it != o.end(); ++it) {
                 qint64 offset = 0, value = 0;
                 if (!wholeKey(it.key(), 0, nodewire::MessageSize - 4, &offset)) {
                     *why = QStringLiteral("offset \"%1\" is not a place for a 32-bit word in the %2-byte record (0 to %3)")
                                .arg(it.key())
                                .arg(nodewire::MessageSize)
                                .arg(nodewire::MessageSize - 4);
                     return false;
                 }
                 if (!whole(it.value(), 0, MaxWord, &value))
                     return false;
                 f.configWords.append({int(offset), quint32(value)});
             }
             return v.isObject();
         }},
        {"factory-ip", A::Configuration, QStringLiteral("ADDR"), QStringLiteral("an IPv4 address, a.b.c.d"),
         "DefaultConfig restores a configuration with this address",
         [](const QJsonValue &v, Faults &f, QString *) {
             QByteArray scratch(4, '\0');
             f.factoryIp = v.toString();
             return nodewire::putAddress(scratch, 0, f.factoryIp);
         }},
        flag("move", A::Configuration, &F::move,
             "takes the address of a configuration it applies: listens and answers discovery there, no longer at the old "
             "one (an address this network lacks or another node holds leaves it where it is)"),

        flag("wrong-crc", A::Firmware, &F::wrongCrc, "answers ReadCrc with a checksum one too high"),
        packet("silent-after-packet", &F::silentAfterPacket, "stores but no longer acknowledges the packets after packet K"),
        perPacket("ack-packet", "{\"P\":N,...}", -2147483648LL, MaxWord, &F::ackPacket, "the number acknowledged",
                  "acknowledges packet P with the number N (any, even negative)"),
        flag("ack-twice", A::Firmware, &F::ackTwice, "writes every packet acknowledgement twice, each a write of its own"),
        perPacket("refuse-packet", "{\"P\":T,...}", 1, 1000000, &F::refusePacket, "how many times",
                  "the first T times packet P arrives, stores nothing and acknowledges packet P-1"),
        {"stale-acks", A::Firmware, QStringLiteral("{\"every\":E,\"back\":B}"),
         QStringLiteral("E from 1 to 4096, B from 0 to 4096"),
         "after acknowledging packet n, n+1 a multiple of E, acknowledges n-B once more, in a write of its own",
         [](const QJsonValue &v, Faults &f, QString *why) {
             QJsonObject o;
             qint64 every = 0, back = 0;
             const bool ok = keyed(v, {QStringLiteral("every"), QStringLiteral("back")}, &o, why) &&
                 whole(o.value(QLatin1String("every")), 1, 4096, &every) && whole(o.value(QLatin1String("back")), 0, 4096, &back);
             f.staleEvery = int(every);
             f.staleBack = int(back);
             return ok;
         }},
        millis("erase-delay-ms", A::Firmware, &F::eraseDelayMs, "answers EraseSector after N ms"),
        packet("drop-after-packet", &F::dropAfterPacket, "drops the connection on receiving packet K, unacknowledged"),
        flag("restart-silently", A::Firmware, &F::restartSilently, "on ResetDevice closes the connection at once, unanswered"),
        {"reset-reply", A::Firmware, QStringLiteral("{\"word\":W,\"number\":N}"),
         QStringLiteral("W a command word, N (optional) from -2147483648 to 4294967295"),
         "answers ResetDevice with a message of word W (N at byte 8), then nothing more on that connection",
         [](const QJsonValue &v, Faults &f, QString *why) {
             QJsonObject o;
             qint64 w = 0, n = 0;
             f.hasResetReply = keyed(v, {QStringLiteral("word"), QStringLiteral("number")}, &o, why) &&
                 whole(o.value(QLatin1String("word")), 0, MaxWord, &w) &&
                 (!o.contains(QLatin1String("number")) || whole(o.value(QLatin1String("number")), -2147483648LL, MaxWord, &n));
             f.resetReplyWord = quint32(w);
             f.resetReplyNumber = quint32(n);
             return f.hasResetReply;
         }},
        millis("restart-ms", A::Firmware, &F::restartMs,
               "after ResetDevice answers no discovery and accepts no connection for N ms, then shows its new version"),
        flag("keep-version", A::Firmware, &F::keepVersion, "after ResetDevice still announces its old firmware version"),
    };
    return all;
}

QString compact(const QJsonValue &v)
{
    const QByteArray json = QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

QString syntax(const Definition &d)
{
    return QString::fromLatin1(d.name) + QLatin1Char('=') + d.value;
}

} // namespace

QString Faults::parse(const QJsonObject &given)
{
    for (auto it = given.begin(); it != given.end(); ++it) {
        const Definition *found = nullptr;
        for (const Definition &d : definitions())
            if (it.key() == QLatin1String(d.name))
                found = &d;
        if (!found)
            return QStringLiteral("fault %1=%2: there is no such fault").arg(it.key(), compact(it.value()));
        QString why;
        if (!found->read(it.value(), *this, &why))
            return QStringLiteral("fault %1=%2: %3it takes %4 (%5)")
                .arg(it.key(), compact(it.value()), why.isEmpty() ? QString() : why + QStringLiteral("; "), found->takes,
                     syntax(*found));
    }
    return QString();
}

std::pair<QString, QJsonValue> faultArgument(const QString &argument)
{
    const int eq = int(argument.indexOf(QLatin1Char('=')));
    if (eq < 0)
        return {argument, QJsonValue(true)};
    const QByteArray value = argument.mid(eq + 1).toUtf8();
    const QJsonDocument doc = QJsonDocument::fromJson("[" + value + "]");
    return {argument.left(eq), doc.isArray() && doc.array().size() == 1 ? doc.array().at(0) : QJsonValue(QString::fromUtf8(value))};
}

QString faultHelp()
{
    QString text;
    for (const Area area : {Area::Discovery, Area::AnyReply, Area::Configuration, Area::Firmware}) {
        text += QStringLiteral(" %1\n").arg(QString::fromLatin1(areaName(area)));
        for (const Definition &d : definitions()) {
            if (d.area != area)
                continue;
            const QString s = syntax(d);
            // The help beside a short syntax, under a long one.
            text += s.size() <= 24 ? QStringLiteral("  %1 %2\n").arg(s, -24).arg(QString::fromLatin1(d.help))
                                   : QStringLiteral("  %1\n  %2 %3\n").arg(s).arg(QString(), -24).arg(QString::fromLatin1(d.help));
        }
    }
    return text;
}

QString faultTable()
{
    QString table = QStringLiteral("| Area | Fault | Value | What the node does |\n|---|---|---|---|\n");
    for (const Definition &d : definitions())
        table += QStringLiteral("| %1 | `%2` | %3 | %4 |\n")
                     .arg(QString::fromLatin1(areaName(d.area)), syntax(d), d.takes, QString::fromLatin1(d.help));
    return table;
}

QString faultNames()
{
    QStringList names;
    for (const Definition &d : definitions())
        names.append(QString::fromLatin1(d.name));
    return names.join(QStringLiteral(", "));
}
