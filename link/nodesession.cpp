#include "link/nodesession.h"

#include "link/trace.h"

#include <QScopedValueRollback>
#include <QTcpSocket>

NodeSession::NodeSession(QObject *parent, Wiring wiring) : QObject(parent), tcp(new QTcpSocket(this))
{
    tcp->setReadBufferSize(ReadBufferBytes);
    // A coarse timer may run out up to 5 % early: the guard's bounds are
    // meant as given.
    timer.setTimerType(Qt::PreciseTimer);
    restTimer.setSingleShot(true);
    connect(&restTimer, &QTimer::timeout, this, [this] {
        if (isConnected())
            flushRest();
    });
    if (wiring == Wiring::Internal) {
        connect(tcp, &QTcpSocket::connected, this, &NodeSession::handleConnected);
        connect(tcp, &QTcpSocket::disconnected, this, &NodeSession::handleDisconnected);
        connect(tcp, &QTcpSocket::readyRead, this, &NodeSession::readPending);
        connect(&timer, &QTimer::timeout, this, &NodeSession::handleTimeout);
        connect(tcp, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
            // A closing peer is the normal end of a connection, reported
            // by disconnected(); everything else is a failure.
            if (error != QAbstractSocket::RemoteHostClosedError)
                emit connectionFailed(tcp->errorString());
        });
    }
}

void NodeSession::connectToNode(const QHostAddress &address)
{
    drop();
    peerAddress = address;
    trace(QStringLiteral("Connecting to: ") + address.toString());
    tcp->connectToHost(address, DevicePort, QIODevice::ReadWrite);
}

void NodeSession::close()
{
    endFraming();
    tcp->disconnectFromHost();
}

void NodeSession::drop()
{
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

void NodeSession::send(const QByteArray &message)
{
    tcp->write(message);
}

void NodeSession::sendNow(const QByteArray &message)
{
    tcp->write(message);
    tcp->flush();
}

void NodeSession::sendCommand(MessageCommand command)
{
    send(wire::message(command));
}

void NodeSession::handleConnected()
{
    trace(QStringLiteral("connected"));
    emit connected();
}

void NodeSession::handleDisconnected()
{
    endFraming();
    trace(QStringLiteral("disconnected"));
    emit disconnected();
}

void NodeSession::endFraming()
{
    ++generation;
    rest.clear();
    restTimer.stop();
}

void NodeSession::readPending()
{
    // A handler that runs a nested event loop must not see this loop start
    // again inside it; what arrives meanwhile is read when it returns.
    if (reading)
        return;
    const QScopedValueRollback<bool> guard(reading, true);
    const quint64 current = generation;
    while (tcp->bytesAvailable() > 0 && isConnected() && generation == current)
        receive(tcp->read(qMin<qint64>(tcp->bytesAvailable(), ReadBufferBytes)));
    if (!rest.isEmpty() && isConnected() && generation == current)
        restTimer.start(RestWaitMs);
}

void NodeSession::receive(const QByteArray &bytes)
{
    const quint64 current = generation;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype take = qMin<qsizetype>(DeviceMessageSize - rest.size(), bytes.size() - at);
        rest += bytes.mid(at, take);
        at += take;
        if (rest.size() < DeviceMessageSize)
            break;
        restTimer.stop();
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
    if (rest.isEmpty())
        return;
    const QByteArray message = rest;
    rest.clear();
    dispatch(message);
}

void NodeSession::dispatch(const QByteArray &message)
{
    if (!wire::has(message, CommandOffset, 4)) {
        trace(QStringLiteral("Short message ignored: ") + QString::number(message.size()));
        return;
    }
    const quint32 word = wire::u32(message, CommandOffset);
    trace(QStringLiteral("TCP message received: ") + QString::number(qint32(word)));
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
        trace(QStringLiteral("Unknown message: ") + QString::number(qint32(word)));
        break;
    }
}

NodeSession::Timeout NodeSession::handleTimeout()
{
    trace(QStringLiteral("Timeout"));
    if (state == Idle) {
        // Nothing but a configuration write is guarded while no upgrade runs.
        trace(QStringLiteral("Timeout"));
        emit timedOut(Timeout::ConfigWrite);
        return Timeout::ConfigWrite;
    }
    state = Idle;
    trace(QStringLiteral("Error during firmware update"));
    emit timedOut(Timeout::Upgrade);
    return Timeout::Upgrade;
}
