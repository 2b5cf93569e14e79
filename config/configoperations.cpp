#include "config/configoperations.h"

#include "config/configrecord.h"
#include "link/nodesession.h"

#include <QtEndian>

namespace {

const char *const configuration = "configuration (GetConfig reply)";

// The network settings of a record, as discovery reports them too.
struct Network {
    quint32 ip = 0, mask = 0, gateway = 0;

    static Network of(const QByteArray &record)
    {
        const auto at = [&record](int offset) { return qFromBigEndian<quint32>(record.constData() + offset); };
        return {at(ConfigRecord::IpOffset), at(ConfigRecord::MaskOffset), at(ConfigRecord::GatewayOffset)};
    }
    static Network of(const NodeInfo &n) { return {n.ip, n.mask, n.gateway}; }
    bool operator==(const Network &o) const { return ip == o.ip && mask == o.mask && gateway == o.gateway; }
    QString text() const
    {
        return QStringLiteral("%1 mask %2 gateway %3")
            .arg(QHostAddress(ip).toString(), QHostAddress(mask).toString(), QHostAddress(gateway).toString());
    }
};

} // namespace

ConfigOperation::ConfigOperation(const NodeInfo &node, const OperationOptions &options, const ConfigOptions &config,
                                 NodeVerifier *v, QObject *parent)
    : NodeOperation(node, options, v, parent),
      exchange(new ConfigExchange(session, ConfigOptions{config.writeTimeoutMs, true}))
{
}

void ConfigOperation::released()
{
    if (exchange) {
        exchange->disconnect(this);
        exchange = nullptr; // goes with the session
    }
}

void ConfigOperation::connectionEnded(bool byNode)
{
    if (!session->closedByTool())
        NodeOperation::connectionEnded(byNode);
}

void ConfigOperation::readConfiguration(const std::function<void(const QByteArray &)> &read)
{
    connect(exchange, &ConfigExchange::configReceived, this, [this, read](const QByteArray &record) {
        disconnect(exchange, &ConfigExchange::configReceived, this, nullptr);
        stopWaiting();
        read(record);
    });
    exchange->requestConfig();
    await(QString::fromLatin1(configuration), opts.replyTimeoutMs);
}

// The node is picked out by where it answers: from its new address, or
// reporting it; or still where it was reached, which tells what it holds
// when it did not take the settings.
void ConfigOperation::verifyNetwork(const QByteArray &record, const QString &done, const QString &said,
                                    const QString &unknown)
{
    const Network wanted = Network::of(record);
    const quint32 from = node().address.toIPv4Address();
    const QString where = QHostAddress(wanted.ip).toString();
    setAwaiting(QStringLiteral("the node's answer at ") + where);
    Look look;
    look.is = [wanted, from](const NodeInfo &n) {
        const quint32 at = n.address.toIPv4Address();
        return at == wanted.ip || at == from || n.ip == wanted.ip;
    };
    look.shows = [wanted](const NodeInfo &n) { return Network::of(n) == wanted; };
    // Where it answers from is said as seen: a node may report its new
    // settings before it takes them.
    look.verified = [this, done, where](const NodeInfo &n) {
        outcome.effect = Effect::Verified;
        const QString at = n.address.toString();
        finish(Status::Done, done + (at == where ? QStringLiteral("; the node now answers at ") + where
                                                 : QStringLiteral("; the node reports %1, and still answers at %2").arg(where, at)));
    };
    look.notVerified = [this, wanted, where, said, unknown](const NodeInfo &seen) {
        finish(Status::NotVerified,
               (seen.isValid() ? QStringLiteral("%1, but the node reports %2, not %3")
                                     .arg(said, Network::of(seen).text(), wanted.text())
                               : QStringLiteral("%1, but the node did not answer at %2 within %3 s")
                                     .arg(said, where)
                                     .arg(opts.verifyTimeoutMs / 1000.0)) +
                   unknown);
    };
    look.unchecked = QStringLiteral("%1; the node moves to %2, not looked for%3").arg(said, wanted.text(), unknown);
    look.unsettled = said + unknown;
    lookFor(look);
}

ReadConfigOperation::ReadConfigOperation(const NodeInfo &node, const OperationOptions &options,
                                         const ConfigOptions &config, NodeVerifier *v, QObject *parent)
    : ConfigOperation(node, options, config, v, parent)
{
}

void ReadConfigOperation::connected()
{
    readConfiguration([this](const QByteArray &record) {
        outcome.record = record;
        finish(Status::Done, QStringLiteral("read"));
    });
}

