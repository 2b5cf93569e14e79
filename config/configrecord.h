#ifndef TARVO_CONFIGRECORD_H
#define TARVO_CONFIGRECORD_H

#include "link/messages.h"

#include <QStringList>
#include <cstring>

// One DMX port's settings inside a ConfigRecord: seven little-endian words.
struct PortConfig {
    enum : int {
        BreakTime = 0,
        MabTime = 4,
        MbfTime = 8,
        WaitTime = 12,
        ChannelCount = 16,
        Reserved = 20,
        UniverseIndex = 24,
        Size = 28,
    };
};

// The 1024-byte configuration message of GetConfig, SetConfig and
// DefaultConfig.
struct ConfigRecord {
    enum : int {
        Size = DeviceMessageSize,
        CommandOffset = 0,
        MergeModeOffset = 68, // four words, port 1 first
        PortOffset = 84,      // four PortConfig blocks, port 1 first
        LabelOffset = 196,
        LabelSize = 64,
        NetworkHeadOffset = 260, // six bytes the tool never touches
        IpOffset = 266,
        MaskOffset = 270,
        GatewayOffset = 274,
        NetworkSize = 12, // address, mask and gateway, compared as one block
        UsedSize = 278,   // bytes the tool interprets
        PortCount = 4,
    };

    static constexpr int mergeMode(int port) { return MergeModeOffset + 4 * port; }
    static constexpr int portField(int port, int field) { return PortOffset + PortConfig::Size * port + field; }

    // A record too short to hold every field the tool reads is not used.
    static bool complete(const QByteArray &r) { return wire::has(r, 0, UsedSize); }

    // Both records complete, with the same address, mask and gateway.
    static bool sameNetwork(const QByteArray &a, const QByteArray &b)
    {
        return complete(a) && complete(b) &&
            std::memcmp(a.constData() + IpOffset, b.constData() + IpOffset, NetworkSize) == 0;
    }

    // Reads "a.b.c.d" with decimal octets 0..255, leading zeros allowed
    // ("010" is ten), and writes the four bytes first octet first into
    // `record` at `offset`. QHostAddress is no use here: it reads an octet
    // with a leading zero as octal.
    static bool putAddress(QByteArray &record, int offset, const QString &text)
    {
        const QStringList parts = text.split(QLatin1Char('.'));
        if (parts.size() != 4 || !wire::has(record, offset, 4))
            return false;
        unsigned char octets[4];
        for (int i = 0; i < 4; ++i) {
            const QString &part = parts.at(i);
            if (part.isEmpty() || part.size() > 3)
                return false;
            unsigned value = 0;
            for (const QChar c : part) {
                if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                    return false;
                value = value * 10 + unsigned(c.unicode() - '0');
            }
            if (value > 255)
                return false;
            octets[i] = static_cast<unsigned char>(value);
        }
        for (int i = 0; i < 4; ++i)
            record[offset + i] = char(octets[i]);
        return true;
    }
};

static_assert(ConfigRecord::mergeMode(ConfigRecord::PortCount) == ConfigRecord::PortOffset, "merge words end at port 1");
static_assert(ConfigRecord::portField(ConfigRecord::PortCount, 0) == ConfigRecord::LabelOffset, "ports end at label");
static_assert(ConfigRecord::LabelOffset + ConfigRecord::LabelSize == ConfigRecord::NetworkHeadOffset, "label size");
static_assert(ConfigRecord::GatewayOffset + 4 == ConfigRecord::UsedSize, "gateway is the last field used");
static_assert(ConfigRecord::IpOffset + ConfigRecord::NetworkSize == ConfigRecord::UsedSize, "network block");
static_assert(ConfigRecord::portField(3, PortConfig::UniverseIndex) == 192, "port 4 universe at 192");
static_assert(wire::fieldsEnd(GetConfig) == ConfigRecord::UsedSize && wire::fieldsEnd(SetConfig) == ConfigRecord::UsedSize &&
                  wire::fieldsEnd(DefaultConfig) == ConfigRecord::UsedSize,
              "the session waits for every field a configuration reply is read for");

#endif
