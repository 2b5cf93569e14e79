#ifndef TARVO_CONFIGRECORD_H
#define TARVO_CONFIGRECORD_H

#include "link/messages.h"

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
};

static_assert(ConfigRecord::mergeMode(ConfigRecord::PortCount) == ConfigRecord::PortOffset, "merge words end at port 1");
static_assert(ConfigRecord::portField(ConfigRecord::PortCount, 0) == ConfigRecord::LabelOffset, "ports end at label");
static_assert(ConfigRecord::LabelOffset + ConfigRecord::LabelSize == ConfigRecord::NetworkHeadOffset, "label size");
static_assert(ConfigRecord::GatewayOffset + 4 == ConfigRecord::UsedSize, "gateway is the last field used");
static_assert(ConfigRecord::IpOffset + ConfigRecord::NetworkSize == ConfigRecord::UsedSize, "network block");
static_assert(ConfigRecord::portField(3, PortConfig::UniverseIndex) == 192, "port 4 universe at 192");

#endif
