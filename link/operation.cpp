#include "link/operation.h"

#include "link/nodeverifier.h"
#include "link/trace.h"

namespace {

// The label names the node in trace lines, or else its serial.
QString traceNameOf(const NodeInfo &node)
{
    return printable(node.label.isEmpty() ? node.serial : node.label);
}

// A reason, and how far the operation got when there is anything to say.
QString withProgress(const QString &reason, const QString &how)
{
    return how.isEmpty() ? reason : reason + QStringLiteral("; ") + how;
}

} // namespace

NodeOperation::NodeOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *v, QObject *parent)
    : QObject(parent), session(new NodeSession(this, Wiring::Internal, options.session)), opts(options), verifier(v),
      target(node)
{
    clock.start();
    bound.setSingleShot(true);
    bound.setTimerType(Qt::PreciseTimer);
    connect(&bound, &QTimer::timeout, this, [this] {
        finish(Status::TimedOut,
               withProgress(QStringLiteral("no %1 within %2 ms").arg(awaitedNow()).arg(bound.interval()), progressText()));
    });
    session->setTraceName(traceNameOf(node));
    connect(session, &NodeSession::connected, this, [this] {
        wasConnected = true;
        stopWaiting();
        connected();
    });
    connect(session, &NodeSession::disconnected, this, [this] {
        if (!ended)
            connectionEnded(!closing && session->closedByNode());
    });
    connect(session, &NodeSession::connectionFailed, this, [this](const QString &reason) {
        if (ended || closing)
            return;
        // Once connected, a failure is a lost connection, with how far the
        // operation got; disconnected() follows where the socket is still up.
        if (!wasConnected)
            finish(Status::ConnectionLost, QStringLiteral("cannot connect: ") + reason);
        else if (!session->isConnected())
            connectionEnded(false);
    });
    connect(session, &NodeSession::messageReceived, this, [this](quint32 word, const QByteArray &message) {
        if (!ended)
            received(word, message);
    });
}

QString NodeOperation::progressText() const
{
    return QString();
}

QString NodeOperation::statusName(Status status)
{
    switch (status) {
    case Status::Done:
        return QStringLiteral("done");
    case Status::Refused:
        return QStringLiteral("refused");
    case Status::TimedOut:
        return QStringLiteral("timed out");
    case Status::ConnectionLost:
        return QStringLiteral("connection lost");
    case Status::NotVerified:
        return QStringLiteral("not verified");
    case Status::Aborted:
        return QStringLiteral("aborted");
    }
    return QString();
}

void NodeOperation::start()
{
    if (ended)
        return; // aborted before its turn came
    session->connectToNode(target.address);
    await(QStringLiteral("connection"), opts.connectTimeoutMs);
}

void NodeOperation::setSource(const QHostAddress &source)
{
    if (session)
        session->setSource(source);
}

void NodeOperation::cannotStart(const QString &reason)
{
    finish(Status::ConnectionLost, QStringLiteral("cannot connect: ") + reason);
}

void NodeOperation::connectionEnded(bool byNode)
{
    const QString what = byNode ? QStringLiteral("the node closed the connection while awaiting %1")
                                : QStringLiteral("connection lost while awaiting %1");
    finish(Status::ConnectionLost, withProgress(what.arg(awaitedNow()), progressText()));
}

void NodeOperation::await(const QString &what, int ms)
{
    waitingFor = what;
    bound.start(ms);
}

bool NodeOperation::request(MessageCommand word, const QString &what, int ms)
{
    const bool sent = session->sendCommand(word);
    await(what, ms);
    return sent;
}

void NodeOperation::lookFor(const Look &look)
{
    if (!verifier) {
        finish(Status::NotVerified, look.unchecked);
        return;
    }
    connect(verifier, &NodeVerifier::verified, this, [this, look](int id, const NodeInfo &node) {
        if (id == watchId)
            look.verified(node);
    });
    connect(verifier, &NodeVerifier::notVerified, this, [this, look](int id, const NodeInfo &seen) {
        if (id == watchId)
            look.notVerified(seen);
    });
    connect(verifier, &NodeVerifier::unsettled, this, [this, look](int id, const NodeInfo &other) {
        if (id != watchId)
            return;
        finish(Status::NotVerified,
               QStringLiteral("another node reports its serial and MAC address (%1, at %2): the two cannot be told "
                              "apart; %3")
                   .arg(printable(other.serial), other.address.toString(), look.unsettled));
    });
    watchId = verifier->watch({target.serial, target.mac, target.address, look.is, look.shows}, opts.verifyTimeoutMs);
}

void NodeOperation::stopWaiting()
{
    bound.stop();
}

void NodeOperation::ignored(quint32 word) const
{
    session->notAwaited(word, awaitedNow());
}

void NodeOperation::closeInOrder()
{
    closing = true;
    session->close();
}

void NodeOperation::abort()
{
    if (ended)
        return;
    finish(Status::Aborted, withProgress(QStringLiteral("aborted while awaiting %1").arg(awaitedNow()), progressText()));
}

void NodeOperation::finish(Status status, const QString &reason)
{
    if (ended)
        return;
    ended = true;
    bound.stop();
    outcome.status = status;
    outcome.reason = reason;
    outcome.elapsedMs = clock.elapsed();
    released();
    if (verifier) {
        verifier->disconnect(this);
        if (watchId)
            verifier->cancel(watchId);
    }
    // The connection and whatever hangs on it (an upgrade's image) go now,
    // not when the client gets round to deleting the operation.
    if (session) {
        session->disconnect(this);
        closing = true;
        session->drop();
        session->deleteLater();
        session = nullptr;
    }
    trace(TraceLevel::Info, traceNameOf(target), statusName(status) + QStringLiteral(": ") + reason);
    emit finished(outcome);
}
