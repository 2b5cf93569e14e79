#include "link/nodesession.h"

#include "link/trace.h"

#include <QScopedValueRollback>
#include <QTcpSocket>

NodeSession::NodeSession(QObject *parent, Wiring wiring, SessionOptions options)
    : QObject(parent), opts(options), tcp(new QTcpSocket(this))
{
    tcp->setReadBufferSize(opts.readBufferBytes);
    restTimer.setSingleShot(true);
    restTimer.setTimerType(Qt::PreciseTimer);
    connect(&restTimer, &QTimer::timeout, this, [this] {
        if (isConnected())
            flushRest();
    });
    if (wiring == Wiring::Internal) {
        connect(tcp, &QTcpSocket::connected, this, &NodeSession::handleConnected);
        connect(tcp, &QTcpSocket::disconnected, this, &NodeSession::handleDisconnected);
        connect(tcp, &QTcpSocket::readyRead, this, &NodeSession::readPending);
        connect(tcp, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            // A closing peer is the normal end of a connection, reported
            // by disconnected(); everything else is a failure.
            if (error != QAbstractSocket::RemoteHostClosedError)
                emit connectionFailed(tcp->errorString());
        });
    }
}

void NodeSession::say(const QString &text) const
{
    trace(TraceLevel::Info, traceAs, text);
}

void NodeSession::connectToNode(const QHostAddress &address)
{
    drop();
    ownClose = false;
    nodeClosed = false;
    mode = Framing::Learning;
    peerAddress = address;
    say(QStringLiteral("Connecting to: ") + address.toString());
    tcp->connectToHost(address, DevicePort, QIODevice::ReadWrite);
}

void NodeSession::close()
{
    ownClose = true;
    endFraming();
    tcp->disconnectFromHost();
}

void NodeSession::drop()
{
    ownClose = true;
    endFraming();
    if (tcp->state() == QAbstractSocket::ConnectedState)
        tcp->disconnectFromHost();
    // A pending attempt, or a close still flushing, would make the next
    // connectToHost() refuse to start: end it here.
    if (tcp->state() != QAbstractSocket::UnconnectedState)
        tcp->abort();
}

bool NodeSession::isConnected() const
{
    return tcp->state() == QAbstractSocket::ConnectedState;
}

bool NodeSession::send(const QByteArray &message)
{
    return isConnected() && tcp->write(message) == message.size();
}

bool NodeSession::sendNow(const QByteArray &message)
{
    if (!send(message))
        return false;
    tcp->flush();
    return true;
}

bool NodeSession::sendCommand(MessageCommand command)
{
    return send(wire::message(command));
}

void NodeSession::handleConnected()
{
    say(QStringLiteral("connected"));
    emit connected();
}

void NodeSession::handleDisconnected()
{
    nodeClosed = !ownClose;
    if (nodeClosed && !reading) {
        // What the node sent before it closed is handed on before the close.
        const QScopedValueRollback<bool> guard(reading, true);
        const quint64 current = generation;
        while (tcp->bytesAvailable() > 0 && generation == current)
            receive(tcp->read(mode == Framing::ShortReplies ? qint64(DeviceMessageSize) : opts.readBufferBytes));
        if (generation == current && restComplete()) {
            const QByteArray message = rest;
            rest.clear();
            dispatch(message);
        }
    }
    endFraming();
    say(QStringLiteral("disconnected"));
    emit disconnected();
}

void NodeSession::endFraming()
{
    ++generation;
    rest.clear();
    restTimer.stop();
}

bool NodeSession::restComplete() const
{
    return rest.size() >= 4 && rest.size() >= wire::fieldsEnd(wire::u32(rest, CommandOffset));
}

void NodeSession::readPending()
{
    // A handler that runs a nested event loop must not see this loop start
    // again inside it; what arrives meanwhile is read when it returns.
    if (reading)
        return;
    const QScopedValueRollback<bool> guard(reading, true);
    const quint64 current = generation;
    while (tcp->bytesAvailable() > 0 && isConnected() && generation == current) {
        // A node that sends short replies sends one message per read, and a
        // read takes at most one message's worth.
        const qint64 most = mode == Framing::ShortReplies ? qint64(DeviceMessageSize) : opts.readBufferBytes;
        receive(tcp->read(qMin<qint64>(tcp->bytesAvailable(), most)));
    }
    // Only a first reply that holds its fields may turn out to be a short
    // one: every byte that arrives starts the wait again.
    if (mode == Framing::Learning && restComplete() && isConnected() && generation == current)
        restTimer.start(opts.shortReplyWaitMs);
}

void NodeSession::receive(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    const quint64 current = generation;
    if (mode == Framing::ShortReplies) {
        if (bytes.size() < DeviceMessageSize) {
            dispatch(bytes);
            return;
        }
        mode = Framing::WholeMessages;
    }
    frameWhole(bytes, current);
}

void NodeSession::frameWhole(const QByteArray &bytes, quint64 current)
{
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype take = qMin<qsizetype>(DeviceMessageSize - rest.size(), bytes.size() - at);
        rest += bytes.mid(at, take);
        at += take;
        if (rest.size() < DeviceMessageSize)
            break;
        restTimer.stop();
        mode = Framing::WholeMessages;
        const QByteArray message = rest;
        rest.clear();
        dispatch(message);
        if (generation != current)
            return; // the handler closed the connection: the rest is not read
    }
}

void NodeSession::flushRest()
{
    restTimer.stop();
    if (mode != Framing::Learning || !restComplete())
        return;
    mode = Framing::ShortReplies;
    const QByteArray message = rest;
    rest.clear();
    dispatch(message);
}

void NodeSession::dispatch(const QByteArray &message)
{
    if (!wire::has(message, CommandOffset, 4)) {
        say(QStringLiteral("Short message ignored: ") + QString::number(message.size()));
        return;
    }
    const quint32 word = wire::u32(message, CommandOffset);
    say(QStringLiteral("TCP message received: ") + QString::number(qint32(word)));
    switch (word) {
    case GetConfig:
    case SetConfig:
    case DefaultConfig:
    case ResetDevice:
    case EraseSector:
    case ProgramPacket:
    case ReadCrc:
        emit messageReceived(word, message);
        break;
    default:
        say(QStringLiteral("Unknown message: ") + QString::number(qint32(word)));
        break;
    }
}
