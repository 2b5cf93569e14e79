#include "emulator.h"
#include "nodewire.h"

#include <QJsonValue>

using namespace nodewire;

QByteArray buildIdentity(const QJsonObject &d, const QHostAddress &address)
{
    namespace f = discovery;
    QByteArray r(DatagramSize, '\0');
    const auto text = [&](const char *key, const QString &fallback) {
        return d.value(QLatin1String(key)).toString(fallback).toLatin1();
    };
    // Label and serial are taken as given, up to the whole field: a test may
    // ask for a text that fills its field without a NUL.
    putBytes(r, f::LabelOffset, f::LabelSize, text("label", QStringLiteral("Node")));
    putU32(r, f::CommandOffset, DiscoveryReply);
    putU32(r, f::TypeOffset, quint32(d.value(QLatin1String("type")).toInteger(f::TypeApplication)));
    putBytes(r, f::SerialOffset, f::SerialSize, text("serial", QStringLiteral("00000000")));
    putU16(r, f::StatusOffset, quint16(d.value(QLatin1String("status")).toInt(0)));
    putBytes(r, f::NameOffset, f::NameSize - 1, text("name", QStringLiteral("Tarvo DMX4")));
    putBytes(r, f::VersionOffset, f::VersionSize - 1, text("version", QStringLiteral("v1.00")));

    const QStringList mac = d.value(QLatin1String("mac")).toString(QStringLiteral("02:00:5e:00:00:01")).split(QLatin1Char(':'));
    for (int i = 0; i < f::MacSize && i < mac.size(); ++i)
        r[f::MacOffset + i] = char(mac[i].toUInt(nullptr, 16));
    putAddress(r, f::IpOffset, d.value(QLatin1String("netIp")).toString(address.toString()));
    putAddress(r, f::MaskOffset, d.value(QLatin1String("mask")).toString(QStringLiteral("255.255.255.0")));
    putAddress(r, f::GatewayOffset, d.value(QLatin1String("gateway")).toString(QStringLiteral("192.0.2.254")));
    return r;
}

QByteArray buildConfig(const QByteArray &identity)
{
    namespace c = config;
    QByteArray r(MessageSize, '\0');
    for (int port = 0; port < c::PortCount; ++port) {
        putU32(r, c::mergeMode(port), 0);
        putU32(r, c::portField(port, c::BreakTime), 176);
        putU32(r, c::portField(port, c::MabTime), 12);
        putU32(r, c::portField(port, c::MbfTime), 0);
        putU32(r, c::portField(port, c::WaitTime), 10);
        putU32(r, c::portField(port, c::ChannelCount), 512);
        putU32(r, c::portField(port, c::UniverseIndex), quint32(port));
    }
    const QByteArray label = text(identity, discovery::LabelOffset, discovery::LabelSize);
    putBytes(r, c::LabelOffset, c::LabelSize - 1, label);
    // MAC, address, mask and gateway stand in the same order in both records.
    putBytes(r, c::NetworkHeadOffset, discovery::MacSize + c::NetworkSize,
             identity.mid(discovery::MacOffset, discovery::MacSize + c::NetworkSize));
    return r;
}

void followConfig(QByteArray &identity, const QByteArray &applied)
{
    namespace d = discovery;
    namespace c = nodewire::config;
    if (identity.size() < DatagramSize || applied.size() < MessageSize)
        return;
    // The label as the record holds it, up to its NUL, byte for byte.
    identity.replace(d::LabelOffset, d::LabelSize, QByteArray(d::LabelSize, '\0'));
    putBytes(identity, d::LabelOffset, d::LabelSize, text(applied, c::LabelOffset, c::LabelSize));
    identity.replace(d::IpOffset, c::NetworkSize, applied.mid(c::IpOffset, c::NetworkSize));
}
