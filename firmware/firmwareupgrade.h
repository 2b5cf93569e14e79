#ifndef TARVO_FIRMWAREUPGRADE_H
#define TARVO_FIRMWAREUPGRADE_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class NodeSession;

// An upgrade file read once and checked; the bytes that passed are the
// bytes that are sent.
struct UpgradeImage {
    enum Status { Ok, Unreadable, TooShort, TooLarge, Damaged } status = Unreadable;
    QByteArray file;     // the file's bytes as read (scrambled), whole
    QByteArray version;  // versionText of the decoded image
    qint64 size = 0;     // the file's size, as far as it was read

    // No node holds more than a few hundred KiB: a larger file is damaged,
    // and reading stops there.
    enum : qint64 { MaxFileSize = 512 * 1024 };

    // Reads at most MaxFileSize + 1 bytes, decodes and checks the first
    // 131072: checksum over 0..0x1FFFB and brand 0. Traces as the window
    // always has ("Error opening file!", "Upgrade file too short: N",
    // "Calculated CRC: N", "CRC error: N") and "Upgrade file too large: N".
    static UpgradeImage read(const QString &path);
};

// The firmware upgrade on one node session: EraseSector, the image in
// 512-byte ProgramPackets each released by the acknowledgement of the one
// before, ReadCrc, and ResetDevice when the node's checksum matches. The
// session's guard timer limits everything up to the checksum reply to
// TimeoutMs; after it, the node has ResetGuardMs to confirm its restart.
class FirmwareUpgrade : public QObject
{
    Q_OBJECT

public:
    enum class Result {
        Completed,          // the node confirmed its restart
        ChecksumMismatch,   // the node's checksum differs: nothing reset
        TimedOut,           // not done within TimeoutMs of the erase
        RestartUnconfirmed, // written and verified; no restart confirmed
    };
    Q_ENUM(Result)
    enum : int { TimeoutMs = 20000, ResetGuardMs = 10000 };

    // Attaches to the session, as its child.
    explicit FirmwareUpgrade(NodeSession *session);

    // Starts with the bytes of an upgrade file that passed
    // UpgradeImage::read(): guard timer, EraseSector.
    void start(const QByteArray &upgradeFile);

    // The decoded image being sent, and the number of the packet last sent.
    QByteArray &firmwareImage() { return image; }
    int &packetNumber() { return lastSent; }
    qint64 packetTotal() const;

    // The bound on the node's restart confirmation (ResetGuardMs).
    QTimer &resetGuardTimer() { return resetGuard; }

    // Reply handling, reached through the session's dispatch.
    void handleMessage(quint32 word, const QByteArray &message);

signals:
    // Packets sent of the total, each time one leaves.
    void progress(qint64 sent, qint64 total);
    void finished(FirmwareUpgrade::Result result);

private:
    void handleEraseReply();
    void handleProgramReply(const QByteArray &message);
    void handleCrcReply(const QByteArray &message);
    void handleResetReply();
    void restartUnconfirmed();
    void sendPacket(qint64 n);

    NodeSession *session;
    QByteArray checked; // the upgrade file's bytes as they passed the checks
    QByteArray image;
    int lastSent = 0;
    qint64 lastAcknowledged = -1;
    QTimer resetGuard;
};

#endif
