#include "config/configoperations.h"

#include "config/configrecord.h"
#include "config/configvalues.h"

#include <QtEndian>

namespace {

quint32 ipOf(const QByteArray &record)
{
    return qFromBigEndian<quint32>(record.constData() + ConfigRecord::IpOffset);
}

const char *const configuration = "configuration (GetConfig reply)";

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

WriteConfigOperation::WriteConfigOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *v,
                                           Builder builder, QObject *parent)
    : NodeOperation(node, options, v, parent), build(std::move(builder))
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
        finish(Status::Done, QStringLiteral("written"));
        return;
    }
    ignored(word);
}

QString WriteConfigOperation::progressText() const
{
    return otherAcknowledgement ? QStringLiteral("one that carried other values was ignored") : QString();
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
    if (ConfigRecord::sameNetwork(sent, current)) {
        step = Step::Writing;
        await(QStringLiteral("SetConfig acknowledgement"), opts.config.writeTimeoutMs);
        return;
    }
    // The node is about to move: it is not waited for on this connection
    // (the window does the same), but where it will answer.
    session->say(QStringLiteral("Net config has changed"));
    step = Step::Moving;
    setAwaiting(QStringLiteral("the close of the connection"));
    closeInOrder();
}

void WriteConfigOperation::connectionEnded(bool byNode)
{
    if (step == Step::Moving && !byNode) {
        verifyMove();
        return;
    }
    if (step == Step::Writing) {
        finish(Status::ConnectionLost, (byNode ? QStringLiteral("the node closed the connection")
                                               : QStringLiteral("connection lost")) +
                                           QStringLiteral(" before it acknowledged SetConfig; not known to be written"));
        return;
    }
    NodeOperation::connectionEnded(byNode);
}

void WriteConfigOperation::verifyMove()
{
    const quint32 ip = ipOf(sent);
    const QString where = wire::dottedQuad(sent, ConfigRecord::IpOffset);
    step = Step::Verifying;
    setAwaiting(QStringLiteral("the node's answer at ") + where);
    const QByteArray serial = node().serial;
    // A node that moved answers from its new address; where it cannot yet,
    // its reply reports it.
    lookFor([serial, ip](const NodeInfo &n) { return n.serial == serial && (n.address.toIPv4Address() == ip || n.ip == ip); },
            [](const NodeInfo &) { return true; },
            [this, where](const NodeInfo &) { finish(Status::Done, QStringLiteral("written; the node now answers at ") + where); },
            [this, where](const NodeInfo &) {
                finish(Status::NotVerified,
                       QStringLiteral("sent, but the node did not answer at %1 within %2 s; not known to be written")
                           .arg(where)
                           .arg(opts.verifyTimeoutMs / 1000.0));
            },
            QStringLiteral("sent; the node moves to %1, not looked for").arg(where));
}

DefaultConfigOperation::DefaultConfigOperation(const NodeInfo &node, const OperationOptions &options,
                                               NodeVerifier *v, QObject *parent)
    : NodeOperation(node, options, v, parent)
{
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
        request(DefaultConfig, QStringLiteral("factory configuration (DefaultConfig reply)"), opts.replyTimeoutMs);
        return;
    }
    if (step == Step::Defaulting && word == DefaultConfig && ConfigRecord::complete(message)) {
        outcome.record = message;
        if (ConfigRecord::sameNetwork(message, before))
            finish(Status::Done, QStringLiteral("factory configuration applied"));
        else
            finish(Status::Done, QStringLiteral("factory configuration applied; the node now answers at ") +
                                     wire::dottedQuad(message, ConfigRecord::IpOffset));
        return;
    }
    ignored(word);
}
