#include "config/configexchange.h"

#include "config/configrecord.h"
#include "link/nodesession.h"


ConfigExchange::ConfigExchange(NodeSession *s, ConfigOptions options, QTimer *sharedGuard)
    : QObject(s), session(s), opts(options), timer(sharedGuard ? sharedGuard : &ownGuard)
{
    // A coarse timer may run out up to 5 % early: the bound is meant as given.
    ownGuard.setTimerType(Qt::PreciseTimer);
    if (!sharedGuard)
        connect(&ownGuard, &QTimer::timeout, this, &ConfigExchange::handleWriteTimeout);
    connect(session, &NodeSession::messageReceived, this, &ConfigExchange::handleMessage);
}

void ConfigExchange::requestConfig()
{
    session->sendCommand(GetConfig);
}

ConfigExchange::Sent ConfigExchange::sendConfig(const QByteArray &record)
{
    session->say(QStringLiteral("Send Config"));
    session->send(record);
    if (netInfoChanged(record)) {
        session->say(QStringLiteral("Net config has changed"));
        session->close();
        return Sent::NetworkChanged;
    }
    pending = true;
    timer->setSingleShot(true);
    timer->start(opts.writeTimeoutMs);
    return Sent::AwaitingAcknowledgement;
}

void ConfigExchange::requestDefault()
{
    session->say(QStringLiteral("Default config sended"));
    session->send(wire::message(DefaultConfig, ConfigRecord::Size));
}

bool ConfigExchange::netInfoChanged(const QByteArray &record) const
{
    session->say(QStringLiteral("Checking net info changes..."));
    // Without both network blocks there is nothing to compare: assume the
    // node may be moving, so that the tool lets go of it.
    if (!ConfigRecord::sameNetwork(record, last))
        return true;
    session->say(QStringLiteral("Net info doesn't changed"));
    return false;
}

void ConfigExchange::handleMessage(quint32 word, const QByteArray &message)
{
    switch (word) {
    case GetConfig:
        acceptConfig(message);
        break;
    case SetConfig:
        // The guard is the write's only while a write waits: a shared one
        // may guard an upgrade meanwhile, and must not be stopped by a
        // stray acknowledgement.
        if (pending)
            timer->stop();
        pending = false;
        emit writeAcknowledged();
        acceptConfig(message);
        break;
    case DefaultConfig:
        handleDefaultReply(message);
        break;
    default:
        break;
    }
}

void ConfigExchange::acceptConfig(const QByteArray &message)
{
    if (!ConfigRecord::complete(message)) {
        session->say(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
        return;
    }
    last = message;
    emit configReceived(last);
}

// The reply is neither stored nor shown: it only tells whether the node is
// about to move to other network settings. A reply too short to carry them
// is ignored like a short GetConfig or SetConfig reply, rather than taken
// for a move.
void ConfigExchange::handleDefaultReply(const QByteArray &message)
{
    if (!ConfigRecord::complete(message)) {
        session->say(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
        return;
    }
    if (netInfoChanged(message)) {
        session->say(QStringLiteral("Net config has changed"));
        session->close();
        emit defaultApplied(true);
        return;
    }
    session->say(QStringLiteral("Net config doesnt changed"));
    emit defaultApplied(false);
}

void ConfigExchange::handleWriteTimeout()
{
    pending = false;
    session->say(QStringLiteral("Timeout"));
    session->say(QStringLiteral("Timeout"));
    emit writeTimedOut();
}
