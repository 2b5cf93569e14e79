#include "config/configvalues.h"

namespace {

using F = PortValues::Field;

// Each port's refusals in check order (universe, BREAK, MAB, MBF, WAIT,
// channels). The texts are the node tool's own, spelling and punctuation
// included, and so are the four without an icon.
struct PortRefusal {
    const char *text;
    bool warning;
};
const PortRefusal portRefusals[ConfigRecord::PortCount][PortValues::FieldCount] = {
    {{"DMX Port 1: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 1: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 1: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 1: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 1: WAIT time is invalid!Choose value between 10 and 999 us", true},
     {"DMX Port 1: Channels number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 2: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 2: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 2: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 2: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 2: WAIT time is invalid! Choose value between 10 and 999 us", true},
     {"DMX Port 2: Channels number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 3: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 3: BREAK time is invalid! Choose value between 92 nad 999 us.", true},
     {"DMX Port 3: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 3: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 3: WAIT time is invalid! Choose value between 10 and 999 us.", true},
     {"DMX Port 3: Channel number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 4: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 4: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 4: MAB time is invalid! Choose value between 12 and 999 us.", false},
     {"DMX Port 4: MBF time is invalid! Choose value between 0 and 999 us.", false},
     {"DMX Port 4: WAIT time is invalid! Choose value between 10 and 999 us.", false},
     {"DMX Port 4: Channels number is invalid! Choose value between 24 and 512.", false}},
};

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
        p.mergeMode = wire::u32(record, ConfigRecord::mergeMode(port)) == 0 ? 0 : 1;
    }
    return v;
}

namespace configcheck {

Range range(PortValues::Field field)
{
    static const Range ranges[PortValues::FieldCount] = {{1, 256}, {92, 999}, {12, 999}, {0, 999}, {10, 999}, {24, 512}};
    return ranges[field];
}

Refusal notConnected()
{
    return {QStringLiteral("You are not connected to device!"), true};
}

Refusal labelTooLong()
{
    return {QStringLiteral("Device name is too long!"), true};
}

Refusal badAddress(int which)
{
    static const char *const texts[3] = {"IP address is invalid!", "Subnet is invalid!", "Gateway is invalid!"};
    return {QString::fromLatin1(texts[qBound(0, which, 2)]), true};
}

Refusal badPortField(int port, PortValues::Field field)
{
    const PortRefusal &r = portRefusals[qBound(0, port, ConfigRecord::PortCount - 1)][field];
    return {QString::fromLatin1(r.text), r.warning};
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
                return badPortField(port, field);
            wire::putU32(r, ConfigRecord::portField(port, words[f]), field == F::Universe ? value - 1 : value);
        }
        wire::putU32(r, ConfigRecord::mergeMode(port), p.mergeMode == 0 ? 0 : 1);
    }
    *record = r;
    return {};
}

} // namespace configcheck
