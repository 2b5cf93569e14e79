#include "cli/patch.h"

#include "cli/selection.h"

#include <QHostAddress>
#include <QRegularExpression>
#include <algorithm>

namespace {

const char *const portKeys[] = {"universe", "break", "mab", "mbf", "wait", "channels"};

QString address(quint64 a)
{
    return QHostAddress(quint32(a)).toString();
}

} // namespace

bool Patch::sequence() const
{
    return std::any_of(settings.cbegin(), settings.cend(), [](const Setting &s) { return s.sequence; });
}

bool Patch::setsAddress() const
{
    return std::any_of(settings.cbegin(), settings.cend(), [](const Setting &s) { return s.field == Setting::Field::Ip; });
}

Patch parsePatch(const QStringList &given, QString *refusal)
{
    static const QRegularExpression portKey(QStringLiteral("^ports\\[([0-3*])\\]\\.([a-z]+)$"));
    Patch patch;
    for (const QString &argument : given) {
        const qsizetype equals = argument.indexOf(QLatin1Char('='));
        Setting s;
        s.key = argument.left(equals);
        s.text = equals < 0 ? QString() : argument.mid(equals + 1);
        const QString shown = QStringLiteral("--set %1: ").arg(s.key);
        if (equals < 0) {
            *refusal = QStringLiteral("--set takes KEY=VALUE, not %1").arg(argument);
            return {};
        }
        bool known = true;
        if (s.key == QLatin1String("label"))
            s.field = Setting::Field::Label;
        else if (s.key == QLatin1String("network.ip"))
            s.field = Setting::Field::Ip;
        else if (s.key == QLatin1String("network.mask"))
            s.field = Setting::Field::Mask;
        else if (s.key == QLatin1String("network.gateway"))
            s.field = Setting::Field::Gateway;
        else if (const QRegularExpressionMatch m = portKey.match(s.key); m.hasMatch()) {
            s.port = m.captured(1) == QLatin1String("*") ? -1 : m.captured(1).toInt();
            if (m.captured(2) == QLatin1String("merge")) {
                s.field = Setting::Field::Merge;
            } else {
                s.field = Setting::Field::Port;
                const auto at = std::find_if(std::begin(portKeys), std::end(portKeys),
                                             [&](const char *k) { return m.captured(2) == QLatin1String(k); });
                known = at != std::end(portKeys);
                s.portField = PortValues::Field(at - std::begin(portKeys));
            }
        } else {
            known = false;
        }
        if (!known) {
            *refusal = shown + QStringLiteral("no such key; the keys are label, network.ip, network.mask, "
                                              "network.gateway and ports[N].universe, break, mab, mbf, wait, channels "
                                              "or merge, N from 0 to 3 or * for all four");
            return {};
        }
        // A label is taken as it is; numbers and addresses may count up.
        const bool counts = s.field == Setting::Field::Port || s.field == Setting::Field::Ip;
        if (counts && s.text.endsWith(QLatin1Char('+'))) {
            s.sequence = true;
            s.text.chop(1);
        }
        switch (s.field) {
        case Setting::Field::Label:
            if (s.text.contains(QChar(0)) || QString::fromLatin1(s.text.toLatin1()) != s.text) {
                *refusal = shown + QStringLiteral("a label is Latin-1 text without NUL");
                return {};
            }
            break;
        case Setting::Field::Ip:
        case Setting::Field::Mask:
        case Setting::Field::Gateway: {
            quint32 a = 0;
            if (!dottedAddress(s.text, &a)) {
                *refusal = shown + QStringLiteral("%1 is not four decimal numbers from 0 to 255").arg(s.text);
                return {};
            }
            s.number = a;
            break;
        }
        case Setting::Field::Port: {
            bool ok = false;
            s.number = s.text.toULongLong(&ok, 10);
            if (!ok || s.text.startsWith(QLatin1Char('+')) || s.number > 0xffffffffULL) {
                *refusal = shown + QStringLiteral("%1 is not a whole number from 0 to 4294967295%2")
                                       .arg(s.text, s.sequence ? QStringLiteral(" before its +") : QString());
                return {};
            }
            break;
        }
        case Setting::Field::Merge:
            if (s.text != QLatin1String("HTP") && s.text != QLatin1String("LTP")) {
                *refusal = shown + QStringLiteral("merge is HTP or LTP");
                return {};
            }
            s.number = s.text == QLatin1String("LTP") ? 1 : 0;
            break;
        }
        patch.settings.append(s);
    }
    return patch;
}

QString sequenceRange(const Patch &patch, int count, quint32 mask)
{
    for (const Setting &s : patch.settings) {
        if (!s.sequence || count <= 0)
            continue;
        const quint64 last = s.number + quint64(count) * quint64(s.step()) - 1;
        if (s.field == Setting::Field::Port) {
            const configcheck::Range range = configcheck::range(s.portField);
            if (s.number < range.low || last > range.high)
                return QStringLiteral("--set %1=%2+: %3 node(s) count from %2 to %4, beyond %5 to %6")
                    .arg(s.key, s.text)
                    .arg(count)
                    .arg(last)
                    .arg(range.low)
                    .arg(range.high);
            continue;
        }
        // Addresses stay inside their network, neither its own address nor
        // its broadcast.
        const quint64 network = s.number & mask, broadcast = network | (~quint64(mask) & 0xffffffffULL);
        if (s.number <= network || last >= broadcast)
            return QStringLiteral("--set %1=%2+: %3 node(s) count from %2 to %4, beyond the network %5 to %6")
                .arg(s.key, s.text)
                .arg(count)
                .arg(address(last))
                .arg(address(network + 1), address(broadcast - 1));
    }
    return QString();
}

quint32 addressAt(const Patch &patch, int position, quint32 current)
{
    quint32 at = current;
    for (const Setting &s : patch.settings)
        if (s.field == Setting::Field::Ip)
            at = quint32(s.number + (s.sequence ? quint64(position) : 0));
    return at;
}

void applyPatch(const Patch &patch, int position, ConfigValues *v)
{
    for (const Setting &s : patch.settings) {
        const quint64 base = s.number + (s.sequence ? quint64(position) * quint64(s.step()) : 0);
        switch (s.field) {
        case Setting::Field::Label:
            v->label = s.text.toLatin1();
            break;
        case Setting::Field::Ip:
            v->ip = address(base);
            break;
        case Setting::Field::Mask:
            v->mask = address(s.number);
            break;
        case Setting::Field::Gateway:
            v->gateway = address(s.number);
            break;
        case Setting::Field::Port:
            for (int p = 0; p < 4; ++p)
                if (s.port < 0 || s.port == p)
                    v->ports[size_t(p)].field[s.portField] = quint32(base + (s.port < 0 && s.sequence ? quint64(p) : 0));
            break;
        case Setting::Field::Merge:
            for (int p = 0; p < 4; ++p)
                if (s.port < 0 || s.port == p)
                    v->ports[size_t(p)].mergeMode = quint32(s.number);
            break;
        }
    }
}
