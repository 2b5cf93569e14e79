#ifndef TARVO_UPGRADEMESSAGE_H
#define TARVO_UPGRADEMESSAGE_H

// Fields of the firmware messages beyond their command word, shared by the
// tool and the emulator. The payload and the checksum start at 67, not 68:
// unaligned, as the nodes expect.
struct UpgradeMessage {
    enum : int {
        PacketSize = 512,         // payload bytes per ProgramPacket
        PacketNumberOffset = 8,   // ProgramPacket request and acknowledgement
        PacketLengthOffset = 12,  // ProgramPacket request, always 512
        PayloadOffset = 67,       // ProgramPacket request
        CrcOffset = 67,           // ReadCrc reply
    };
};

#endif
