#include "firmware/upgradeoperation.h"

#include "link/trace.h"

namespace {

UpgradeOptions strict(UpgradeOptions o)
{
    o.strict = true;
    return o;
}

} // namespace

UpgradeOperation::UpgradeOperation(const NodeInfo &node, const OperationOptions &options,
                                   const UpgradeOptions &upgradeOptions, NodeVerifier *v, const UpgradeImage &file,
                                   bool verifyIt, QObject *parent)
    : NodeOperation(node, options, v, parent), upgrade(new FirmwareUpgrade(session, strict(upgradeOptions))),
      guardMs(upgradeOptions.guardMs), image(file), verifyAfter(verifyIt)
{
    connect(upgrade, &FirmwareUpgrade::progress, this, &NodeOperation::progress);
    connect(upgrade, &FirmwareUpgrade::finished, this, &UpgradeOperation::upgradeFinished);
}

UpgradeState UpgradeOperation::state() const
{
    return upgrade ? upgrade->state() : Idle;
}

QString UpgradeOperation::progressText() const
{
    return upgrade ? upgrade->progressText() : lastProgress;
}

void UpgradeOperation::start()
{
    // A node is never erased for a file that did not pass every check.
    if (!image.ok() && !isFinished()) {
        finish(Status::Refused, QStringLiteral("the upgrade file did not pass its checks; nothing sent"));
        return;
    }
    NodeOperation::start();
}

void UpgradeOperation::connected()
{
    // The upgrade's own guard bounds the exchange from here.
    upgrade->start(image);
}

QString UpgradeOperation::awaitedNow() const
{
    switch (upgrade ? upgrade->state() : Idle) {
    case EraseRequested:
        return QStringLiteral("the EraseSector reply");
    case Programming:
        return QStringLiteral("the acknowledgement of packet %1").arg(upgrade->packetNumber());
    case CrcRequested:
        return QStringLiteral("the node's checksum (ReadCrc reply)");
    case ResetRequested:
        return QStringLiteral("the confirmation of its restart");
    case Idle:
        break;
    }
    return NodeOperation::awaitedNow();
}

void UpgradeOperation::connectionEnded(bool byNode)
{
    // A node restarting may leave the connection any way it likes: written
    // and checked, it is for the upgrade (and the verification) to judge.
    if (upgrade && upgrade->state() == ResetRequested)
        return;
    if (verifying())
        return; // the tool closed it once the node was written
    NodeOperation::connectionEnded(byNode);
}

void UpgradeOperation::upgradeFinished(FirmwareUpgrade::Result result)
{
    lastProgress = upgrade->progressText();
    switch (result) {
    case FirmwareUpgrade::Result::Completed:
    case FirmwareUpgrade::Result::RestartUnconfirmed:
        verify(result == FirmwareUpgrade::Result::Completed);
        return;
    case FirmwareUpgrade::Result::ChecksumMismatch:
        finish(Status::Refused, QStringLiteral("Firmware upgrade failed! The node's checksum differs; it was not restarted"));
        return;
    case FirmwareUpgrade::Result::TimedOut:
        finish(Status::TimedOut, QStringLiteral("Firmware upgrade timeout! Not done within %1 s; %2")
                                     .arg(guardMs / 1000.0)
                                     .arg(lastProgress));
        return;
    }
}

void UpgradeOperation::verify(bool restartConfirmed)
{
    const QString restart = restartConfirmed ? QString() : QStringLiteral("; its restart was not confirmed");
    if (!verifyAfter) {
        finish(Status::Done, QStringLiteral("written and checked by its checksum") + restart);
        return;
    }
    const QByteArray version = image.version;
    setAwaiting(QStringLiteral("its return with %1").arg(printable(version)));
    lookingFor = true;
    const QHostAddress address = node().address;
    Look look;
    look.is = [address](const NodeInfo &n) { return n.address == address; };
    look.shows = [version](const NodeInfo &n) { return n.firmware == version; };
    look.verified = [this, restart](const NodeInfo &n) {
        outcome.version = n.firmware;
        outcome.effect = Effect::Verified;
        finish(Status::Done, QStringLiteral("reports ") + printable(n.firmware) + restart);
    };
    look.notVerified = [this, version](const NodeInfo &seen) {
        outcome.version = seen.firmware;
        finish(Status::NotVerified, seen.isValid() ? QStringLiteral("reports %1, not %2")
                                                         .arg(printable(seen.firmware), printable(version))
                                                   : QStringLiteral("did not answer discovery after its restart"));
    };
    look.unchecked = QStringLiteral("written and checked, but not looked for in discovery") + restart;
    look.unsettled = QStringLiteral("written and checked") + restart;
    lookFor(look);
    // Written and checked: the connection has nothing more to carry.
    if (!isFinished())
        closeInOrder();
}

void UpgradeOperation::released()
{
    if (upgrade) {
        if (outcome.effect != Effect::Verified)
            outcome.effect = upgrade->checksumMatched() ? Effect::Written
                : upgrade->eraseRequested()             ? Effect::MayBeIncomplete
                                                        : Effect::Untouched;
        lastProgress = upgrade->progressText();
        upgrade->disconnect(this);
        upgrade->abort();
        upgrade = nullptr; // goes with the session
    }
    image = UpgradeImage(); // this operation's share of the image
}

RunApplicationOperation::RunApplicationOperation(const NodeInfo &node, const OperationOptions &options,
                                                 NodeVerifier *v, QObject *parent)
    : NodeOperation(node, options, v, parent)
{
}

void RunApplicationOperation::connected()
{
    if (!session->isConnected())
        return;
    session->say(QStringLiteral("Run Application"));
    sent = session->sendCommand(RunApplication);
    if (sent)
        outcome.effect = Effect::MayHaveChanged;
    await(QStringLiteral("the close of the connection"), opts.replyTimeoutMs);
    closeInOrder();
}

void RunApplicationOperation::connectionEnded(bool byNode)
{
    if (!sent) {
        NodeOperation::connectionEnded(byNode);
        return;
    }
    // However the connection ended once the command was out (a boot loader
    // may leave it as it starts its application), discovery tells.
    stopWaiting();
    setAwaiting(QStringLiteral("its return as an application"));
    const QHostAddress address = node().address;
    Look look;
    look.is = [address](const NodeInfo &n) { return n.address == address; };
    look.shows = [](const NodeInfo &n) { return !n.bootLoader(); };
    look.verified = [this](const NodeInfo &) {
        outcome.effect = Effect::Verified;
        finish(Status::Done, QStringLiteral("application started"));
    };
    look.notVerified = [this](const NodeInfo &seen) {
        finish(Status::NotVerified, seen.isValid() ? QStringLiteral("RunApplication sent; it still runs its boot loader")
                                                   : QStringLiteral("RunApplication sent; it did not answer discovery"));
    };
    look.unchecked = QStringLiteral("RunApplication sent, not looked for in discovery");
    look.unsettled = QStringLiteral("RunApplication sent");
    lookFor(look);
}