WriteConfigOperation::WriteConfigOperation(const NodeInfo &node, const OperationOptions &options,
                                           const ConfigOptions &config, NodeVerifier *v, Builder builder,
                                           QObject *parent)
    : ConfigOperation(node, options, config, v, parent), build(std::move(builder))
{
}

void WriteConfigOperation::connected()
{
    step = Step::Reading;
    readConfiguration([this](const QByteArray &record) { write(record); });
}

QString WriteConfigOperation::progressText() const
{
    QStringList said;
    if (exchange && exchange->otherAcknowledgements() > 0)
        said.append(QStringLiteral("one that carried other values was ignored"));
    if (outcome.effect == Effect::MayHaveChanged)
        said.append(QStringLiteral("the node may have stored it"));
    return said.join(QStringLiteral("; "));
}

void WriteConfigOperation::write(const QByteArray &current)
{
    outcome.previous = current;
    const QString refusal = build ? build(current, &sent) : QStringLiteral("nothing to write");
    if (!refusal.isEmpty()) {
        finish(Status::Refused, refusal);
        return;
    }
    if (sent.isEmpty()) {
        outcome.record = current;
        finish(Status::Done, QStringLiteral("it holds these values already; nothing written"));
        return;
    }
    // The node is about to leave this connection for its new network
    // settings: it is not waited for here (the window does the same), but
    // in discovery. What was written still goes out before the close.
    switch (exchange->sendConfig(sent)) {
    case ConfigExchange::Sent::NotSent:
        finish(Status::ConnectionLost, QStringLiteral("the connection ended before SetConfig was sent; nothing written"));
        return;
    case ConfigExchange::Sent::NetworkChanged:
        outcome.effect = Effect::MayHaveChanged;
        step = Step::Verifying;
        verifyNetwork(sent, QStringLiteral("written"), QStringLiteral("sent"), QStringLiteral("; not known to be written"));
        return;
    case ConfigExchange::Sent::AwaitingAcknowledgement:
        break;
    }
    outcome.effect = Effect::MayHaveChanged;
    step = Step::Writing;
    setAwaiting(QStringLiteral("SetConfig acknowledgement"));
    // Strict, the exchange stores a record now only from an acknowledgement
    // with the values sent.
    connect(exchange, &ConfigExchange::configReceived, this, [this](const QByteArray &record) {
        outcome.record = record;
        outcome.effect = Effect::Written;
        finish(Status::Done, QStringLiteral("written"));
    });
    connect(exchange, &ConfigExchange::writeTimedOut, this, [this] {
        finish(Status::TimedOut, QStringLiteral("no SetConfig acknowledgement within %1 ms; %2")
                                     .arg(exchange->guard().interval())
                                     .arg(progressText()));
    });
}

void WriteConfigOperation::connectionEnded(bool byNode)
{
    if (step == Step::Writing && !session->closedByTool()) {
        finish(Status::ConnectionLost, (byNode ? QStringLiteral("the node closed the connection")
                                               : QStringLiteral("connection lost")) +
                                           QStringLiteral(" before it acknowledged SetConfig; ") + progressText());
        return;
    }
    ConfigOperation::connectionEnded(byNode);
}

DefaultConfigOperation::DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options,
                                               const ConfigOptions &config, NodeVerifier *v, QObject *parent)
    : ConfigOperation(node, options, config, v, parent)
{
}

QString DefaultConfigOperation::progressText() const
{
    return outcome.effect == Effect::MayHaveChanged ? QStringLiteral("the node may have restored it") : QString();
}

void DefaultConfigOperation::connected()
{
    step = Step::Reading;
    readConfiguration([this](const QByteArray &) {
        step = Step::Defaulting;
        connect(exchange, &ConfigExchange::defaultApplied, this, &DefaultConfigOperation::applied);
        if (exchange->requestDefault())
            outcome.effect = Effect::MayHaveChanged;
        await(QStringLiteral("factory configuration (DefaultConfig reply)"), opts.replyTimeoutMs);
    });
}

void DefaultConfigOperation::applied(bool networkChanged)
{
    const QByteArray record = exchange->lastDefaultReply();
    outcome.record = record;
    outcome.effect = Effect::Written;
    stopWaiting();
    if (!networkChanged) {
        finish(Status::Done, QStringLiteral("factory configuration applied"));
        return;
    }
    // The exchange let go of the connection: the node leaves it for its
    // factory network settings.
    step = Step::Verifying;
    verifyNetwork(record, QStringLiteral("factory configuration applied"), QStringLiteral("factory configuration applied"),
                  QString());
}
