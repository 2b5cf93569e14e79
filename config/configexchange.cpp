#include "config/configexchange.h"

#include "config/configrecord.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include <cstring>

ConfigExchange::ConfigExchange(NodeSession *s) : QObject(s), session(s)
{
    connect(session, &NodeSession::messageReceived, this, &ConfigExchange::handleMessage);
    connect(session, &NodeSession::timedOut, this, [this](NodeSession::Timeout kind) {
        if (kind == NodeSession::Timeout::ConfigWrite)
            emit writeTimedOut();
    });
}

void ConfigExchange::requestConfig()
{
    session->sendCommand(GetConfig);
}

ConfigExchange::Sent ConfigExchange::sendConfig(const QByteArray &record)
{
    trace(QStringLiteral("Send Config"));
    session->send(record);
    if (netInfoChanged(record)) {
        trace(QStringLiteral("Net config has changed"));
        session->close();
        return Sent::NetworkChanged;
    }
    session->operationTimer().setSingleShot(true);
    session->operationTimer().start(WriteTimeoutMs);
    return Sent::AwaitingAcknowledgement;
}

void ConfigExchange::requestDefault()
{
    trace(QStringLiteral("Default config sended"));
    session->send(wire::message(DefaultConfig, ConfigRecord::Size));
}

bool ConfigExchange::netInfoChanged(const QByteArray &record)
{
    trace(QStringLiteral("Checking net info changes..."));
    // Without both network blocks there is nothing to compare: assume the
    // node may be moving, so that the tool lets go of it.
    if (!ConfigRecord::complete(record) || !ConfigRecord::complete(last))
        return true;
    if (std::memcmp(record.constData() + ConfigRecord::IpOffset, last.constData() + ConfigRecord::IpOffset,
                    ConfigRecord::NetworkSize) != 0)
        return true;
    trace(QStringLiteral("Net info doesn't changed"));
    return false;
}

void ConfigExchange::handleMessage(quint32 word, const QByteArray &message)
{
    switch (word) {
    case GetConfig:
        acceptConfig(message);
        break;
    case SetConfig:
        session->operationTimer().stop();
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
        trace(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
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
        trace(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
        return;
    }
    if (netInfoChanged(message)) {
        trace(QStringLiteral("Net config has changed"));
        session->close();
        emit defaultApplied(true);
        return;
    }
    trace(QStringLiteral("Net config doesnt changed"));
    emit defaultApplied(false);
}
