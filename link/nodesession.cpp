#include "link/nodesession.h"

#include "link/trace.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QNetworkProxy>
#include <QScopedValueRollback>
#include <QTcpSocket>
#include <QTimer>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <sys/socket.h>
#endif

namespace {

int lingeringNow = 0; // the engine's sockets live in one thread

} // namespace

NodeSession::NodeSession(QObject *parent, Wiring w, SessionOptions options)
    : QObject(parent), opts(options), wiring(w)
{
    attach(new QTcpSocket(this));
}

void NodeSession::attach(QTcpSocket *socket)
{
    tcp = socket;
    tcp->setReadBufferSize(opts.readBufferBytes);
    // Nodes sit on the workstation's own network: no proxy is asked about
    // each connection.
    tcp->setProxy(QNetworkProxy::NoProxy);
    if (wiring != Wiring::Internal)
        return;
    connect(tcp, &QTcpSocket::connected, this, &NodeSession::handleConnected);
    connect(tcp, &QTcpSocket::disconnected, this, &NodeSession::handleDisconnected);
    connect(tcp, &QTcpSocket::readyRead, this, &NodeSession::readPending);
    connect(tcp, &QTcpSocket::errorOccurred, this, [this, socket](QAbstractSocket::SocketError error) {
        // A closing peer is the normal end of a connection, reported
        // by disconnected(); everything else is a failure.
        if (error != QAbstractSocket::RemoteHostClosedError)
            emit connectionFailed(socket->errorString());
    });
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
    // A new connection is a new stream.
    pendingStart = messageStart = requestMark = 0;
    peerAddress = address;
    say(QStringLiteral("Connecting to: ") + address.toString());
    // A source that cannot be bound leaves the choice to the kernel; the
    // connection then fails as it would have without it.
    if (!sourceAddress.isNull())
        tcp->bind(sourceAddress);
    tcp->connectToHost(address, DevicePort, QIODevice::ReadWrite);
}

void NodeSession::close()
{
    ownClose = true;
    endFraming();
    if (wiring != Wiring::Internal || tcp->state() != QAbstractSocket::ConnectedState) {
        tcp->disconnectFromHost();
        return;
    }
    QTcpSocket *done = tcp;
    attach(new QTcpSocket(this));
    linger(done);
    handleDisconnected(); // as a close would report it, at once
}

// The connection's FIN follows what was written; then whatever the node
// still sends is read and dropped until it closes its side or the bound
// ends. The socket no longer belongs to the session, which may connect
// again or go at once.
void NodeSession::linger(QTcpSocket *done) const
{
    done->disconnect(this);
    done->setParent(QCoreApplication::instance()); // outlives the session, not the program
    ++lingeringNow;
    connect(done, &QObject::destroyed, [] { --lingeringNow; });
    connect(done, &QTcpSocket::readyRead, done, [done] { done->skip(done->bytesAvailable()); });
    connect(done, &QTcpSocket::disconnected, done, &QObject::deleteLater);
    QTimer::singleShot(opts.lingerMs, done, [done] {
        done->abort();
        done->deleteLater();
    });
    const auto finWhenWritten = [done] {
        if (done->bytesToWrite() > 0)
            return;
#ifdef Q_OS_UNIX
        ::shutdown(int(done->socketDescriptor()), SHUT_WR);
#else
        done->disconnectFromHost();
#endif
    };
    connect(done, &QTcpSocket::bytesWritten, done, finWhenWritten);
    finWhenWritten();
}

void NodeSession::settle(int boundMs)
{
    const QDeadlineTimer deadline(boundMs);
    while (lingeringNow > 0 && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
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

qint64 NodeSession::waitingInKernel() const
{
#ifdef Q_OS_UNIX
    int bytes = 0;
    const qintptr fd = tcp->socketDescriptor();
    if (fd >= 0 && ::ioctl(int(fd), FIONREAD, &bytes) == 0)
        return bytes;
#endif
    return 0;
}

bool NodeSession::send(const QByteArray &message)
{
    if (!isConnected())
        return false;
    // Whatever has arrived by now, read or not, the node sent before it
    // could have read this request.
    requestMark = pendingStart + quint64(pending.size()) + quint64(tcp->bytesAvailable()) + quint64(waitingInKernel());
    if (tcp->write(message) != message.size())
        return false;
    // Out now, so that the mark and the write are one moment: the node waits
    // for exactly this message.
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
            receive(tcp->read(tcp->bytesAvailable()));
    }
    endFraming();
    say(QStringLiteral("disconnected"));
    emit disconnected();
}

void NodeSession::endFraming()
{
    ++generation;
    pendingStart += quint64(pending.size());
    pending.clear();
    tailLeft = 0;
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
        receive(tcp->read(tcp->bytesAvailable()));
}

void NodeSession::receive(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // A rest short of its fields waits for the rest of its reply, which may
    // begin with bytes that read as a word. A read that begins with a word
    // the tool acts on and, taken as that rest, runs past the reply's 1024
    // bytes onto something no message starts with, is the next message: the
    // rest was a reply cut short.
    const qsizetype end = DeviceMessageSize - pending.size();
    if (tailLeft == 0 && !pending.isEmpty() && bytes.size() >= 4 && actedOn(wire::u32(bytes, 0)) &&
        bytes.size() >= end + 4 && !actedOn(wire::u32(bytes, int(end)))) {
        say(QStringLiteral("Short message ignored: ") + QString::number(pending.size()));
        pendingStart += quint64(pending.size());
        pending.clear();
    }
    pending += bytes;
    frame(generation);
}

// Whether these one to three bytes are how a word the tool acts on begins
// (little-endian: its low byte, then zeros).
bool NodeSession::mayBeginWord(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !actedOn(quint8(bytes.at(0))))
        return false;
    for (qsizetype i = 1; i < bytes.size(); ++i)
        if (bytes.at(i) != 0)
            return false;
    return true;
}

