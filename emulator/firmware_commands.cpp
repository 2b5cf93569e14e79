#include "emulator.h"
#include "nodewire.h"

#include <QTcpSocket>
#include <cstring>

// The firmware side of a node: erase, program packets stored where their
// number puts them, the byte sum of what arrived, reset and run. The flash
// file in the state folder is written on erase, checksum request, reset and
// a dropped transfer, not per packet, to keep the transfer quick.

using namespace nodewire;

namespace {

enum : int { MaxPackets = 4096 }; // 2 MiB: far beyond any image, small enough to hold

void program(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    namespace f = firmware;
    const QString ip = node.address.toString();
    const qint64 number = qint32(u32(message, f::PacketNumberOffset));
    const qint64 length = qMin<qint64>(u32(message, f::PacketLengthOffset), message.size() - f::PayloadOffset);
    if (number < 0 || number >= MaxPackets || length < 0) {
        emu.event(QStringLiteral("bad-packet %1 %2").arg(ip).arg(number));
        return;
    }
    const qint64 start = number * f::PacketSize;
    if (node.flash.size() < start + length)
        node.flash.append(QByteArray(start + length - node.flash.size(), '\0'));
    std::memcpy(node.flash.data() + start, message.constData() + f::PayloadOffset, size_t(length));
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
    QByteArray ack = nodewire::message(ProgramPacket);
    putU32(ack, f::PacketNumberOffset, quint32(acknowledged));
    emu.reply(session, ack);
    if (node.fault(QStringLiteral("ack-twice")).toBool()) {
        session.socket->flush(); // a write of its own, not one coalesced with the first
        emu.reply(session, ack);
    }
}

// What a reset leaves: the boot loader reports the version of the image it
// now holds, once a whole image has arrived.
void announceVersion(Node &node)
{
    namespace d = discovery;
    if (node.flash.size() < firmware::ImageSize)
        return;
    // The text ends at its first NUL or at the info block's end.
    const int room = firmware::ImageSize - firmware::VersionOffset;
    node.pendingVersion = text(node.flash, firmware::VersionOffset, room).left(d::VersionSize - 1);
    std::memset(node.identity.data() + d::VersionOffset, 0, d::VersionSize);
    putBytes(node.identity, d::VersionOffset, d::VersionSize - 1, node.pendingVersion);
}

} // namespace

bool handleFirmwareCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    const QString ip = node.address.toString();
    switch (u32(message, 0)) {
    case EraseSector: {
        node.flash.clear();
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        emu.event(QStringLiteral("erase %1").arg(ip));
        const int late = node.fault(QStringLiteral("erase-delay-ms")).toInt();
        emu.reply(session, nodewire::message(EraseSector), late > 0 ? late : -1);
        return true;
    }
    case ProgramPacket:
        program(emu, session, node, message);
        return true;
    case ReadCrc: {
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        quint32 sum = byteSum(node.flash, firmware::SummedSize);
        if (node.fault(QStringLiteral("wrong-crc")).toBool())
            sum += 1;
        emu.event(QStringLiteral("crc %1 %2").arg(ip).arg(sum));
        QByteArray r = nodewire::message(ReadCrc);
        putU32(r, firmware::CrcOffset, sum);
        emu.reply(session, r);
        return true;
    }
    case ResetDevice: {
        emu.saveState(node, QStringLiteral("flash"), node.flash);
        // A boot loader that resets at once ends the connection unanswered.
        const bool silently = node.fault(QStringLiteral("restart-silently")).toBool();
        if (!silently)
            emu.reply(session, nodewire::message(ResetDevice));
        announceVersion(node);
        emu.event(QStringLiteral("reset %1 %2").arg(ip, QString::fromLatin1(node.pendingVersion)));
        if (silently)
            emu.closeSession(session);
        return true;
    }
    case RunApplication:
        if (u32(node.identity, discovery::TypeOffset) == discovery::TypeBootLoader)
            putU32(node.identity, discovery::TypeOffset, discovery::TypeApplication);
        emu.event(QStringLiteral("run %1").arg(ip));
        return true;
    default:
        return false;
    }
}
