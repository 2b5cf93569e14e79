// Start-up checks of the faults whose values the emulator computes with, so
// that a mistyped fault stops the run with a reason instead of quietly
// doing something else.

#include "emulator.h"
#include "nodewire.h"

#include <QJsonValue>
#include <cmath>

namespace {

bool whole(const QJsonValue &v, double min, double max)
{
    const double d = v.toDouble(std::nan(""));
    return v.isDouble() && std::floor(d) == d && d >= min && d <= max;
}

QString configWordsError(const QJsonValue &value)
{
    if (!value.isObject())
        return QStringLiteral("wants an object of byte offset to value, e.g. {\"100\":7}");
    const QJsonObject words = value.toObject();
    for (auto it = words.begin(); it != words.end(); ++it) {
        bool ok = false;
        const int offset = it.key().toInt(&ok);
        if (!ok || offset < 0 || offset > nodewire::MessageSize - 4)
            return QStringLiteral("offset \"%1\" is not a place for a 32-bit word in the %2-byte record (0 to %3)")
                .arg(it.key()).arg(nodewire::MessageSize).arg(nodewire::MessageSize - 4);
        if (!whole(it.value(), 0, 4294967295.0))
            return QStringLiteral("value at offset %1 is not a whole number from 0 to 4294967295").arg(offset);
    }
    return QString();
}

// Checks one fault; an empty result for a good value or a fault not checked here.
QString checkOne(const QString &name, const QJsonValue &value)
{
    const auto flag = [&] { return value.isBool() ? QString() : QStringLiteral("wants true or false"); };
    const auto count = [&](double min) {
        return whole(value, min, 1 << 30) ? QString() : QStringLiteral("wants a whole number from %1").arg(min);
    };
    if (name == QLatin1String("restart-silently") || name == QLatin1String("ack-twice"))
        return flag();
    if (name == QLatin1String("split-at"))
        return count(1);
    if (name == QLatin1String("short-replies"))
        return count(0);
    if (name == QLatin1String("config-words"))
        return configWordsError(value);
    const QJsonObject o = value.toObject();
    if (name == QLatin1String("flood-after")) {
        const double mib = o.value(QLatin1String("megabytes")).toDouble();
        if (!whole(o.value(QLatin1String("word")), 0, 4294967295.0) || !(mib > 0 && mib <= 1 << 20))
            return QStringLiteral("wants {\"word\":W,\"megabytes\":M}, W a command word, M above 0 and at most 1048576");
        return QString();
    }
    if (name == QLatin1String("discovery-flood")) {
        const double rate = o.value(QLatin1String("rate")).toDouble();
        if (!(rate > 0 && rate <= 1e7) || !whole(o.value(QLatin1String("count")), 1, 1e9))
            return QStringLiteral("wants {\"rate\":R,\"count\":N}, R replies a second above 0 and at most 10000000, N from 1 to 1000000000");
        return QString();
    }
    return QString();
}

} // namespace

QString faultError(const QJsonObject &faults)
{
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        const QString error = checkOne(it.key(), it.value());
        if (!error.isEmpty())
            return QStringLiteral("fault %1: %2").arg(it.key(), error);
    }
    return QString();
}
