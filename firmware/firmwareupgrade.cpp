#include "firmware/firmwareupgrade.h"

#include "firmware/image.h"
#include "firmware/upgrademessage.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include <QFile>
#include <limits>

using M = UpgradeMessage;

UpgradeImage UpgradeImage::read(const QString &path)
{
    UpgradeImage out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Error opening file!"));
        return out;
    }
    // One read, bounded: whatever the file turns into afterwards, these
    // bytes are the ones checked and sent.
    out.file = file.read(MaxFileSize + 1);
    out.size = out.file.size();
    file.close();
    if (out.size < ImageInfo::ImageSize) {
        trace(QStringLiteral("Upgrade file too short: ") + QString::number(out.size));
        out.status = TooShort;
        return out;
    }
    if (out.size > MaxFileSize) {
        trace(QStringLiteral("Upgrade file too large: ") + QString::number(qMax(out.size, file.size())));
        out.status = TooLarge;
        return out;
    }
    QByteArray image = out.file.left(ImageInfo::ImageSize);
    decodeImage(bytes(image), ImageInfo::ImageSize);
    const quint32 stored = ImageInfo::checksum(image);
    if (imageChecksum(bytes(image), ImageInfo::VerifiedSize) != stored || ImageInfo::brand(image) != 0) {
        trace(QStringLiteral("CRC error: ") + QString::number(stored));
        out.status = Damaged;
        return out;
    }
    out.version = ImageInfo::versionText(image);
    out.status = Ok;
    return out;
}

FirmwareUpgrade::FirmwareUpgrade(NodeSession *s) : QObject(s), session(s)
{
    resetGuard.setSingleShot(true);
    resetGuard.setTimerType(Qt::PreciseTimer);
    resetGuard.setInterval(ResetGuardMs);
    connect(&resetGuard, &QTimer::timeout, this, &FirmwareUpgrade::restartUnconfirmed);
    connect(session, &NodeSession::messageReceived, this, &FirmwareUpgrade::handleMessage);
    connect(session, &NodeSession::timedOut, this, [this](NodeSession::Timeout kind) {
        if (kind == NodeSession::Timeout::Upgrade)
            emit finished(Result::TimedOut);
    });
    // A node that restarts at once drops the connection instead of
    // confirming: the firmware is in and verified all the same.
    connect(session, &NodeSession::disconnected, this, [this] {
        if (session->upgradeState() == ResetRequested)
            restartUnconfirmed();
    });
}

qint64 FirmwareUpgrade::packetTotal() const
{
    return M::packetCount(image.isEmpty() ? checked.size() : image.size());
}

void FirmwareUpgrade::start(const QByteArray &upgradeFile)
{
    checked = upgradeFile;
    image.clear();
    resetGuard.stop();
    session->operationTimer().setSingleShot(true);
    session->operationTimer().start(TimeoutMs);
    session->upgradeState() = EraseRequested;
    trace(QStringLiteral("Erase Sector..."));
    session->sendCommand(EraseSector);
}

void FirmwareUpgrade::handleMessage(quint32 word, const QByteArray &message)
{
    switch (word) {
    case EraseSector:
        handleEraseReply();
        break;
    case ProgramPacket:
        handleProgramReply(message);
        break;
    case ReadCrc:
        handleCrcReply(message);
        break;
    case ResetDevice:
        handleResetReply();
        break;
    default:
        break;
    }
}

// Taken in any state: a late erase reply after a time-out still starts the
// transfer, with the bytes that were checked.
void FirmwareUpgrade::handleEraseReply()
{
    trace(QStringLiteral("Sector erased!"));
    if (checked.isEmpty()) {
        trace(QStringLiteral("Error opening file!"));
        return;
    }
    image = checked;
    lastSent = 0;
    lastAcknowledged = -1;
    trace(QString::number(decodeImage(bytes(image), image.size())));
    sendPacket(0);
    session->upgradeState() = Programming;
}

// The transfer is lock-step: each packet waits for the one before to be
// acknowledged, so it goes out now rather than on the next turn of the
// event loop.
void FirmwareUpgrade::sendPacket(qint64 n)
{
    session->sendNow(M::programPacket(image, n));
    emit progress(qMin(n + 1, packetTotal()), packetTotal());
}

// The node's acknowledgement names the packet it took; the one after it is
// sent, whatever was sent before. An acknowledgement that repeats the one
// just handled releases nothing, so that one packet at most is outstanding
// however often a node acknowledges.
void FirmwareUpgrade::handleProgramReply(const QByteArray &message)
{
    if (session->upgradeState() == Idle)
        return;
    if (!wire::has(message, M::PacketNumberOffset, 4)) {
        trace(QStringLiteral("Program reply too short: ") + QString::number(message.size()));
        return;
    }
    const qint32 acknowledged = qint32(wire::u32(message, M::PacketNumberOffset));
    if (acknowledged < 0) {
        trace(QStringLiteral("Invalid packet number: ") + QString::number(acknowledged));
        return;
    }
    if (acknowledged == lastAcknowledged) {
        trace(QStringLiteral("Repeated acknowledgement: ") + QString::number(acknowledged));
        return;
    }
    lastAcknowledged = acknowledged;
    // 64 bits: the number after INT_MAX and its offset must not wrap.
    const qint64 n = qint64(acknowledged) + 1;
    lastSent = int(qMin<qint64>(n, std::numeric_limits<int>::max()));
    if (n * M::PacketSize < image.size()) {
        sendPacket(n);
        trace(QStringLiteral("Program packet nr: ") + QString::number(n));
    } else {
        trace(QStringLiteral("program transfer completed! ") + QString::number(n));
        session->upgradeState() = CrcRequested;
        session->sendCommand(ReadCrc);
    }
}

// Taken in any state, as long as a whole image is loaded to compare with.
void FirmwareUpgrade::handleCrcReply(const QByteArray &message)
{
    quint32 nodeSum = 0;
    if (!M::nodeChecksum(message, &nodeSum)) {
        trace(QStringLiteral("CRC reply too short: ") + QString::number(message.size()));
        return;
    }
    if (image.size() < ImageInfo::VerifiedSize) {
        trace(QStringLiteral("CRC reply ignored, no firmware image loaded"));
        return;
    }
    trace(QStringLiteral("CRC: ") + QString::number(nodeSum));
    if (imageChecksum(bytes(image), ImageInfo::VerifiedSize) == nodeSum) {
        trace(QStringLiteral("CRC OK"));
        session->operationTimer().stop();
        session->upgradeState() = ResetRequested;
        session->sendCommand(ResetDevice);
        // Many boot loaders restart without a word: the wait for the
        // confirmation is bounded too.
        resetGuard.start();
        return;
    }
    trace(QStringLiteral("CRC error!"));
    session->operationTimer().stop();
    session->upgradeState() = Idle;
    emit finished(Result::ChecksumMismatch);
}

void FirmwareUpgrade::handleResetReply()
{
    if (session->upgradeState() != ResetRequested)
        return;
    resetGuard.stop();
    trace(QStringLiteral("Reset after firmware flashing"));
    session->upgradeState() = Idle;
    emit finished(Result::Completed);
}

void FirmwareUpgrade::restartUnconfirmed()
{
    resetGuard.stop();
    if (session->upgradeState() != ResetRequested)
        return;
    trace(QStringLiteral("Reset not confirmed"));
    session->upgradeState() = Idle;
    emit finished(Result::RestartUnconfirmed);
}
