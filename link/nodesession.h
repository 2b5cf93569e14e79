#ifndef TARVO_NODESESSION_H
#define TARVO_NODESESSION_H

#include "link/messages.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QTimer>

class QTcpSocket;

// Limits of one session, given at construction.
struct SessionOptions {
    // How long a first reply that holds every field its command word needs,
    // but not 1024 bytes, waits for more before the node is taken for one
    // that sends short replies.
    int shortReplyWaitMs = 200;
    // Bytes Qt may hold unread for the session. Whatever a node sends, the
    // tool's memory stays bounded by this and the kernel's buffers.
    qint64 readBufferBytes = 64 * 1024;
};

// One TCP connection to one node (port 50000): the framing of the node's
// messages and their dispatch by command word. The exchanges (ConfigExchange,
// FirmwareUpgrade) and the operations on top of them attach to a session and
// act on the words that are theirs; time limits and the state of an exchange
// are theirs too.
//
// Framing, learnt per session, since nodes differ:
// - A node that has sent one whole 1024-byte message sends 1024-byte
//   messages: from then on the bytes are framed strictly by 1024, however
//   long the pieces of one message take to arrive.
// - A rest shorter than the fields its command word needs is never handed on
//   by itself; whoever waits for the reply bounds the wait.
// - A node whose first reply stops at or beyond its fields, with nothing
//   more within shortReplyWaitMs, sends short replies: from then on each
//   read is one message. A read of 1024 bytes or more shows it sends whole
//   messages after all.
// - When the node closes the connection, what it sent before is handed on
//   first (as far as its fields reach). Nothing is handed on once the tool
//   itself closed or dropped the connection, not even the rest of a segment
//   behind a message whose handler closed it.
class NodeSession : public QObject
{
    Q_OBJECT

public:
    enum class Framing { Learning, WholeMessages, ShortReplies };

    explicit NodeSession(QObject *parent = nullptr, Wiring wiring = Wiring::Internal, SessionOptions options = {});

    const SessionOptions &options() const { return opts; }
    QTcpSocket *socket() const { return tcp; }
    QHostAddress peer() const { return peerAddress; }
    Framing framing() const { return mode; }
    // True when the last connection ended without the tool asking for it.
    bool closedByNode() const { return nodeClosed; }

    // Names the node in trace lines (its label or serial); empty for none.
    void setTraceName(const QString &name) { traceAs = name; }
    const QString &traceName() const { return traceAs; }
    void say(const QString &text) const;

    // Closes any connection first, traces "Connecting to: " and connects.
    void connectToNode(const QHostAddress &address);
    // Graceful: what was written still goes out before the close.
    void close();
    // Ends the connection whatever its state, so that a new attempt can start.
    void drop();
    bool isConnected() const;

    // Each returns false when there is no connection to write to.
    bool send(const QByteArray &message);
    // Writes at once rather than on the next turn of the event loop: for a
    // lock-step exchange, where the node waits for exactly this message.
    bool sendNow(const QByteArray &message);
    bool sendCommand(MessageCommand command);

    // For a front end that wires the socket itself.
    void handleConnected();
    void handleDisconnected();
    void readPending();

    // Frames bytes as one read brought them (readPending() passes what it
    // reads here).
    void receive(const QByteArray &bytes);
    // Hands a waiting rest on as the short message it is, if it holds the
    // fields of its word: what the short-reply wait does when it runs out.
    void flushRest();

    // Hands one framed message to the dispatcher: traces it and passes the
    // words the tool acts on to whoever attached.
    void dispatch(const QByteArray &message);

signals:
    void connected();
    void disconnected();
    // A connection attempt or the connection failed (Internal wiring only).
    void connectionFailed(const QString &reason);
    // One of the words 7, 8, 9, 11, 12, 13, 16 arrived.
    void messageReceived(quint32 word, const QByteArray &message);

private:
    void endFraming();
    bool restComplete() const;
    void frameWhole(const QByteArray &bytes, quint64 current);

    SessionOptions opts;
    QTcpSocket *tcp = nullptr;
    QTimer restTimer;
    QByteArray rest;
    QHostAddress peerAddress;
    QString traceAs;
    Framing mode = Framing::Learning;
    // Counts closes and drops: a handler that ended the connection ends the
    // reading of what came behind its message.
    quint64 generation = 0;
    bool reading = false;
    bool ownClose = false;
    bool nodeClosed = false;
};

#endif
