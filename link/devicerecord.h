#ifndef TARVO_DEVICERECORD_H
#define TARVO_DEVICERECORD_H

#include "link/messages.h"

// The 512-byte discovery record: the request and every node's reply share
// this layout. The tool reads a reply's bytes 0..281 only.
struct DeviceRecord {
    enum : int {
        Size = DiscoveryMessageSize,
        LabelOffset = 0,
        LabelSize = 64,
        CommandOffset = 64,
        TypeOffset = 68,
        SerialOffset = 120,
        SerialSize = 16,
        StatusOffset = 140,
        NameOffset = 200,
        NameSize = 16,
        VersionOffset = 216,
        VersionSize = 48,
        MacOffset = 264,
        MacSize = 6,
        IpOffset = 270,
        MaskOffset = 274,
        GatewayOffset = 278,
        UsedSize = 282, // a reply shorter than this lacks fields the tool reads
    };

    enum DeviceType : quint32 {
        DeviceTypeApplication = 421,
        DeviceTypeBootLoader = 666,
    };

    static quint32 command(const QByteArray &r) { return wire::u32(r, CommandOffset); }
    static quint32 deviceType(const QByteArray &r) { return wire::u32(r, TypeOffset); }
    static quint16 replyStatus(const QByteArray &r) { return wire::u16(r, StatusOffset); }
    static QByteArray deviceLabel(const QByteArray &r) { return wire::text(r, LabelOffset, LabelSize); }
    static QByteArray serialNumber(const QByteArray &r) { return wire::text(r, SerialOffset, SerialSize); }
    static QByteArray deviceName(const QByteArray &r) { return wire::text(r, NameOffset, NameSize); }
    static QByteArray firmwareVersion(const QByteArray &r) { return wire::text(r, VersionOffset, VersionSize); }

    static QString macText(const QByteArray &r)
    {
        if (!wire::has(r, MacOffset, MacSize))
            return QString();
        const auto *b = reinterpret_cast<const unsigned char *>(r.constData() + MacOffset);
        return QString::asprintf("%0*x::%0*x::%0*x::%0*x::%0*x::%0*x", 2, b[0], 2, b[1], 2, b[2], 2, b[3],
                                 2, b[4], 2, b[5]);
    }
};

static_assert(DeviceRecord::LabelOffset + DeviceRecord::LabelSize == DeviceRecord::CommandOffset, "label ends at command");
static_assert(DeviceRecord::SerialOffset + DeviceRecord::SerialSize == 136, "serial field is 16 bytes");
static_assert(DeviceRecord::VersionOffset + DeviceRecord::VersionSize == DeviceRecord::MacOffset, "version ends at MAC");
static_assert(DeviceRecord::MacOffset + DeviceRecord::MacSize == DeviceRecord::IpOffset, "MAC directly before IP");
static_assert(DeviceRecord::GatewayOffset + 4 == DeviceRecord::UsedSize, "gateway is the last field read");
static_assert(DeviceRecord::UsedSize <= DeviceRecord::Size, "fields lie inside the record");

#endif
