#include "emulator.h"

#include "firmware/image.h"
#include "firmware/upgrademessage.h"
#include "link/devicerecord.h"

#include <QJsonObject>
#include <QTcpSocket>
#include <QTimer>
#include <cstring>

// The firmware side of a node: erase, program packets stored where their
// number puts them, the byte sum of what arrived, reset and run. The flash
// file in the state folder is written on erase, checksum request, reset and
// a dropped transfer, not per packet, to keep the transfer quick.

namespace {

using M = UpgradeMessage;
enum : int { MaxPackets = 4096 }; // 2 MiB: far beyond any image, small enough to hold

void writeLater(QTcpSocket *socket, const QByteArray &message, int delayMs)
{
    QTimer::singleShot(delayMs, socket, [socket, message] { socket->write(message); });
}

void program(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    const QString ip = node.address.toString();
    const qint64 number = qint32(wire::u32(message, M::PacketNumberOffset));
    const qint64 length = qMin<qint64>(wire::u32(message, M::PacketLengthOffset), message.size() - M::PayloadOffset);
    if (number < 0 || number >= MaxPackets || length < 0) {
        emu.event(QStringLiteral("bad-packet %1 %2").arg(ip).arg(number));
        return;
    }
    const qint64 start = number * M::PacketSize;
    if (node.flash.size() < start + length)
        node.flash.append(QByteArray(start + length - node.flash.size(), '\0'));
    std::memcpy(node.flash.data() + start, message.constData() + M::PayloadOffset, size_t(length));
    emu.event(QStringLiteral("packet %1 %2").arg(ip).arg(number));

    const QJsonValue drop = node.fault(QStringLiteral("drop-after-packet"));
    if (drop.isDouble() && number >= drop.toInt()) {
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        emu.closeSession(session);
        return;
    }
    const QJsonValue silentAfter = node.fault(QStringLiteral("silent-after-packet"));
    if (silentAfter.isDouble() && number > silentAfter.toInt())
        return;

    qint64 acknowledged = number;
    const QJsonValue other = node.fault(QStringLiteral("ack-packet")).toObject().value(QString::number(number));
    if (other.isDouble())
        acknowledged = other.toInteger();
    QByteArray ack = wire::message(ProgramPacket);
    wire::putU32(ack, M::PacketNumberOffset, quint32(acknowledged));
    emu.reply(session, ack);
}

void announceVersion(Node &node)
{
    if (node.flash.size() < ImageInfo::ImageSize)
        return;
    node.pendingVersion = ImageInfo::versionText(node.flash).left(DeviceRecord::VersionSize - 1);
    std::memset(node.identity.data() + DeviceRecord::VersionOffset, 0, DeviceRecord::VersionSize);
    std::memcpy(node.identity.data() + DeviceRecord::VersionOffset, node.pendingVersion.constData(),
                size_t(node.pendingVersion.size()));
}

} // namespace

bool handleFirmwareCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    const QString ip = node.address.toString();
    switch (wire::u32(message, 0)) {
    case EraseSector: {
        node.flash.clear();
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        emu.event(QStringLiteral("erase %1").arg(ip));
        const int late = node.fault(QStringLiteral("erase-delay-ms")).toInt();
        if (late > 0)
            writeLater(session.socket, wire::message(EraseSector), late);
        else
            emu.reply(session, wire::message(EraseSector));
        return true;
    }
    case ProgramPacket:
        program(emu, session, node, message);
        return true;
    case ReadCrc: {
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        quint32 sum = imageChecksumQuiet(bytes(node.flash), qMin<qint64>(node.flash.size(), ImageInfo::VerifiedSize));
        if (node.fault(QStringLiteral("wrong-crc")).toBool())
            sum += 1;
        emu.event(QStringLiteral("crc %1 %2").arg(ip).arg(sum));
        QByteArray r = wire::message(ReadCrc);
        wire::putU32(r, M::CrcOffset, sum);
        emu.reply(session, r);
        return true;
    }
    case ResetDevice:
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        emu.reply(session, wire::message(ResetDevice));
        announceVersion(node);
        emu.event(QStringLiteral("reset %1 %2").arg(ip, QString::fromLatin1(node.pendingVersion)));
        return true;
    case RunApplication:
        if (DeviceRecord::deviceType(node.identity) == DeviceRecord::DeviceTypeBootLoader)
            wire::putU32(node.identity, DeviceRecord::TypeOffset, DeviceRecord::DeviceTypeApplication);
        emu.event(QStringLiteral("run %1").arg(ip));
        return true;
    default:
        return false;
    }
}
