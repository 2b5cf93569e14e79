#include "config/configexchange.h"

#include "config/configrecord.h"
#include "config/configvalues.h"
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

bool ConfigExchange::requestConfig()
{
    awaiting = Awaiting::Config;
    return session->sendCommand(GetConfig);
}

ConfigExchange::Sent ConfigExchange::sendConfig(const QByteArray &record)
{
    session->say(QStringLiteral("Send Config"));
    const bool written = session->send(record);
    if (opts.strict && !written)
        return Sent::NotSent;
    sent = record;
    if (netInfoChanged(record)) {
        session->say(QStringLiteral("Net config has changed"));
        awaiting = Awaiting::Nothing;
        session->close();
        return Sent::NetworkChanged;
    }
    awaiting = Awaiting::Acknowledgement;
    pending = true;
    timer->setSingleShot(true);
    timer->start(opts.writeTimeoutMs);
    return Sent::AwaitingAcknowledgement;
}

bool ConfigExchange::requestDefault()
{
    session->say(QStringLiteral("Default config sended"));
    awaiting = Awaiting::Default;
    return session->send(wire::message(DefaultConfig, ConfigRecord::Size));
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

bool ConfigExchange::awaited(quint32 word) const
{
    switch (word) {
    case GetConfig:
        return awaiting == Awaiting::Config;
    case SetConfig:
        return awaiting == Awaiting::Acknowledgement;
    default:
        return awaiting == Awaiting::Default;
    }
}

void ConfigExchange::handleMessage(quint32 word, const QByteArray &message)
{
    if (word != GetConfig && word != SetConfig && word != DefaultConfig)
        return;
    if (opts.strict && !awaited(word)) {
        static const char *const what[] = {"nothing", "configuration (GetConfig reply)", "SetConfig acknowledgement",
                                           "factory configuration (DefaultConfig reply)"};
        session->notAwaited(word, QString::fromLatin1(what[int(awaiting)]));
        return;
    }
    switch (word) {
    case GetConfig:
        acceptConfig(message);
        break;
    case SetConfig:
        // The acknowledgement carries what the node now applies: one with
        // other values answers something else (or the node did not take
        // them), and is no proof of this write.
        if (opts.strict && ConfigRecord::complete(message) &&
            !ConfigValues::fromRecord(message).sameAs(ConfigValues::fromRecord(sent))) {
            session->say(QStringLiteral("SetConfig acknowledgement with other values, ignored"));
            ++others;
            break;
        }
        if (opts.strict && !ConfigRecord::complete(message)) {
            acceptConfig(message); // traced as short, and nothing more
            break;
        }
        // The guard is the write's only while a write waits: a shared one
        // may guard an upgrade meanwhile, and must not be stopped by a
        // stray acknowledgement.
        if (pending)
            timer->stop();
        pending = false;
        emit writeAcknowledged();
        acceptConfig(message);
        break;
    default:
        handleDefaultReply(message);
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
    awaiting = Awaiting::Nothing;
    emit configReceived(last);
}

// The reply is neither stored as the configuration nor shown: it tells
// whether the node is about to move to other network settings. A reply too
// short to carry them is ignored like a short GetConfig or SetConfig reply,
// rather than taken for a move.
void ConfigExchange::handleDefaultReply(const QByteArray &message)
{
    if (!ConfigRecord::complete(message)) {
        session->say(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
        return;
    }
    lastDefault = message;
    awaiting = Awaiting::Nothing;
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
    if (opts.strict)
        awaiting = Awaiting::Nothing;
    session->say(QStringLiteral("Timeout"));
    session->say(QStringLiteral("Timeout"));
    emit writeTimedOut();
}
