#ifndef TARVO_CLI_FLEETUPGRADE_H
#define TARVO_CLI_FLEETUPGRADE_H

#include "cli/nodejob.h"
#include "firmware/firmwareupgrade.h"

#include <QDeadlineTimer>
#include <QHash>

class Discovery;

// Waits for upgraded nodes to answer discovery with the new version: one
// request shortly after a node is handed over (nodes finishing together
// share it), then one every ReaskMs while any node is awaited. Each node
// has its own bound from the moment it was handed over.
class Verifier : public QObject
{
    Q_OBJECT

public:
    enum : int { FirstAskMs = 20, ReaskMs = 750 };

    explicit Verifier(Discovery *discovery, QObject *parent = nullptr);
    void watch(const QByteArray &serial, const QByteArray &version, int boundMs);

signals:
    void verified(const QByteArray &serial);
    void notVerified(const QByteArray &serial, const QString &reason);

private:
    struct Watch {
        QByteArray version;
        QDeadlineTimer deadline;
        QByteArray seen; // the version it last reported, if it answered
        bool answered = false;
    };
    void ask();
    void nodeFound(int index);

    Discovery *discovery;
    QHash<QByteArray, Watch> watching;
    QTimer soon, every;
};

// One node's upgrade: the engine's FirmwareUpgrade on a session of its own,
// then the verification that it reports the file's version.
class UpgradeJob : public NodeJob
{
    Q_OBJECT

public:
    UpgradeJob(const NodeInfo &node, int timeoutMs, const QByteArray &file, const QByteArray &version,
               Verifier *verifier, int verifyMs, QObject *parent = nullptr);

signals:
    void progress(NodeJob *job, qint64 sent, qint64 total);

protected:
    void connected() override;
    void connectionLost(const QString &reason) override;

private:
    void upgradeFinished(FirmwareUpgrade::Result result);
    QString where() const;

    FirmwareUpgrade *upgrade;
    QByteArray file, version;
    Verifier *verifier;
    int verifyMs;
    qint64 sent = 0, total = 0;
    bool unconfirmed = false;
};

#endif
