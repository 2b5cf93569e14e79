#include "cli/configfile.h"

#include "cli/files.h"
#include "cli/output.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSet>
#include <cmath>

namespace configfile {

namespace {

const QString formatName = QStringLiteral("tarvo-config");

// The file's names of the port fields, in PortValues::Field order.
const char *const fieldKeys[PortValues::FieldCount] = {"universe", "break", "mab", "mbf", "wait", "channels"};
const char *const mergeNames[2] = {"HTP", "LTP"};

// A merge mode as the file holds it: its name, or, for a value the node
// should not hold, the number as it is (refused when written back, as the
// window refuses values out of range).
QJsonValue mergeValue(quint32 mode)
{
    return mode <= 1 ? QJsonValue(QLatin1String(mergeNames[mode])) : QJsonValue(qint64(mode));
}

QString quoted(const QString &key)
{
    return QLatin1Char('"') + key + QLatin1Char('"');
}

// Every key of an object must be one the format knows: a misspelt key would
// otherwise read as a missing one, or be silently dropped.
QString unknownKey(const QJsonObject &object, const QStringList &known, const QString &where)
{
    for (auto it = object.begin(); it != object.end(); ++it)
        if (!known.contains(it.key()))
            return where + QStringLiteral("unknown key ") + quoted(it.key());
    return QString();
}

bool wholeNumber(const QJsonValue &value, quint32 *out)
{
    if (!value.isDouble())
        return false;
    const double d = value.toDouble();
    if (!(d >= 0 && d <= 4294967295.0) || std::floor(d) != d)
        return false;
    *out = quint32(d);
    return true;
}

bool latin1Text(const QJsonValue &value, QByteArray *out)
{
    if (!value.isString())
        return false;
    const QString text = value.toString();
    for (const QChar c : text)
        if (c.unicode() > 0xff)
            return false;
    *out = text.toLatin1();
    return true;
}

// QJsonDocument keeps the last of a key given twice: the first value would
// be dropped without a word. Walks the text (already known to be valid
// JSON) and returns the offset of the first key repeated within its
// object, or -1.
int repeatedKey(const QByteArray &text, QString *key)
{
    struct Level {
        bool object;
        bool atKey;
        QSet<QString> keys;
    };
    QVector<Level> levels;
    for (int i = 0; i < text.size(); ++i) {
        const char c = text.at(i);
        if (c == '{' || c == '[') {
            levels.append({c == '{', c == '{', {}});
        } else if (c == '}' || c == ']') {
            if (!levels.isEmpty())
                levels.removeLast();
        } else if (c == ',') {
            if (!levels.isEmpty())
                levels.last().atKey = levels.last().object;
        } else if (c == '"') {
            int end = i + 1;
            while (end < text.size() && text.at(end) != '"')
                end += text.at(end) == '\\' ? 2 : 1;
            if (!levels.isEmpty() && levels.last().atKey) {
                levels.last().atKey = false;
                // The key as JSON reads it, escapes resolved.
                const QByteArray quotedKey = text.mid(i, end - i + 1);
                const QString name = quotedKey.contains('\\')
                    ? QJsonDocument::fromJson('[' + quotedKey + ']').array().first().toString()
                    : QString::fromUtf8(quotedKey.mid(1, quotedKey.size() - 2));
                if (levels.last().keys.contains(name)) {
                    *key = name;
                    return i;
                }
                levels.last().keys.insert(name);
            }
            i = end;
        }
    }
    return -1;
}

QString lineAndColumn(const QByteArray &text, int offset)
{
    offset = qBound(0, offset, int(text.size()));
    const int lineStart = int(text.lastIndexOf('\n', offset - 1)) + 1;
    const int line = int(text.left(offset).count('\n')) + 1;
    const int column = int(QString::fromUtf8(text.mid(lineStart, offset - lineStart)).size()) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

} // namespace

QString repeatedKeyError(const QByteArray &json)
{
    QString twice;
    const int at = repeatedKey(json, &twice);
    return at < 0 ? QString() : lineAndColumn(json, at) + QStringLiteral(": the key %1 is given twice").arg(quoted(twice));
}

QJsonObject toJson(const ConfigValues &values, const QByteArray &serial)
{
    QJsonArray ports;
    for (const PortValues &p : values.ports) {
        QJsonObject port;
        for (int f = 0; f < PortValues::FieldCount; ++f)
            port.insert(QLatin1String(fieldKeys[f]), qint64(p.field[size_t(f)]));
        port.insert(QStringLiteral("merge"), mergeValue(p.mergeMode));
        ports.append(port);
    }
    return QJsonObject{
        {QStringLiteral("format"), formatName},
        {QStringLiteral("version"), int(FormatVersion)},
        {QStringLiteral("serial"), QString::fromLatin1(serial)},
        {QStringLiteral("label"), QString::fromLatin1(values.label)},
        {QStringLiteral("network"),
         QJsonObject{{QStringLiteral("ip"), values.ip},
                     {QStringLiteral("mask"), values.mask},
                     {QStringLiteral("gateway"), values.gateway}}},
        {QStringLiteral("ports"), ports},
    };
}

QByteArray toText(const ConfigValues &values, const QByteArray &serial)
{
    const auto str = [](const QString &text) { return out::jsonString(text); };
    QStringList ports;
    for (const PortValues &p : values.ports) {
        QStringList fields;
        for (int f = 0; f < PortValues::FieldCount; ++f)
            fields.append(quoted(QLatin1String(fieldKeys[f])) + QStringLiteral(": ") + QString::number(p.field[size_t(f)]));
        const QJsonValue merge = mergeValue(p.mergeMode);
        fields.append(QStringLiteral("\"merge\": ") + (merge.isString() ? str(merge.toString()) : QString::number(p.mergeMode)));
        ports.append(QStringLiteral("    {") + fields.join(QStringLiteral(", ")) + QLatin1Char('}'));
    }
    const QString text =
        QStringLiteral("{\n"
                       "  \"format\": %1,\n"
                       "  \"version\": %2,\n"
                       "  \"serial\": %3,\n"
                       "  \"label\": %4,\n"
                       "  \"network\": {\"ip\": %5, \"mask\": %6, \"gateway\": %7},\n"
                       "  \"ports\": [\n%8\n"
                       "  ]\n"
                       "}\n")
            .arg(str(formatName), QString::number(int(FormatVersion)), str(QString::fromLatin1(serial)),
                 str(QString::fromLatin1(values.label)), str(values.ip), str(values.mask), str(values.gateway),
                 ports.join(QStringLiteral(",\n")));
    return text.toUtf8();
}

Parsed fromJson(const QByteArray &text)
{
    Parsed p;
    QJsonParseError parseError{};
    const QJsonDocument doc = QJsonDocument::fromJson(text, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        p.error = lineAndColumn(text, parseError.offset) + QStringLiteral(": ") + parseError.errorString();
        return p;
    }
    p.error = repeatedKeyError(text);
    if (!p.ok())
        return p;
    if (!doc.isObject()) {
        p.error = QStringLiteral("not a configuration file: no JSON object");
        return p;
    }
    const QJsonObject root = doc.object();
    if (root.value(QStringLiteral("format")).toString() != formatName) {
        p.error = QStringLiteral("not a configuration file: \"format\" is not \"%1\"").arg(formatName);
        return p;
    }
    const QJsonValue version = root.value(QStringLiteral("version"));
    if (version.toDouble() != FormatVersion) {
        p.error = QStringLiteral("\"version\" must be %1, the version this program reads").arg(int(FormatVersion));
        return p;
    }
    p.error = unknownKey(root, {"format", "version", "serial", "label", "network", "ports"}, QString());
    if (!p.ok())
        return p;
    if (root.contains(QStringLiteral("serial")) && !latin1Text(root.value(QStringLiteral("serial")), &p.serial)) {
        p.error = QStringLiteral("\"serial\" must be a text");
        return p;
    }
    if (!root.contains(QStringLiteral("label"))) {
        p.error = QStringLiteral("\"label\" is missing");
        return p;
    }
    if (!latin1Text(root.value(QStringLiteral("label")), &p.values.label)) {
        p.error = QStringLiteral("\"label\" must be a text of 8-bit (Latin-1) characters");
        return p;
    }
    // The node keeps a label up to its first NUL: the rest would be cut
    // without a word.
    if (p.values.label.contains('\0')) {
        p.error = QStringLiteral("\"label\" must not hold a NUL character (\\u0000)");
        return p;
    }

    // A missing object is named as such, not by the first key it lacks.
    if (!root.value(QStringLiteral("network")).isObject()) {
        p.error = root.contains(QStringLiteral("network")) ? QStringLiteral("\"network\" must be an object")
                                                          : QStringLiteral("\"network\" is missing");
        return p;
    }
    const QJsonObject network = root.value(QStringLiteral("network")).toObject();
    p.error = unknownKey(network, {"ip", "mask", "gateway"}, QStringLiteral("\"network\": "));
    if (!p.ok())
        return p;
    QString *addresses[3] = {&p.values.ip, &p.values.mask, &p.values.gateway};
    const char *const addressKeys[3] = {"ip", "mask", "gateway"};
    for (int i = 0; i < 3; ++i) {
        const QJsonValue v = network.value(QLatin1String(addressKeys[i]));
        if (v.isUndefined()) {
            p.error = QStringLiteral("\"network\": \"%1\" is missing").arg(QLatin1String(addressKeys[i]));
            return p;
        }
        if (!v.isString()) {
            p.error = QStringLiteral("\"network\": \"%1\" must be a text such as \"192.0.2.10\"")
                          .arg(QLatin1String(addressKeys[i]));
            return p;
        }
        *addresses[i] = v.toString();
    }

    if (!root.contains(QStringLiteral("ports"))) {
        p.error = QStringLiteral("\"ports\" is missing");
        return p;
    }
    const QJsonArray ports = root.value(QStringLiteral("ports")).toArray();
    if (ports.size() != ConfigRecord::PortCount) {
        p.error = QStringLiteral("\"ports\" must be a list of %1 ports").arg(int(ConfigRecord::PortCount));
        return p;
    }
    for (int i = 0; i < ConfigRecord::PortCount; ++i) {
        const QString where = QStringLiteral("port %1: ").arg(i + 1);
        if (!ports.at(i).isObject()) {
            p.error = QStringLiteral("port %1 must be an object").arg(i + 1);
            return p;
        }
        const QJsonObject port = ports.at(i).toObject();
        QStringList known{"merge"};
        for (const char *key : fieldKeys)
            known.append(QLatin1String(key));
        p.error = unknownKey(port, known, where);
        if (!p.ok())
            return p;
        PortValues &values = p.values.ports[size_t(i)];
        for (int f = 0; f < PortValues::FieldCount; ++f) {
            if (!port.contains(QLatin1String(fieldKeys[f]))) {
                p.error = where + quoted(QLatin1String(fieldKeys[f])) + QStringLiteral(" is missing");
                return p;
            }
            if (!wholeNumber(port.value(QLatin1String(fieldKeys[f])), &values.field[size_t(f)])) {
                p.error = where + quoted(QLatin1String(fieldKeys[f])) +
                    QStringLiteral(" must be a whole number from 0 to 4294967295");
                return p;
            }
        }
        if (!port.contains(QStringLiteral("merge"))) {
            p.error = where + QStringLiteral("\"merge\" is missing");
            return p;
        }
        const QString merge = port.value(QStringLiteral("merge")).toString();
        if (merge != QLatin1String(mergeNames[0]) && merge != QLatin1String(mergeNames[1])) {
            p.error = where + QStringLiteral("\"merge\" must be \"HTP\" or \"LTP\"");
            return p;
        }
        values.mergeMode = merge == QLatin1String(mergeNames[0]) ? 0 : 1;
    }
    return p;
}

Parsed readFile(const QString &path)
{
    Parsed p;
    QString error;
    const QByteArray text = files::readBounded(path, MaxFileBytes, &error);
    if (!error.isEmpty()) {
        p.error = error;
        return p;
    }
    p = fromJson(text);
    if (!p.ok())
        p.error = files::shownName(path) + QStringLiteral(": ") + p.error;
    return p;
}

QVector<Change> changes(const ConfigValues &from, const ConfigValues &to)
{
    const QJsonObject a = toJson(from, {}), b = toJson(to, {});
    QVector<Change> out;
    const auto compare = [&out](const QString &field, const QJsonValue &x, const QJsonValue &y) {
        if (x != y)
            out.append({field, x, y});
    };
    compare(QStringLiteral("label"), a.value(QStringLiteral("label")), b.value(QStringLiteral("label")));
    const QJsonObject na = a.value(QStringLiteral("network")).toObject(), nb = b.value(QStringLiteral("network")).toObject();
    for (const char *key : {"ip", "mask", "gateway"})
        compare(QStringLiteral("network.") + QLatin1String(key), na.value(QLatin1String(key)), nb.value(QLatin1String(key)));
    const QJsonArray pa = a.value(QStringLiteral("ports")).toArray(), pb = b.value(QStringLiteral("ports")).toArray();
    for (int i = 0; i < ConfigRecord::PortCount; ++i) {
        QStringList keys;
        for (const char *key : fieldKeys)
            keys.append(QLatin1String(key));
        keys.append(QStringLiteral("merge"));
        for (const QString &key : keys)
            compare(QStringLiteral("ports[%1].%2").arg(i).arg(key), pa.at(i).toObject().value(key),
                    pb.at(i).toObject().value(key));
    }
    return out;
}

} // namespace configfile
