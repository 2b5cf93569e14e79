#ifndef TARVO_EMULATOR_NODEWIRE_H
#define TARVO_EMULATOR_NODEWIRE_H

// The node's side of the wire, as a node's firmware knows it: command words,
// ports and the byte layout of every message a node reads or writes. Kept
// apart from the configurator's own definitions on purpose, so that a wrong
// offset on either side shows up as a failed exchange instead of agreeing
// with itself.

#include <QByteArray>
#include <QRegularExpression>
#include <QString>
#include <QtEndian>
#include <cstring>

namespace nodewire {

enum Command : quint32 {
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
    NodePort = 50000,
};

enum : int {
    DatagramSize = 512, // discovery request and reply
    MessageSize = 1024, // every TCP message
};

// Discovery record: the request and the reply share it.
namespace discovery {
enum : int {
    LabelOffset = 0,
    LabelSize = 64,
    CommandOffset = 64, // behind the label, unlike TCP messages
    TypeOffset = 68,
    SerialOffset = 120,
    SerialSize = 16,
    StatusOffset = 140, // 16-bit; 0 = reply accepted
    NameOffset = 200,
    NameSize = 16,
    VersionOffset = 216,
    VersionSize = 48,
    MacOffset = 264,
    MacSize = 6,
    IpOffset = 270,
    MaskOffset = 274,
    GatewayOffset = 278,
    UsedSize = 282, // the configurator reads no further
};
enum : quint32 {
    TypeApplication = 421,
    TypeBootLoader = 666,
};
} // namespace discovery

// Configuration record of GetConfig, SetConfig and DefaultConfig.
namespace config {
enum : int {
    CommandOffset = 0,
    MergeModeOffset = 68, // one word per port, port 1 first
    PortOffset = 84,      // one block per port, port 1 first
    PortSize = 28,
    LabelOffset = 196,
    LabelSize = 64,
    NetworkHeadOffset = 260, // the MAC address, as in the discovery record
    IpOffset = 266,
    MaskOffset = 270,
    GatewayOffset = 274,
    NetworkSize = 12, // address, mask and gateway
    PortCount = 4,
};
// Word offsets within a port block.
enum PortField : int {
    BreakTime = 0,
    MabTime = 4,
    MbfTime = 8,
    WaitTime = 12,
    ChannelCount = 16,
    UniverseIndex = 24, // universe number minus one
};
constexpr int mergeMode(int port) { return MergeModeOffset + 4 * port; }
constexpr int portField(int port, PortField field) { return PortOffset + PortSize * port + field; }
} // namespace config

// Firmware messages and the image they carry.
namespace firmware {
enum : int {
    PacketNumberOffset = 8, // ProgramPacket request and acknowledgement
    PacketLengthOffset = 12,
    PayloadOffset = 67, // ProgramPacket payload: unaligned, as the boot loader reads it
    CrcOffset = 67,     // ReadCrc reply: the same unaligned spot
    PacketSize = 512,
    ImageSize = 0x20000,
    InfoOffset = 0x1FFC0,   // info block at the image's end
    VersionOffset = 0x1FFD0, // version text, NUL-terminated inside the block
    SummedSize = 0x1FFFC,    // the byte sum covers all but the stored checksum
};
} // namespace firmware

inline bool has(const QByteArray &data, qint64 offset, qint64 size)
{
    return offset >= 0 && size >= 0 && offset + size <= data.size();
}

inline quint32 u32(const QByteArray &data, int offset)
{
    return has(data, offset, 4) ? qFromLittleEndian<quint32>(data.constData() + offset) : 0;
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

// Characters up to the first NUL, or to the field's end without one; never
// past the bytes at hand.
inline QByteArray text(const QByteArray &data, int offset, int size)
{
    if (offset < 0 || size <= 0 || offset >= data.size())
        return QByteArray();
    const int avail = qMin(size, int(data.size()) - offset);
    const char *start = data.constData() + offset;
    const void *nul = std::memchr(start, 0, size_t(avail));
    return QByteArray(start, nul ? int(static_cast<const char *>(nul) - start) : avail);
}

// Copies at most `limit` bytes of `value` to `offset`; the bytes after it
// keep what they held (zeros in a fresh record, so a shorter text ends there).
inline void putBytes(QByteArray &data, int offset, int limit, const QByteArray &value)
{
    const int n = qMin(limit, int(value.size()));
    if (n > 0 && has(data, offset, n))
        std::memcpy(data.data() + offset, value.constData(), size_t(n));
}

// Writes "a.b.c.d" (decimal octets, leading zeros allowed) first octet
// first. False, and nothing written, for anything else.
inline bool putAddress(QByteArray &data, int offset, const QString &dotted)
{
    static const QRegularExpression form(
        QRegularExpression::anchoredPattern(QStringLiteral("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})")));
    const QRegularExpressionMatch m = form.match(dotted);
    if (!m.hasMatch() || !has(data, offset, 4))
        return false;
    char octets[4];
    for (int i = 0; i < 4; ++i) {
        const int v = m.capturedView(i + 1).toInt(); // decimal: "010" is ten, not eight
        if (v > 255)
            return false;
        octets[i] = char(v);
    }
    std::memcpy(data.data() + offset, octets, 4);
    return true;
}

// A TCP message with only its command word set.
inline QByteArray message(quint32 command)
{
    QByteArray m(MessageSize, '\0');
    putU32(m, 0, command);
    return m;
}

// Byte sum modulo 2^32, the check a node reports for ReadCrc.
inline quint32 byteSum(const QByteArray &data, qint64 length)
{
    const auto *b = reinterpret_cast<const unsigned char *>(data.constData());
    quint32 sum = 0;
    for (qint64 i = 0; i < qMin<qint64>(length, data.size()); ++i)
        sum += b[i];
    return sum;
}

} // namespace nodewire

#endif
