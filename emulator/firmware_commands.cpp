#include "nodewire.h"
#include "worker.h"

#include <cstring>

// The firmware side of a node: erase, program packets stored where their
// number puts them, the byte sum of what arrived, reset and run. The flash
// file in the state folder is written on erase, checksum request, reset and
// a dropped transfer, not per packet, to keep the transfer quick.

using namespace nodewire;

namespace {

enum : int { MaxPackets = 4096 }; // 2 MiB: far beyond any image, small enough to hold

QByteArray acknowledgement(qint64 number)
{
    QByteArray ack = message(ProgramPacket);
    putU32(ack, firmware::PacketNumberOffset, quint32(number));
    return ack;
}

void program(Worker &worker, Session &session, Node &node, const QByteArray &message)
{
    namespace f = firmware;
    const Faults &faults = node.faults;
    const qint64 number = qint32(u32(message, f::PacketNumberOffset));
    const qint64 length = qMin<qint64>(u32(message, f::PacketLengthOffset), message.size() - f::PayloadOffset);
    if (number < 0 || number >= MaxPackets || length < 0) {
        worker.ignored(node, ProgramPacket, "packet number out of range");
        worker.events().add(events::BadPacket, node.ip, number);
        return;
    }
    // A node that refuses a packet says so by acknowledging the one before.
    if (faults.refusePacket.contains(number) && node.refusals.value(number) < faults.refusePacket.value(number)) {
        ++node.refusals[number];
        worker.journal().add(node, "ignored", {{"word", qint64(ProgramPacket)}, {"n", number}, {"why", "refuse-packet"}});
        worker.events().add(events::Refused, node.ip, number);
        worker.reply(session, acknowledgement(number - 1));
        return;
    }
    const qint64 start = number * f::PacketSize;
    if (node.flash.size() < start + length)
        node.flash.append(QByteArray(start + length - node.flash.size(), '\0'));
    std::memcpy(node.flash.data() + start, message.constData() + f::PayloadOffset, size_t(length));
    worker.journal().add(node, "packet", {{"n", number}});
    worker.events().add(events::Packet, node.ip, number);

    if (faults.dropAfterPacket >= 0 && number >= faults.dropAfterPacket) {
        worker.unanswered(node, ProgramPacket, "drop-after-packet");
        worker.saveState(node, "flash", node.flash);
        worker.closeNow(session);
        return;
    }
    if (faults.silentAfterPacket >= 0 && number > faults.silentAfterPacket) {
        worker.unanswered(node, ProgramPacket, "silent-after-packet");
        return;
    }

    const QByteArray ack = acknowledgement(faults.ackPacket.value(number, number));
    worker.reply(session, ack);
    if (faults.ackTwice)
        worker.reply(session, ack); // a write of its own, not one coalesced with the first
    // Now and then an old acknowledgement again, as a node that repeats itself.
    const qint64 stale = number - faults.staleBack;
    if (faults.staleEvery > 0 && (number + 1) % faults.staleEvery == 0 && stale >= 0)
        worker.reply(session, acknowledgement(stale));
}

// What a reset leaves: the boot loader reports the version of the image it
// now holds, once a whole image has arrived (unless keep-version).
void announceVersion(Node &node)
{
    namespace d = discovery;
    if (node.flash.size() < firmware::ImageSize)
        return;
    // The text ends at its first NUL or at the info block's end.
    const int room = firmware::ImageSize - firmware::VersionOffset;
    node.pendingVersion = text(node.flash, firmware::VersionOffset, room).left(d::VersionSize - 1);
    if (node.faults.keepVersion)
        return;
    node.editIdentity([&](QByteArray &identity) {
        std::memset(identity.data() + d::VersionOffset, 0, d::VersionSize);
        putBytes(identity, d::VersionOffset, d::VersionSize - 1, node.pendingVersion);
    });
}

// The version discovery shows.
QByteArray announced(const Node &node)
{
    return text(node.identity(), discovery::VersionOffset, discovery::VersionSize);
}

void reset(Worker &worker, Session &session, Node &node)
{
    const Faults &faults = node.faults;
    worker.saveState(node, "flash", node.flash);
    // Discovery sees the new version before the reply can prompt a search.
    announceVersion(node);
    // A boot loader that resets at once ends the connection unanswered.
    if (faults.hasResetReply) {
        QByteArray r = message(faults.resetReplyWord);
        putU32(r, firmware::PacketNumberOffset, faults.resetReplyNumber);
        worker.reply(session, r);
        session.muted = true;
    } else if (!faults.restartSilently) {
        worker.reply(session, message(ResetDevice));
    } else {
        worker.unanswered(node, ResetDevice, "restart-silently");
    }
    worker.journal().add(node, "reset", {{"version", QString::fromLatin1(announced(node))}, {"away_ms", faults.restartMs}});
    worker.events().add(events::Reset, node.ip, node.pendingVersion);
    worker.restart(node);
    if (faults.restartSilently)
        worker.closeNow(session);
}

} // namespace

bool handleFirmwareCommand(Worker &worker, Session &session, Node &node, const QByteArray &message)
{
    switch (u32(message, 0)) {
    case EraseSector: {
        node.flash.clear();
        node.flash.reserve(firmware::ImageSize);
        worker.saveState(node, "flash", node.flash);
        worker.journal().add(node, "erase");
        worker.events().add(events::Erase, node.ip);
        const int late = node.faults.eraseDelayMs;
        worker.reply(session, nodewire::message(EraseSector), late > 0 ? late : -1);
        return true;
    }
    case ProgramPacket:
        program(worker, session, node, message);
        return true;
    case ReadCrc: {
        worker.saveState(node, "flash", node.flash);
        const quint32 held = byteSum(node.flash, firmware::SummedSize);
        const quint32 sum = node.faults.wrongCrc ? held + 1 : held;
        worker.journal().add(node, "crc", {{"sum", qint64(held)}, {"answered", qint64(sum)}});
        worker.events().add(events::Crc, node.ip, sum);
        QByteArray r = nodewire::message(ReadCrc);
        putU32(r, firmware::CrcOffset, sum);
        worker.reply(session, r);
        return true;
    }
    case ResetDevice:
        reset(worker, session, node);
        return true;
    case RunApplication: {
        quint32 was = 0;
        node.editIdentity([&was](QByteArray &identity) {
            was = u32(identity, discovery::TypeOffset);
            if (was == discovery::TypeBootLoader)
                putU32(identity, discovery::TypeOffset, discovery::TypeApplication);
        });
        worker.journal().add(node, "run", {{"was", qint64(was)}});
        worker.events().add(events::Run, node.ip);
        return true;
    }
    default:
        return false;
    }
}
