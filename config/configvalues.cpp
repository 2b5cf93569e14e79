#include "config/configvalues.h"

namespace {

using F = PortValues::Field;

const int words[PortValues::FieldCount] = {PortConfig::UniverseIndex, PortConfig::BreakTime, PortConfig::MabTime,
                                           PortConfig::MbfTime,       PortConfig::WaitTime,  PortConfig::ChannelCount};

} // namespace

ConfigValues ConfigValues::fromRecord(const QByteArray &record)
{
    ConfigValues v;
    v.label = wire::text(record, ConfigRecord::LabelOffset, ConfigRecord::LabelSize);
    v.ip = wire::dottedQuad(record, ConfigRecord::IpOffset);
    v.mask = wire::dottedQuad(record, ConfigRecord::MaskOffset);
    v.gateway = wire::dottedQuad(record, ConfigRecord::GatewayOffset);
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        PortValues &p = v.ports[size_t(port)];
        for (int f = 0; f < PortValues::FieldCount; ++f)
            p.field[size_t(f)] = wire::u32(record, ConfigRecord::portField(port, words[f]));
        p.field[F::Universe] += 1u; // wraps: an index with all bits set shows 0
        p.mergeMode = wire::u32(record, ConfigRecord::mergeMode(port)); // as the node holds it
    }
    return v;
}

bool ConfigValues::sameAs(const ConfigValues &o) const
{
    if (label != o.label || ip != o.ip || mask != o.mask || gateway != o.gateway)
        return false;
    for (size_t port = 0; port < ports.size(); ++port)
        if (ports[port].field != o.ports[port].field || ports[port].mergeMode != o.ports[port].mergeMode)
            return false;
    return true;
}

namespace configcheck {

Range range(PortValues::Field field)
{
    static const Range ranges[PortValues::FieldCount] = {{1, 256}, {92, 999}, {12, 999}, {0, 999}, {10, 999}, {24, 512}};
    return ranges[field];
}

Refusal notConnected()
{
    Refusal r;
    r.check = Check::NotConnected;
    return r;
}

Refusal labelTooLong()
{
    Refusal r;
    r.check = Check::LabelTooLong;
    return r;
}

Refusal badAddress(int which)
{
    Refusal r;
    r.check = Check::Address;
    r.address = qBound(0, which, 2);
    return r;
}

Refusal badPortField(int port, PortValues::Field field, quint32 value)
{
    Refusal r;
    r.check = Check::PortField;
    r.port = qBound(0, port, ConfigRecord::PortCount - 1);
    r.field = field;
    r.range = range(field);
    r.value = value;
    return r;
}

QString fieldName(PortValues::Field field)
{
    static const char *const names[PortValues::FieldCount] = {"universe",  "BREAK time", "MAB time",
                                                              "MBF time",  "WAIT time",  "channel count"};
    return QString::fromLatin1(names[field]);
}

QString addressName(int which)
{
    static const char *const names[3] = {"IP address", "subnet mask", "gateway"};
    return QString::fromLatin1(names[qBound(0, which, 2)]);
}

Refusal buildSetConfig(const ConfigValues &values, QByteArray *record)
{
    QByteArray r = wire::message(SetConfig, ConfigRecord::Size);
    // A node reads the label up to its first NUL: nothing after one is sent.
    const qsizetype nul = values.label.indexOf('\0');
    const QByteArray label = nul < 0 ? values.label : values.label.left(nul);
    if (label.size() > ConfigRecord::LabelSize - 1)
        return labelTooLong();
    wire::putText(r, ConfigRecord::LabelOffset, ConfigRecord::LabelSize, label);

    const QString *addresses[3] = {&values.ip, &values.mask, &values.gateway};
    const int offsets[3] = {ConfigRecord::IpOffset, ConfigRecord::MaskOffset, ConfigRecord::GatewayOffset};
    for (int i = 0; i < 3; ++i)
        if (!ConfigRecord::putAddress(r, offsets[i], *addresses[i]))
            return badAddress(i);

    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        const PortValues &p = values.ports[size_t(port)];
        for (int f = 0; f < PortValues::FieldCount; ++f) {
            const auto field = PortValues::Field(f);
            const quint32 value = p.field[size_t(f)];
            if (value < range(field).low || value > range(field).high)
                return badPortField(port, field, value);
            wire::putU32(r, ConfigRecord::portField(port, words[f]), field == F::Universe ? value - 1 : value);
        }
        wire::putU32(r, ConfigRecord::mergeMode(port), p.mergeMode);
    }
    *record = r;
    return {};
}

} // namespace configcheck
