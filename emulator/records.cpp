#include "emulator.h"

#include "config/configrecord.h"
#include "link/devicerecord.h"

#include <QJsonValue>

namespace {

void putAddress(QByteArray &r, int offset, const QString &text)
{
    const quint32 a = QHostAddress(text).toIPv4Address();
    for (int i = 0; i < 4; ++i)
        r[offset + i] = char((a >> (24 - 8 * i)) & 0xff);
}

} // namespace

QByteArray buildIdentity(const QJsonObject &d, const QHostAddress &address)
{
    QByteArray r(DeviceRecord::Size, '\0');
    const auto text = [&](const char *key, const QString &fallback) {
        return d.value(QLatin1String(key)).toString(fallback).toLatin1();
    };
    const QByteArray label = text("label", QStringLiteral("Node"));
    const QByteArray serial = text("serial", QStringLiteral("00000000"));
    // Field contents are taken as given, up to the whole field: a test may
    // ask for a text that fills its field without a NUL.
    std::memcpy(r.data() + DeviceRecord::LabelOffset, label.constData(), size_t(qMin<qsizetype>(label.size(), DeviceRecord::LabelSize)));
    wire::putU32(r, DeviceRecord::CommandOffset, DiscoveryReply);
    wire::putU32(r, DeviceRecord::TypeOffset, quint32(d.value(QLatin1String("type")).toInteger(DeviceRecord::DeviceTypeApplication)));
    std::memcpy(r.data() + DeviceRecord::SerialOffset, serial.constData(), size_t(qMin<qsizetype>(serial.size(), DeviceRecord::SerialSize)));
    wire::putU16(r, DeviceRecord::StatusOffset, quint16(d.value(QLatin1String("status")).toInt(0)));
    const QByteArray name = text("name", QStringLiteral("Tarvo DMX4"));
    std::memcpy(r.data() + DeviceRecord::NameOffset, name.constData(), size_t(qMin<qsizetype>(name.size(), DeviceRecord::NameSize - 1)));
    const QByteArray version = text("version", QStringLiteral("v1.00"));
    std::memcpy(r.data() + DeviceRecord::VersionOffset, version.constData(), size_t(qMin<qsizetype>(version.size(), DeviceRecord::VersionSize - 1)));

    const QStringList mac = d.value(QLatin1String("mac")).toString(QStringLiteral("02:00:5e:00:00:01")).split(QLatin1Char(':'));
    for (int i = 0; i < DeviceRecord::MacSize && i < mac.size(); ++i)
        r[DeviceRecord::MacOffset + i] = char(mac[i].toUInt(nullptr, 16));
    putAddress(r, DeviceRecord::IpOffset, d.value(QLatin1String("netIp")).toString(address.toString()));
    putAddress(r, DeviceRecord::MaskOffset, d.value(QLatin1String("mask")).toString(QStringLiteral("255.255.255.0")));
    putAddress(r, DeviceRecord::GatewayOffset, d.value(QLatin1String("gateway")).toString(QStringLiteral("192.0.2.254")));
    return r;
}

QByteArray buildConfig(const QByteArray &identity)
{
    QByteArray r(ConfigRecord::Size, '\0');
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        wire::putU32(r, ConfigRecord::mergeMode(port), 0);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::BreakTime), 176);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::MabTime), 12);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::MbfTime), 0);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::WaitTime), 10);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::ChannelCount), 512);
        wire::putU32(r, ConfigRecord::portField(port, PortConfig::UniverseIndex), quint32(port));
    }
    const QByteArray label = DeviceRecord::deviceLabel(identity).left(ConfigRecord::LabelSize - 1);
    wire::putText(r, ConfigRecord::LabelOffset, ConfigRecord::LabelSize, label);
    std::memcpy(r.data() + ConfigRecord::NetworkHeadOffset, identity.constData() + DeviceRecord::MacOffset, DeviceRecord::MacSize);
    std::memcpy(r.data() + ConfigRecord::IpOffset, identity.constData() + DeviceRecord::IpOffset, ConfigRecord::NetworkSize);
    return r;
}
