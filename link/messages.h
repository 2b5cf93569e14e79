#ifndef TARVO_MESSAGES_H
#define TARVO_MESSAGES_H

#include <QByteArray>
#include <QtEndian>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <cstring>

// Command words of the discovery (UDP) and node (TCP) protocols.
enum MessageCommand : quint32 {
    DiscoveryRequest = 0,
    DiscoveryReply = 1,
    GetConfig = 7,
    SetConfig = 8,
    DefaultConfig = 9,
    ResetDevice = 11,
    EraseSector = 12,
    ProgramPacket = 13,
    RunApplication = 15,
    ReadCrc = 16,
};

enum : quint16 {
    DiscoveryPort = 49999,
    DevicePort = 50000,
};

enum : int {
    DiscoveryMessageSize = 512,
    DeviceMessageSize = 1024,
    CommandOffset = 0,
};

// Step of a firmware upgrade. The value 1 is not used.
enum UpgradeState : int {
    Idle = 0,
    EraseRequested = 2,
    Programming = 3,
    CrcRequested = 4,
    ResetRequested = 5,
};

// Who reacts to an engine object's socket and timer signals. Internal: the
// object itself, for programs without a window. External: the front end,
// which connects them to slots of its own that call the object's handle*()
// and read*() operations, so that its own table of connections stays the
// only one.
enum class Wiring { Internal, External };

// Bounded little-endian and text access to received messages. A field that
// does not lie wholly inside the bytes received is never read.
namespace wire {

inline bool has(const QByteArray &data, qint64 offset, qint64 size)
{
    return offset >= 0 && size >= 0 && offset + size <= data.size();
}

inline quint32 u32(const QByteArray &data, int offset)
{
    return has(data, offset, 4) ? qFromLittleEndian<quint32>(data.constData() + offset) : 0;
}

inline quint16 u16(const QByteArray &data, int offset)
{
    return has(data, offset, 2) ? qFromLittleEndian<quint16>(data.constData() + offset) : 0;
}

inline void putU32(QByteArray &data, int offset, quint32 value)
{
    if (has(data, offset, 4))
        qToLittleEndian<quint32>(value, data.data() + offset);
}

inline void putU16(QByteArray &data, int offset, quint16 value)
{
    if (has(data, offset, 2))
        qToLittleEndian<quint16>(value, data.data() + offset);
}

// The characters of a NUL-terminated text field; a field without a NUL ends
// at its own end, and only the received part of it is read.
inline QByteArray text(const QByteArray &data, int offset, int size)
{
    if (offset < 0 || size <= 0 || offset >= data.size())
        return QByteArray();
    const int avail = qMin(size, int(data.size()) - offset);
    const char *start = data.constData() + offset;
    const void *nul = std::memchr(start, 0, size_t(avail));
    const int len = nul ? int(static_cast<const char *>(nul) - start) : avail;
    return QByteArray(start, len);
}

// Writes text with its NUL into a field; the caller checks that it fits.
inline void putText(QByteArray &data, int offset, int size, const QByteArray &value)
{
    if (!has(data, offset, size) || value.size() >= size)
        return;
    std::memcpy(data.data() + offset, value.constData(), size_t(value.size()));
    data[offset + value.size()] = '\0';
}

inline QString dottedQuad(const QByteArray &data, int offset)
{
    if (!has(data, offset, 4))
        return QString();
    const auto *b = reinterpret_cast<const unsigned char *>(data.constData() + offset);
    return QString::asprintf("%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

// Bytes a node's message must hold for every field the tool reads of it:
// the configuration record up to the gateway, a packet acknowledgement up
// to its number, a checksum reply up to its checksum, else the word alone.
// (config/configrecord.h and firmware/upgrademessage.h hold these layouts;
// they check that the two agree.)
constexpr int fieldsEnd(quint32 word)
{
    switch (word) {
    case GetConfig:
    case SetConfig:
    case DefaultConfig:
        return 278;
    case ProgramPacket:
        return 12;
    case ReadCrc:
        return 71;
    default:
        return 4;
    }
}

inline QByteArray message(MessageCommand command, int size = DeviceMessageSize)
{
    QByteArray m(size, '\0');
    putU32(m, CommandOffset, command);
    return m;
}

} // namespace wire

#endif
