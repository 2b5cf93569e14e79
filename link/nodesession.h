#ifndef TARVO_NODESESSION_H
#define TARVO_NODESESSION_H

#include "link/messages.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// One TCP connection to one node (port 50000) and what happens on it: the
// framing of the node's messages, their dispatch by command word, and the
// pending-operation state with its guard timer, which a configuration write
// and a firmware upgrade share. The exchanges themselves (ConfigExchange,
// FirmwareUpgrade) attach to a session and act on the words that are theirs.
//
// Framing: every message a node sends is 1024 bytes. A message is handed on
// only when all of it is there; several in one segment are each handed on;
// a shorter rest waits for more, and only when nothing more arrives within
// RestWaitMs is it handed on as the short message it is. Nothing is handed
// on once the connection was closed or dropped, not even the rest of a
// segment behind a message whose handler closed it.
class NodeSession : public QObject
{
    Q_OBJECT

public:
    enum class Timeout { ConfigWrite, Upgrade };
    enum : int {
        RestWaitMs = 200,
        // Bytes Qt may hold unread for us. Whatever a node sends, the tool's
        // memory stays bounded by this and the kernel's buffers.
        ReadBufferBytes = 64 * 1024,
    };

    explicit NodeSession(QObject *parent = nullptr, Wiring wiring = Wiring::Internal);

    QTcpSocket *socket() const { return tcp; }
    QTimer &operationTimer() { return timer; }
    UpgradeState &upgradeState() { return state; }
    UpgradeState upgradeState() const { return state; }
    QHostAddress peer() const { return peerAddress; }

    // Closes any connection first, traces "Connecting to: " and connects.
    void connectToNode(const QHostAddress &address);
    // Graceful: what was written still goes out before the close.
    void close();
    // Ends the connection whatever its state, so that a new attempt can start.
    void drop();
    bool isConnected() const;

    void send(const QByteArray &message);
    // Writes at once rather than on the next turn of the event loop: for a
    // lock-step exchange, where the node waits for exactly this message.
    void sendNow(const QByteArray &message);
    void sendCommand(MessageCommand command);

    // For a front end that wires the socket and the timer itself.
    void handleConnected();
    void handleDisconnected();
    void readPending();
    Timeout handleTimeout();

    // Frames bytes as they arrived from the node: every whole message is
    // dispatched, a rest waits (readPending() passes what it reads here).
    void receive(const QByteArray &bytes);
    // Dispatches a waiting rest as the short message it is: what the
    // pause of RestWaitMs after it does.
    void flushRest();

    // Hands one framed message to the dispatcher: traces it and passes the
    // words the tool acts on to the attached exchanges.
    void dispatch(const QByteArray &message);

signals:
    void connected();
    void disconnected();
    // A connection attempt or the connection failed (Internal wiring only).
    void connectionFailed(const QString &reason);
    // One of the words 7, 8, 9, 11, 12, 13, 16 arrived.
    void messageReceived(quint32 word, const QByteArray &message);
    void timedOut(NodeSession::Timeout kind);

private:
    void endFraming();

    QTcpSocket *tcp = nullptr;
    QTimer timer;
    QTimer restTimer;
    QByteArray rest;
    QHostAddress peerAddress;
    UpgradeState state = Idle;
    // Counts closes and drops: a handler that ended the connection ends the
    // reading of what came behind its message.
    quint64 generation = 0;
    bool reading = false;
};

#endif