bool NodeSession::actedOn(quint32 word)
{
    switch (word) {
    case GetConfig:
    case SetConfig:
    case DefaultConfig:
    case ResetDevice:
    case EraseSector:
    case ProgramPacket:
    case ReadCrc:
        return true;
    default:
        return false;
    }
}

void NodeSession::frame(quint64 current)
{
    while (!pending.isEmpty() && generation == current) {
        if (tailLeft > 0) {
            // After a message handed on short: its tail runs up to where a
            // word the tool acts on begins, and at most to the message's
            // 1024 bytes. A short node's next reply may follow a paused
            // rest in the same read.
            const qsizetype region = qsizetype(qMin<qint64>(tailLeft, pending.size()));
            qsizetype at = 0;
            bool next = false;
            for (; at < region && at + 4 <= pending.size(); ++at)
                if ((next = actedOn(wire::u32(pending, int(at)))))
                    break;
            if (at > 0) {
                say(QStringLiteral("Rest of a short message dropped: ") + QString::number(at));
                pending.remove(0, at);
                pendingStart += quint64(at);
                tailLeft -= at;
            }
            if (next)
                tailLeft = 0; // the next message begins here
            else if (tailLeft > 0)
                return; // too few bytes yet to tell
            continue;
        }
        if (pending.size() >= DeviceMessageSize) {
            if (!handOn(DeviceMessageSize, current))
                return;
            continue;
        }
        // A rest that holds its fields is read now: whatever follows of it
        // is its tail. Past its fields, a word the tool acts on begins the
        // next message, as it would in a later read; and up to three last
        // bytes that may begin one wait to be told by the next four.
        const qsizetype size = pending.size();
        const qsizetype fields = size < 4 ? 4 : wire::fieldsEnd(wire::u32(pending, CommandOffset));
        if (size < fields)
            return;
        for (qsizetype at = fields; at + 4 <= size; ++at)
            if (actedOn(wire::u32(pending, int(at)))) {
                if (!handOn(at, current))
                    return;
                break;
            }
        if (pending.size() != size)
            continue; // the next message begins here
        qsizetype end = size;
        for (qsizetype held = 3; held > 0; --held)
            if (size - held >= fields && mayBeginWord(pending.right(held))) {
                end = size - held;
                break;
            }
        tailLeft = DeviceMessageSize - end;
        handOn(end, current);
        return;
    }
}

bool NodeSession::handOn(qsizetype size, quint64 current)
{
    const QByteArray message = pending.left(size);
    messageStart = pendingStart;
    pending.remove(0, size);
    pendingStart += quint64(size);
    dispatch(message);
    return generation == current; // the handler may have closed the connection
}

void NodeSession::dispatch(const QByteArray &message)
{
    if (!wire::has(message, CommandOffset, 4)) {
        say(QStringLiteral("Short message ignored: ") + QString::number(message.size()));
        return;
    }
    const quint32 word = wire::u32(message, CommandOffset);
    say(QStringLiteral("TCP message received: ") + QString::number(qint32(word)));
    if (!actedOn(word))
        say(QStringLiteral("Unknown message: ") + QString::number(qint32(word)));
    else if (opts.answersOnly && messageStart < requestMark)
        say(QStringLiteral("Reply sent before the request, ignored: ") + QString::number(qint32(word)));
    else
        emit messageReceived(word, message);
}

void NodeSession::notAwaited(quint32 word, const QString &awaiting) const
{
    say(QStringLiteral("Reply not awaited, ignored: %1 (awaiting %2)").arg(qint32(word)).arg(awaiting));
}
