#include "firmware/firmwareupgrade.h"

#include "firmware/image.h"
#include "firmware/upgrademessage.h"
#include "link/nodesession.h"

#include <limits>

using M = UpgradeMessage;

FirmwareUpgrade::FirmwareUpgrade(NodeSession *s, UpgradeOptions options, QTimer *sharedGuard)
    : QObject(s), session(s), opts(options), timer(sharedGuard ? sharedGuard : &ownGuard)
{
    // A coarse timer may run out up to 5 % early: the bounds are meant as given.
    ownGuard.setTimerType(Qt::PreciseTimer);
    if (!sharedGuard)
        connect(&ownGuard, &QTimer::timeout, this, &FirmwareUpgrade::handleTimeout);
    restartGuard.setSingleShot(true);
    restartGuard.setTimerType(Qt::PreciseTimer);
    connect(&restartGuard, &QTimer::timeout, this, &FirmwareUpgrade::restartUnconfirmed);
    connect(session, &NodeSession::messageReceived, this, &FirmwareUpgrade::handleMessage);
    // A node that restarts at once drops the connection instead of
    // confirming: the firmware is in and verified all the same.
    connect(session, &NodeSession::disconnected, this, [this] {
        if (step == ResetRequested)
            restartUnconfirmed();
    });
}

qint64 FirmwareUpgrade::packetTotal() const
{
    return M::packetCount(image.isEmpty() ? checked.image.size() : image.size());
}

void FirmwareUpgrade::start(const UpgradeImage &file)
{
    checked = file;
    image.clear();
    restartGuard.stop();
    lastSent = 0;
    written = sentTotal = 0;
    eraseSent = eraseConfirmed = crcMatched = restartConfirmed = limitTraced = false;
    const qint64 total = M::packetCount(checked.image.size());
    sends.assign(size_t(total) + 1, 0);
    acknowledged.assign(size_t(total), false);
    timer->setSingleShot(true);
    timer->start(opts.guardMs);
    step = EraseRequested;
    session->say(QStringLiteral("Erase Sector..."));
    eraseSent = session->sendCommand(EraseSector);
}

void FirmwareUpgrade::abort()
{
    if (step != Idle)
        timer->stop();
    restartGuard.stop();
    step = Idle;
}

QString FirmwareUpgrade::progressText() const
{
    if (!eraseConfirmed)
        return eraseSent ? QStringLiteral("EraseSector sent, not answered; the node may have erased its firmware")
                         : QStringLiteral("nothing sent");
    const QString text = QStringLiteral("erased, %1 of %2 packets written").arg(written).arg(packetTotal());
    if (restartConfirmed)
        return text + QStringLiteral(", checksum matched, restarted");
    if (crcMatched)
        return text + QStringLiteral(", checksum matched, restart requested");
    return text + QStringLiteral(", not restarted");
}

bool FirmwareUpgrade::expects(UpgradeState awaited) const
{
    return step == awaited;
}

void FirmwareUpgrade::handleMessage(quint32 word, const QByteArray &message)
{
    // While the node restarts only its confirmation counts: anything else
    // would start the transfer again with no guard running.
    if (step == ResetRequested && (word == EraseSector || word == ProgramPacket || word == ReadCrc)) {
        session->say(QStringLiteral("Reply ignored while the device restarts: ") + QString::number(qint32(word)));
        return;
    }
    switch (word) {
    case EraseSector:
        if (opts.strict && !expects(EraseRequested))
            break;
        handleEraseReply();
        break;
    case ProgramPacket:
        if (opts.strict && !expects(Programming))
            break;
        handleProgramReply(message);
        break;
    case ReadCrc:
        if (opts.strict && !expects(CrcRequested))
            break;
        handleCrcReply(message);
        break;
    case ResetDevice:
        handleResetReply();
        break;
    default:
        return;
    }
}

// Without strict replies, taken in any step but the restart: a late erase
// reply after a time-out still starts the transfer, with the bytes that
// were checked.
void FirmwareUpgrade::handleEraseReply()
{
    session->say(QStringLiteral("Sector erased!"));
    if (!checked.ok()) {
        session->say(QStringLiteral("Error opening file!"));
        return;
    }
    image = checked.image; // shared, not copied: it was decoded when read
    eraseConfirmed = true;
    lastSent = 0;
    session->say(QStringLiteral("0")); // what decoding returns; the image was decoded when read
    // In its step before packet 0 leaves: whoever follows the progress asks
    // what is awaited now.
    step = Programming;
    if (mayResend(0))
        sendPacket(0);
}

