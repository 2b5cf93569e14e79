#ifndef TARVO_UPGRADEOPERATION_H
#define TARVO_UPGRADEOPERATION_H

#include "firmware/firmwareupgrade.h"
#include "link/operation.h"

// Upgrades one node's firmware (FirmwareUpgrade, replies strictly in the
// step that awaits them) and, when asked, verifies the result: the node at
// the address it was upgraded at reports the image's version in discovery.
// Without verification it is done once the node's checksum matched and the
// restart was asked for.
class UpgradeOperation : public NodeOperation
{
    Q_OBJECT

public:
    // The upgrade's replies count strictly, whatever `upgradeOptions` says.
    UpgradeOperation(const NodeInfo &node, const OperationOptions &options, const UpgradeOptions &upgradeOptions,
                     NodeVerifier *verifier, const UpgradeImage &image, bool verify, QObject *parent = nullptr);

    void start() override;
    QString progressText() const override;
    // The upgrade's own state (Idle before it starts and once it ended).
    UpgradeState state() const;
    bool verifying() const { return lookingFor; }

protected:
    void connected() override;
    void received(quint32, const QByteArray &) override {}
    void connectionEnded(bool byNode) override;
    void released() override;
    QString awaitedNow() const override;

private:
    void upgradeFinished(FirmwareUpgrade::Result result);
    void verify(bool restartConfirmed);

    FirmwareUpgrade *upgrade;
    const int guardMs;
    UpgradeImage image;
    bool verifyAfter;
    QString lastProgress; // how far it got, kept once the upgrade is gone
    bool lookingFor = false;
};

// Starts the application of a node in its boot loader: RunApplication, then
// the tool's orderly close. The node sends no reply; it is done once the
// node answers discovery as an application at the same address.
class RunApplicationOperation : public NodeOperation
{
    Q_OBJECT

public:
    RunApplicationOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier,
                            QObject *parent = nullptr);

protected:
    void connected() override;
    void received(quint32 word, const QByteArray &) override { ignored(word); }
    void connectionEnded(bool byNode) override;

private:
    bool sent = false;
};

#endif
