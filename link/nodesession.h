#ifndef TARVO_NODESESSION_H
#define TARVO_NODESESSION_H

#include "link/messages.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>

class QTcpSocket;

// Limits of one session, given at construction.
struct SessionOptions {
    // Bytes Qt may hold unread for the session. Whatever a node sends, the
    // tool's memory stays bounded by this and the kernel's buffers.
    qint64 readBufferBytes = 64 * 1024;
    // Hand on only messages that began after the latest request was
    // written, for exchanges that take a reply only as the answer to their
    // request (the operations). The window takes a reply whenever it comes.
    bool answersOnly = false;
    // How long a connection the tool closed is still read, and what comes
    // dropped, while the node closes its side (see close()).
    int lingerMs = 2000;
};

// One TCP connection to one node (port 50000): the framing of the node's
// messages and their dispatch by command word. The exchanges (ConfigExchange,
// FirmwareUpgrade) and the operations on top of them attach to a session and
// act on the words that are theirs; time limits and the state of an exchange
// are theirs too.
//
// Framing holds for nodes that send whole 1024-byte messages, nodes that
// send only the fields the tool reads, and nodes that mix the two, whatever
// came before; nothing is learnt from one reply that a later one could
// contradict:
// - 1024 bytes from a message's start are one message; several messages in
//   one read are each handed on, in order.
// - A rest shorter than 1024 bytes is one message once it reaches every
//   field its command word needs: a node's reply, however TCP cut it, is
//   read as soon as it can be, and a node that sends short replies is
//   served at full pace.
// - A rest shorter than its fields is never handed on; whoever waits for the
//   reply bounds the wait, however long the pieces take.
// - Bytes that continue a message handed on short are its tail, dropped with
//   a trace: they run up to where a word the tool acts on begins (the next
//   message), and at most to that message's 1024 bytes.
// - When the node closes the connection, what it sent before is handed on
//   first, by the same rules. Nothing is handed on once the tool itself
//   closed or dropped the connection, not even the rest of a segment behind
//   a message whose handler closed it.
//
// Every byte has its place in the stream of the connection. A message that
// began before the tool's latest request was written cannot be the answer
// to it: the node sent it before it could have read the request. With
// answersOnly such a message is not handed on ("Reply sent before the
// request, ignored: 9").
class NodeSession : public QObject
{
    Q_OBJECT

public:
    explicit NodeSession(QObject *parent = nullptr, Wiring wiring = Wiring::Internal, SessionOptions options = {});

    const SessionOptions &options() const { return opts; }
    QTcpSocket *socket() const { return tcp; }
    QHostAddress peer() const { return peerAddress; }
    // True when the last connection ended without the tool asking for it.
    bool closedByNode() const { return nodeClosed; }
    // True once the tool closed or dropped the connection.
    bool closedByTool() const { return ownClose; }

    // Names the node in trace lines (its label or serial); empty for none.
    void setTraceName(const QString &name) { traceAs = name; }
    const QString &traceName() const { return traceAs; }
    void say(const QString &text) const;

    // Closes any connection first, traces "Connecting to: " and connects.
    void connectToNode(const QHostAddress &address);
    // The workstation's address the connections leave from (null: the one
    // the kernel picks): a node outside the workstation's network is
    // reached from an address added in its network.
    void setSource(const QHostAddress &address) { sourceAddress = address; }
    // Graceful: what was written still goes out before the close, and the
    // node is left to read it. The session is closed at once; the
    // connection lingers apart from it until the node closes its side or
    // lingerMs have passed, its bytes read and dropped. A socket closed with
    // bytes unread, or that receives bytes once closed, resets the
    // connection, and a node's stack may then drop the last request before
    // its firmware read it (a restart request answered by a stray ResetDevice
    // reply, a network change sent just before the close). With External
    // wiring the front end's socket is closed as it is.
    void close();
    // Spins the event loop until no connection closed by close() lingers,
    // or boundMs have passed: a program about to exit lets its last closes
    // finish.
    static void settle(int boundMs);
    // Ends the connection whatever its state, so that a new attempt can start.
    void drop();
    bool isConnected() const;

    // Each writes at once, not on the next turn of the event loop, and
    // returns false when there is no connection to write to. What was
    // received up to the write can no longer answer a request.
    bool send(const QByteArray &message);
    bool sendCommand(MessageCommand command);

    // Traces a reply that came when nothing awaited it, and what was.
    void notAwaited(quint32 word, const QString &awaiting) const;

    // For a front end that wires the socket itself.
    void handleConnected();
    void handleDisconnected();
    void readPending();

    // Frames bytes as one read brought them (readPending() passes what it
    // reads here).
    void receive(const QByteArray &bytes);

    // Hands one framed message to the dispatcher: traces it and passes the
    // words the tool acts on to whoever attached.
    void dispatch(const QByteArray &message);

    // The words a node's message may start with that the tool acts on.
    static bool actedOn(quint32 word);
    static bool mayBeginWord(const QByteArray &bytes);

signals:
    void connected();
    void disconnected();
    // A connection attempt or the connection failed (Internal wiring only).
    void connectionFailed(const QString &reason);
    // One of the words 7, 8, 9, 11, 12, 13, 16 arrived.
    void messageReceived(quint32 word, const QByteArray &message);

private:
    void attach(QTcpSocket *socket);
    void linger(QTcpSocket *socket) const;
    void endFraming();
    void frame(quint64 current);
    bool handOn(qsizetype size, quint64 current);
    qint64 waitingInKernel() const;

    SessionOptions opts;
    Wiring wiring;
    QTcpSocket *tcp = nullptr;
    QByteArray pending;        // bytes read, not yet framed
    quint64 pendingStart = 0;  // their place in the stream
    quint64 messageStart = 0;  // the place of the message being handed on
    quint64 requestMark = 0;   // bytes that had arrived when the latest request was written
    qint64 tailLeft = 0;       // bytes that would complete the last message handed on short
    QHostAddress peerAddress;
    QHostAddress sourceAddress;
    QString traceAs;
    // Counts closes and drops: a handler that ended the connection ends the
    // reading of what came behind its message.
    quint64 generation = 0;
    bool reading = false;
    bool ownClose = false;
    bool nodeClosed = false;
};

#endif