// The transfer is lock-step: each packet waits for the one before to be
// acknowledged, so it goes out now rather than on the next turn of the
// event loop.
void FirmwareUpgrade::sendPacket(qint64 n)
{
    session->send(M::programPacket(image, n));
    ++sentTotal;
    emit progress(qMin(n + 1, packetTotal()), packetTotal());
}

bool FirmwareUpgrade::mayResend(qint64 n)
{
    if (sends.empty())
        return false;
    const size_t slot = size_t(qBound<qint64>(0, n, qint64(sends.size()) - 1));
    if (sends[slot] >= opts.maxSendsPerPacket) {
        if (!limitTraced)
            session->say(QStringLiteral("Packet sent %1 times, not again: %2").arg(opts.maxSendsPerPacket).arg(n));
        limitTraced = true;
        return false;
    }
    ++sends[slot];
    return true;
}

// The node's acknowledgement names the packet it took; the one after it is
// sent, whatever was sent before, so a node that repeats an earlier
// acknowledgement gets the packet after it again. No packet goes out more
// than maxSendsPerPacket times, which bounds what a node can draw.
void FirmwareUpgrade::handleProgramReply(const QByteArray &message)
{
    if (step == Idle)
        return;
    if (!wire::has(message, M::PacketNumberOffset, 4)) {
        session->say(QStringLiteral("Program reply too short: ") + QString::number(message.size()));
        return;
    }
    const qint32 number = qint32(wire::u32(message, M::PacketNumberOffset));
    // 64 bits: the number after INT_MAX and its offset must not wrap.
    const qint64 n = qint64(number) + 1;
    if (n < 0) {
        session->say(QStringLiteral("Invalid packet number: ") + QString::number(number));
        return;
    }
    if (number >= 0 && number < qint64(acknowledged.size()) && sends[size_t(number)] > 0 &&
        !acknowledged[size_t(number)]) {
        acknowledged[size_t(number)] = true;
        ++written;
    }
    if (n * M::PacketSize < image.size()) {
        if (!mayResend(n))
            return;
        lastSent = int(n);
        sendPacket(n);
        session->say(QStringLiteral("Program packet nr: ") + QString::number(n));
        return;
    }
    if (!mayResend(qint64(sends.size()) - 1))
        return;
    lastSent = int(qMin<qint64>(n, std::numeric_limits<int>::max()));
    session->say(QStringLiteral("program transfer completed! ") + QString::number(n));
    step = CrcRequested;
    session->sendCommand(ReadCrc);
}

// Without strict replies, taken in any step but the restart, as long as a
// whole image is loaded to compare with.
void FirmwareUpgrade::handleCrcReply(const QByteArray &message)
{
    quint32 nodeSum = 0;
    if (!M::nodeChecksum(message, &nodeSum)) {
        session->say(QStringLiteral("CRC reply too short: ") + QString::number(message.size()));
        return;
    }
    if (image.size() < ImageInfo::VerifiedSize) {
        session->say(QStringLiteral("CRC reply ignored, no firmware image loaded"));
        return;
    }
    session->say(QStringLiteral("CRC: ") + QString::number(nodeSum));
    if (imageChecksum(bytes(image), ImageInfo::VerifiedSize) == nodeSum) {
        session->say(QStringLiteral("CRC OK"));
        crcMatched = true;
        timer->stop();
        step = ResetRequested;
        session->sendCommand(ResetDevice);
        // Many boot loaders restart without a word: the wait for the
        // confirmation is bounded too.
        restartGuard.start(opts.resetGuardMs);
        return;
    }
    session->say(QStringLiteral("CRC error!"));
    timer->stop();
    step = Idle;
    emit finished(Result::ChecksumMismatch);
}

void FirmwareUpgrade::handleResetReply()
{
    if (step != ResetRequested)
        return;
    restartGuard.stop();
    session->say(QStringLiteral("Reset after firmware flashing"));
    restartConfirmed = true;
    step = Idle;
    emit finished(Result::Completed);
}

void FirmwareUpgrade::restartUnconfirmed()
{
    restartGuard.stop();
    if (step != ResetRequested)
        return;
    session->say(QStringLiteral("Reset not confirmed"));
    step = Idle;
    emit finished(Result::RestartUnconfirmed);
}

void FirmwareUpgrade::handleTimeout()
{
    if (step == Idle)
        return;
    session->say(QStringLiteral("Timeout"));
    timer->stop();
    step = Idle;
    session->say(QStringLiteral("Error during firmware update"));
    emit finished(Result::TimedOut);
}
