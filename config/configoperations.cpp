#include "config/configoperations.h"

#include "config/configrecord.h"
#include "config/configvalues.h"

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

ReadConfigOperation::ReadConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *v,
                                         QObject *parent)
    : NodeOperation(node, options, v, parent)
{
}

void ReadConfigOperation::connected()
{
    request(GetConfig, QString::fromLatin1(configuration), opts.replyTimeoutMs);
}

void ReadConfigOperation::received(quint32 word, const QByteArray &message)
{
    if (word != GetConfig || !ConfigRecord::complete(message)) {
        ignored(word);
        return;
    }
    outcome.record = message;
    finish(Status::Done, QStringLiteral("read"));
}

// The node is picked out by where it answers: from its new address, or
// reporting it; or still where it was reached, which tells what it holds
// when it did not take the settings.
void NetworkChangeOperation::verifyNetwork(const QByteArray &record, const QString &done, const QString &said,
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
    look.verified = [this, done, where](const NodeInfo &) {
        outcome.effect = Effect::Verified;
        finish(Status::Done, done + QStringLiteral("; the node now answers at ") + where);
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

WriteConfigOperation::WriteConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *v,
                                           Builder builder, QObject *parent)
    : NetworkChangeOperation(node, options, v, parent), build(std::move(builder))
{
}

void WriteConfigOperation::connected()
{
    step = Step::Reading;
    request(GetConfig, QString::fromLatin1(configuration), opts.replyTimeoutMs);
}

void WriteConfigOperation::received(quint32 word, const QByteArray &message)
{
    if (step == Step::Reading && word == GetConfig && ConfigRecord::complete(message)) {
        stopWaiting();
        write(message);
        return;
    }
    if (step == Step::Writing && word == SetConfig && ConfigRecord::complete(message)) {
        // The acknowledgement carries what the node now applies: one with
        // other values answers something else (or the node did not take
        // them), and is no proof of this write.
        if (!ConfigValues::fromRecord(message).sameAs(ConfigValues::fromRecord(sent))) {
            session->say(QStringLiteral("SetConfig acknowledgement with other values, ignored"));
            otherAcknowledgement = true;
            return;
        }
        outcome.record = message;
        outcome.effect = Effect::Written;
        finish(Status::Done, QStringLiteral("written"));
        return;
    }
    ignored(word);
}

QString WriteConfigOperation::progressText() const
{
    QStringList said;
    if (otherAcknowledgement)
        said.append(QStringLiteral("one that carried other values was ignored"));
    if (outcome.effect == Effect::MayHaveChanged)
        said.append(QStringLiteral("the node may have stored it"));
    return said.join(QStringLiteral("; "));
}

void WriteConfigOperation::write(const QByteArray &current)
{
    const QString refusal = build ? build(current, &sent) : QStringLiteral("nothing to write");
    if (!refusal.isEmpty()) {
        finish(Status::Refused, refusal);
        return;
    }
    session->say(QStringLiteral("Send Config"));
    if (!session->send(sent)) {
        finish(Status::ConnectionLost, QStringLiteral("the connection ended before SetConfig was sent; nothing written"));
        return;
    }
    outcome.effect = Effect::MayHaveChanged;
    if (ConfigRecord::sameNetwork(sent, current)) {
        step = Step::Writing;
        await(QStringLiteral("SetConfig acknowledgement"), opts.config.writeTimeoutMs);
        return;
    }
    // The node is about to leave this connection: it is not waited for here
    // (the window does the same), but in discovery. What was written still
    // goes out before the close.
    session->say(QStringLiteral("Net config has changed"));
    step = Step::Verifying;
    closeInOrder();
    verifyNetwork(sent, QStringLiteral("written"), QStringLiteral("sent"), QStringLiteral("; not known to be written"));
}

void WriteConfigOperation::connectionEnded(bool byNode)
{
    if (step == Step::Verifying)
        return; // the tool let go of it; discovery tells
    if (step == Step::Writing) {
        finish(Status::ConnectionLost, (byNode ? QStringLiteral("the node closed the connection")
                                               : QStringLiteral("connection lost")) +
                                           QStringLiteral(" before it acknowledged SetConfig; ") + progressText());
        return;
    }
    NodeOperation::connectionEnded(byNode);
}

DefaultConfigOperation::DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options,
                                               NodeVerifier *v, QObject *parent)
    : NetworkChangeOperation(node, options, v, parent)
{
}

QString DefaultConfigOperation::progressText() const
{
    return outcome.effect == Effect::MayHaveChanged ? QStringLiteral("the node may have restored it") : QString();
}

void DefaultConfigOperation::connected()
{
    step = Step::Reading;
    request(GetConfig, QString::fromLatin1(configuration), opts.replyTimeoutMs);
}

void DefaultConfigOperation::received(quint32 word, const QByteArray &message)
{
    if (step == Step::Reading && word == GetConfig && ConfigRecord::complete(message)) {
        before = message;
        step = Step::Defaulting;
        session->say(QStringLiteral("Default config sended"));
        if (request(DefaultConfig, QStringLiteral("factory configuration (DefaultConfig reply)"), opts.replyTimeoutMs))
            outcome.effect = Effect::MayHaveChanged;
        return;
    }
    if (step == Step::Defaulting && word == DefaultConfig && ConfigRecord::complete(message)) {
        outcome.record = message;
        outcome.effect = Effect::Written;
        if (ConfigRecord::sameNetwork(message, before)) {
            finish(Status::Done, QStringLiteral("factory configuration applied"));
            return;
        }
        // The node leaves the connection for its factory network settings.
        stopWaiting();
        step = Step::Verifying;
        closeInOrder();
        verifyNetwork(message, QStringLiteral("factory configuration applied"),
                      QStringLiteral("factory configuration applied"), QString());
        return;
    }
    ignored(word);
}

void DefaultConfigOperation::connectionEnded(bool byNode)
{
    if (step == Step::Verifying)
        return; // the tool let go of it; discovery tells
    NodeOperation::connectionEnded(byNode);
}
