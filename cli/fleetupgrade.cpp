#include "cli/fleetupgrade.h"

#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"

Verifier::Verifier(Discovery *d, QObject *parent) : QObject(parent), discovery(d)
{
    soon.setSingleShot(true);
    connect(&soon, &QTimer::timeout, this, &Verifier::ask);
    connect(&every, &QTimer::timeout, this, &Verifier::ask);
    connect(discovery, &Discovery::nodeFound, this, &Verifier::nodeFound);
}

void Verifier::watch(const QByteArray &serial, const QByteArray &version, int boundMs)
{
    watching.insert(serial, {version, QDeadlineTimer(boundMs), QByteArray(), false});
    if (!soon.isActive())
        soon.start(FirstAskMs);
}

void Verifier::ask()
{
    for (auto it = watching.begin(); it != watching.end();) {
        if (!it->deadline.hasExpired()) {
            ++it;
            continue;
        }
        const QString reason = it->answered ? QStringLiteral("reports %1, not %2")
                                                  .arg(printable(it->seen), printable(it->version))
                                            : QStringLiteral("did not answer discovery after its restart");
        const QByteArray serial = it.key();
        it = watching.erase(it);
        emit notVerified(serial, reason);
    }
    if (watching.isEmpty()) {
        every.stop();
        return;
    }
    // Each request empties the list of the one before: a node that answered
    // with its old version is heard again.
    discovery->search();
    every.start(ReaskMs);
}

void Verifier::nodeFound(int index)
{
    const QByteArray &record = discovery->records().at(index);
    const auto it = watching.find(DeviceRecord::serialNumber(record));
    if (it == watching.end())
        return;
    it->answered = true;
    it->seen = DeviceRecord::firmwareVersion(record);
    if (it->seen != it->version)
        return;
    const QByteArray serial = it.key();
    watching.erase(it);
    emit verified(serial);
}

UpgradeJob::UpgradeJob(const NodeInfo &node, int timeout, const QByteArray &upgradeFile, const QByteArray &fileVersion,
                       Verifier *v, int verifyBoundMs, QObject *parent)
    : NodeJob(node, timeout, parent), upgrade(new FirmwareUpgrade(session)), file(upgradeFile), version(fileVersion),
      verifier(v), verifyMs(verifyBoundMs)
{
    connect(upgrade, &FirmwareUpgrade::progress, this, [this](qint64 n, qint64 of) {
        sent = n;
        total = of;
        emit progress(this, n, of);
    });
    connect(upgrade, &FirmwareUpgrade::finished, this, &UpgradeJob::upgradeFinished);
    connect(verifier, &Verifier::verified, this, [this](const QByteArray &serial) {
        if (serial == this->node().serial())
            finish(true, unconfirmed ? QStringLiteral("reports %1; its restart was not confirmed").arg(printable(version))
                                     : QStringLiteral("reports %1").arg(printable(version)),
                   QStringLiteral("verified"));
    });
    connect(verifier, &Verifier::notVerified, this, [this](const QByteArray &serial, const QString &reason) {
        if (serial == this->node().serial())
            finish(false, reason, QStringLiteral("not verified"));
    });
}

void UpgradeJob::connected()
{
    upgrade->start(file);
}

QString UpgradeJob::where() const
{
    return sent == 0 ? QStringLiteral("while erasing")
                     : QStringLiteral("after packet %1 of %2").arg(sent).arg(total);
}

void UpgradeJob::connectionLost(const QString &reason)
{
    // A node restarting may leave the connection any way it likes: written
    // and checked, it is for the verification to judge.
    if (session->upgradeState() == ResetRequested)
        return;
    finish(false, reason + QLatin1Char(' ') + where());
}

void UpgradeJob::upgradeFinished(FirmwareUpgrade::Result result)
{
    if (isFinished())
        return;
    switch (result) {
    case FirmwareUpgrade::Result::Completed:
    case FirmwareUpgrade::Result::RestartUnconfirmed:
        // Written and checked by the node's checksum: what remains is to see
        // it come back with the new version.
        unconfirmed = result == FirmwareUpgrade::Result::RestartUnconfirmed;
        expectClose();
        session->close();
        verifier->watch(node().serial(), version, verifyMs);
        return;
    case FirmwareUpgrade::Result::ChecksumMismatch:
        finish(false, QStringLiteral("Firmware upgrade failed! The node's checksum differs; it was not restarted"));
        return;
    case FirmwareUpgrade::Result::TimedOut:
        finish(false, QStringLiteral("Firmware upgrade timeout! Not done within %1 s; stopped ")
                              .arg(int(FirmwareUpgrade::TimeoutMs / 1000)) +
                          where());
        return;
    }
}
