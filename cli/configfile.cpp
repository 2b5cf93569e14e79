#include "cli/configfile.h"

#include "cli/output.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <cmath>

namespace configfile {

namespace {

const QString formatName = QStringLiteral("tarvo-config");

// The file's names of the port fields, in PortValues::Field order.
const char *const fieldKeys[PortValues::FieldCount] = {"universe", "break", "mab", "mbf", "wait", "channels"};
const char *const mergeNames[2] = {"HTP", "LTP"};

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

QString lineAndColumn(const QByteArray &text, int offset)
{
    offset = qBound(0, offset, int(text.size()));
    const int lineStart = int(text.lastIndexOf('\n', offset - 1)) + 1;
    const int line = int(text.left(offset).count('\n')) + 1;
    const int column = int(QString::fromUtf8(text.mid(lineStart, offset - lineStart)).size()) + 1;
    return QStringLiteral("line %1, column %2").arg(line).arg(column);
}

} // namespace

QJsonObject toJson(const ConfigValues &values, const QByteArray &serial)
{
    QJsonArray ports;
    for (const PortValues &p : values.ports) {
        QJsonObject port;
        for (int f = 0; f < PortValues::FieldCount; ++f)
            port.insert(QLatin1String(fieldKeys[f]), qint64(p.field[size_t(f)]));
        port.insert(QStringLiteral("merge"), QLatin1String(mergeNames[p.mergeMode == 0 ? 0 : 1]));
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
        fields.append(QStringLiteral("\"merge\": ") + str(QLatin1String(mergeNames[p.mergeMode == 0 ? 0 : 1])));
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
    if (!latin1Text(root.value(QStringLiteral("label")), &p.values.label)) {
        p.error = QStringLiteral("\"label\" must be a text of 8-bit (Latin-1) characters");
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
        if (!v.isString()) {
            p.error = QStringLiteral("\"network\": \"%1\" must be a text such as \"192.0.2.10\"")
                          .arg(QLatin1String(addressKeys[i]));
            return p;
        }
        *addresses[i] = v.toString();
    }

    const QJsonArray ports = root.value(QStringLiteral("ports")).toArray();
    if (ports.size() != ConfigRecord::PortCount) {
        p.error = QStringLiteral("\"ports\" must be a list of %1 ports").arg(int(ConfigRecord::PortCount));
        return p;
    }
    for (int i = 0; i < ConfigRecord::PortCount; ++i) {
        const QString where = QStringLiteral("port %1: ").arg(i + 1);
        const QJsonObject port = ports.at(i).toObject();
        QStringList known{"merge"};
        for (const char *key : fieldKeys)
            known.append(QLatin1String(key));
        p.error = unknownKey(port, known, where);
        if (!p.ok())
            return p;
        PortValues &values = p.values.ports[size_t(i)];
        for (int f = 0; f < PortValues::FieldCount; ++f) {
            if (!wholeNumber(port.value(QLatin1String(fieldKeys[f])), &values.field[size_t(f)])) {
                p.error = where + quoted(QLatin1String(fieldKeys[f])) +
                    QStringLiteral(" must be a whole number from 0 to 4294967295");
                return p;
            }
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
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        p.error = path + QStringLiteral(": cannot be read: ") + file.errorString();
        return p;
    }
    const QByteArray text = file.read(MaxFileBytes + 1);
    if (text.size() > MaxFileBytes) {
        p.error = path + QStringLiteral(": larger than %1 bytes, not a configuration file").arg(int(MaxFileBytes));
        return p;
    }
    p = fromJson(text);
    if (!p.ok())
        p.error = path + QStringLiteral(": ") + p.error;
    return p;
}

} // namespace configfile
