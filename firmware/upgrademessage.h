#ifndef TARVO_UPGRADEMESSAGE_H
#define TARVO_UPGRADEMESSAGE_H

#include "link/messages.h"

#include <cstring>

// Fields of the firmware messages beyond their command word. The payload
// and the checksum start at 67, not 68: unaligned, as the nodes expect.
struct UpgradeMessage {
    enum : int {
        PacketSize = 512,         // payload bytes per ProgramPacket
        PacketNumberOffset = 8,   // ProgramPacket request and acknowledgement
        PacketLengthOffset = 12,  // ProgramPacket request, always 512
        PayloadOffset = 67,       // ProgramPacket request
        CrcOffset = 67,           // ReadCrc reply
    };

    // ProgramPacket n: image bytes n*512 .. n*512+511. The part of a packet
    // that lies beyond the image (the tail of a file whose size is not a
    // multiple of 512) stays zero: the image is never read beyond its end.
    static QByteArray programPacket(const QByteArray &image, qint64 n)
    {
        QByteArray m = wire::message(ProgramPacket);
        wire::putU32(m, PacketNumberOffset, quint32(n));
        wire::putU32(m, PacketLengthOffset, PacketSize);
        const qint64 start = n * PacketSize;
        if (start >= 0 && start < image.size()) {
            const qint64 count = qMin<qint64>(PacketSize, image.size() - start);
            std::memcpy(m.data() + PayloadOffset, image.constData() + start, size_t(count));
        }
        return m;
    }

    // Number of packets an image of `size` bytes takes.
    static qint64 packetCount(qint64 size) { return (size + PacketSize - 1) / PacketSize; }

    // The node's checksum in a ReadCrc reply; only when the reply holds it.
    static bool nodeChecksum(const QByteArray &reply, quint32 *sum)
    {
        if (!wire::has(reply, CrcOffset, 4))
            return false;
        *sum = wire::u32(reply, CrcOffset);
        return true;
    }
};

static_assert(wire::fieldsEnd(ProgramPacket) == UpgradeMessage::PacketNumberOffset + 4 &&
                  wire::fieldsEnd(ReadCrc) == UpgradeMessage::CrcOffset + 4,
              "the session waits for every field a firmware reply is read for");

#endif
