#ifndef TARVO_FIRMWAREUPGRADE_H
#define TARVO_FIRMWAREUPGRADE_H

#include "firmware/upgradeimage.h"
#include "link/messages.h"

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>
#include <vector>

class NodeSession;

struct UpgradeOptions {
    // The whole exchange from EraseSector to the ReadCrc reply.
    int guardMs = 20000;
    // The node's confirmation of its restart, once its checksum matched.
    int resetGuardMs = 10000;
    // One packet number (and the ReadCrc after the last) goes out at most
    // this often in one upgrade, whatever a node acknowledges, so that the
    // traffic stays below this many times the image.
    int maxSendsPerPacket = 4;
    // Replies count only in the step that awaits them (and, on a session
    // that hands on answers only, only after the request they answer).
    // Without it, as the window runs an upgrade, EraseSector and ReadCrc
    // replies are taken in any step but the restart.
    bool strict = false;
};

// The firmware upgrade on one node session: EraseSector, the image in
// 512-byte ProgramPackets each released by an acknowledgement (the one
// after the packet it names), ReadCrc, and ResetDevice when the node's
// checksum matches. The guard bounds everything up to the checksum reply;
// after it, the node has resetGuardMs to confirm its restart, and while it
// restarts only its ResetDevice reply counts.
class FirmwareUpgrade : public QObject
{
    Q_OBJECT

public:
    enum class Result {
        Completed,          // the node confirmed its restart
        ChecksumMismatch,   // the node's checksum differs: nothing reset
        TimedOut,           // not done within guardMs of the erase
        RestartUnconfirmed, // written and verified; no restart confirmed
    };
    Q_ENUM(Result)

    // Attaches to the session, as its child. The guard is the upgrade's own
    // timer, or `sharedGuard`, which a front end shares among its exchanges:
    // it then connects the timer's timeout() itself and calls
    // handleTimeout() while an upgrade runs.
    explicit FirmwareUpgrade(NodeSession *session, UpgradeOptions options = {}, QTimer *sharedGuard = nullptr);

    // Starts with an image that passed UpgradeImage::read(): guard,
    // EraseSector.
    void start(const UpgradeImage &image);
    // Stops where it stands, without a result: timers stopped, Idle.
    void abort();

    UpgradeState state() const { return step; }
    const UpgradeOptions &options() const { return opts; }
    // The decoded image being sent, and the number of the packet last sent.
    const QByteArray &firmwareImage() const { return image; }
    int packetNumber() const { return lastSent; }
    qint64 packetTotal() const;
    // Packets the node acknowledged, each counted once.
    qint64 packetsWritten() const { return written; }
    // Packets that went out, resent ones included.
    qint64 packetsSent() const { return sentTotal; }
    bool erased() const { return eraseConfirmed; }
    // EraseSector went out: from then on the node may hold no complete
    // firmware until its checksum matched.
    bool eraseRequested() const { return eraseSent; }
    bool checksumMatched() const { return crcMatched; }
    // How far the upgrade got, in words: "erased, 71 of 256 packets
    // written, not restarted".
    QString progressText() const;
    const QTimer &guard() const { return *timer; }
    const QTimer &resetGuard() const { return restartGuard; }

    // Reply handling, reached through the session's dispatch.
    void handleMessage(quint32 word, const QByteArray &message);
    // The guard ran out: traces, Idle, finished(TimedOut).
    void handleTimeout();

signals:
    // Packets sent of the total, each time one leaves.
    void progress(qint64 sent, qint64 total);
    void finished(FirmwareUpgrade::Result result);

private:
    bool expects(UpgradeState awaited) const;
    void handleEraseReply();
    void handleProgramReply(const QByteArray &message);
    void handleCrcReply(const QByteArray &message);
    void handleResetReply();
    void restartUnconfirmed();
    bool mayResend(qint64 n);
    void sendPacket(qint64 n);

    NodeSession *session;
    UpgradeOptions opts;
    QTimer ownGuard;
    QTimer *timer;
    QTimer restartGuard;
    UpgradeImage checked; // the file as it passed the checks
    QByteArray image;
    UpgradeState step = Idle;
    int lastSent = 0;
    qint64 written = 0, sentTotal = 0;
    std::vector<quint8> sends;    // per packet number, and one more for ReadCrc
    std::vector<bool> acknowledged;
    bool eraseSent = false, eraseConfirmed = false, crcMatched = false, restartConfirmed = false, limitTraced = false;
};

#endif
