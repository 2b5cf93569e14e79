#include "link/nodeinfo.h"

#include "link/devicerecord.h"
#include "link/trace.h"

#include <QtEndian>

namespace {

quint32 ipv4(const QByteArray &record, int offset)
{
    return wire::has(record, offset, 4) ? qFromBigEndian<quint32>(record.constData() + offset) : 0;
}

} // namespace

NodeInfo NodeInfo::fromRecord(const QByteArray &r, const QHostAddress &sender)
{
    NodeInfo n;
    n.record = r.left(DeviceRecord::Size);
    n.address = sender;
    n.serial = DeviceRecord::serialNumber(r);
    n.label = DeviceRecord::deviceLabel(r);
    n.firmware = DeviceRecord::firmwareVersion(r);
    n.name = DeviceRecord::deviceName(r);
    if (wire::has(r, DeviceRecord::MacOffset, DeviceRecord::MacSize))
        n.mac = r.mid(DeviceRecord::MacOffset, DeviceRecord::MacSize);
    n.ip = ipv4(r, DeviceRecord::IpOffset);
    n.mask = ipv4(r, DeviceRecord::MaskOffset);
    n.gateway = ipv4(r, DeviceRecord::GatewayOffset);
    n.deviceType = DeviceRecord::deviceType(r);
    n.replyStatus = DeviceRecord::replyStatus(r);
    return n;
}

bool NodeInfo::bootLoader() const
{
    return deviceType == DeviceRecord::DeviceTypeBootLoader;
}

QString NodeInfo::mode() const
{
    return bootLoader() ? QStringLiteral("bootloader") : QStringLiteral("application");
}

QString NodeInfo::macText() const
{
    QStringList parts;
    for (const char b : mac)
        parts.append(QString::asprintf("%02x", unsigned(static_cast<unsigned char>(b))));
    return parts.join(QLatin1Char(':'));
}

QString NodeInfo::displayName() const
{
    return printable(serial) + QStringLiteral(" (") + address.toString() + QLatin1Char(')');
}
