#ifndef TARVO_OPERATION_H
#define TARVO_OPERATION_H

#include "link/nodeinfo.h"
#include "link/nodesession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class NodeVerifier;

// The limits every operation shares; the configuration and the upgrade
// have options of their own (ConfigOptions, UpgradeOptions), and the
// engine gathers them all (EngineOptions).
struct OperationOptions {
    // The connection, and each reply that has no bound of its own (GetConfig,
    // DefaultConfig, the close after RunApplication).
    int connectTimeoutMs = 1000;
    int replyTimeoutMs = 1000;
    // How long a node has to show, in discovery, what an operation did: the
    // new version after an upgrade, the new address after a write that moves
    // it, its application after RunApplication. The first request goes out
    // soon after, then one every verifyIntervalMs while any node is awaited.
    int verifyTimeoutMs = 30000;
    int verifyFirstAskMs = 20;
    int verifyIntervalMs = 750;
    // An operation takes a reply only as the answer to its own request.
    SessionOptions session{64 * 1024, true};
};

// One thing done to one node, in the way of QNetworkReply: started by a call
// on the engine (NodeEngine), it owns its connection, timers and state, and
// ends with exactly one finished(), whatever happens: the node's answer, a
// refusal, a time-out, a lost connection, a verification that failed, or
// abort(). Only a reply that answers a request this operation sent, in the
// step that awaits it, counts; any other is traced and ignored. A write is
// done only when the node acknowledged it.
//
// Once finished, the operation has let go of its connection and of any
// image; delete it (deleteLater()) when its result is read.
class NodeOperation : public QObject
{
    Q_OBJECT

public:
    enum class Status { Done, Refused, TimedOut, ConnectionLost, NotVerified, Aborted };
    Q_ENUM(Status)

    // What the node may hold now, as far as the operation knows from what it
    // sent and what it saw. Clients decide from this, never from the words
    // of the reason.
    enum class Effect {
        Untouched,       // nothing that changes the node was sent
        MayHaveChanged,  // a change was sent, and not confirmed
        MayBeIncomplete, // its firmware was (or may have been) erased, and not written whole
        Written,         // the node confirmed the change (acknowledged, or its checksum matched)
        Verified,        // and discovery shows it
    };
    Q_ENUM(Effect)

    struct Result {
        Status status = Status::Aborted;
        Effect effect = Effect::Untouched;
        QString reason;     // for people: what happened, and how far it got
        QByteArray record;   // the configuration record the node reported, if any
        QByteArray previous; // a write's: the record the node held before it
        QByteArray version; // the firmware version the node reported, if any
        qint64 elapsedMs = 0;
        bool ok() const { return status == Status::Done; }
        // The node may differ from what it was before.
        bool changed() const { return effect != Effect::Untouched; }
    };

    const NodeInfo &node() const { return target; }
    bool isFinished() const { return ended; }
    const Result &result() const { return outcome; }
    // What the operation waits for now ("the EraseSector reply"); empty once
    // finished.
    QString awaiting() const { return ended ? QString() : awaitedNow(); }
    // How far it got, in words ("erased, 71 of 256 packets written, not
    // restarted").
    virtual QString progressText() const;

    // Connects. The engine calls it once, on the turn of the event loop
    // after it handed the operation out, so that whatever happens (even a
    // connection that fails at once) reaches the caller's finished().
    virtual void start();
    // Ends it now, with Aborted and how far it got. Nothing more is sent.
    void abort();

    // For the engine, before start(): the operation waits for its way to
    // the node (`what`, as awaiting() tells it); it connects from `source`;
    // or it ends untouched, without connecting, for `reason`.
    void holdBack(const QString &what) { waitingFor = what; }
    void setSource(const QHostAddress &source);
    void cannotStart(const QString &reason);

    static QString statusName(Status status);

signals:
    void finished(const NodeOperation::Result &result);
    void progress(qint64 done, qint64 total);

protected:
    NodeOperation(const NodeInfo &node, const OperationOptions &options, NodeVerifier *verifier, QObject *parent);

    virtual void connected() = 0;
    // The connection ended. `byNode`: the node closed or reset it.
    virtual void connectionEnded(bool byNode);
    // A message the session framed.
    virtual void received(quint32 word, const QByteArray &message) = 0;
    // Lets go of what finishing releases (the session goes after this).
    virtual void released() {}

    // Waits at most `ms` for `what`; the wait ends the operation.
    void await(const QString &what, int ms);
    // Sends a bare request and awaits its reply; false when it could not be
    // sent (the connection's end follows).
    bool request(MessageCommand word, const QString &what, int ms);

    // What a verification looks for in discovery (NodeVerifier).
    struct Look {
        // Picks the node out, beyond its serial and MAC address, which are
        // always checked.
        std::function<bool(const NodeInfo &)> is;
        // Whether it shows what it should.
        std::function<bool(const NodeInfo &)> shows;
        std::function<void(const NodeInfo &)> verified;
        std::function<void(const NodeInfo &seen)> notVerified;
        QString unchecked;  // the reason without a discovery socket
        QString unsettled;  // what the reason adds when twins cannot be told apart
    };
    // Awaits the node in discovery. One of the callbacks runs, unless the
    // operation ended before; without a discovery socket the operation ends
    // NotVerified with `unchecked`, and where two nodes with its serial and
    // MAC address both fit `is`, NotVerified saying so.
    void lookFor(const Look &look);
    void setAwaiting(const QString &what) { waitingFor = what; }
    // What it waits for now, in words; made when asked, not at every step.
    virtual QString awaitedNow() const { return waitingFor; }
    void stopWaiting();
    void ignored(quint32 word) const;
    void finish(Status status, const QString &reason);
    // Closes the connection in order (what was written still goes out) and
    // expects the close.
    void closeInOrder();

    NodeSession *session = nullptr;
    const OperationOptions opts;
    NodeVerifier *verifier;
    Result outcome;

private:
    NodeInfo target;
    QTimer bound;
    QElapsedTimer clock;
    QString waitingFor;
    int watchId = 0;
    bool ended = false;
    bool closing = false;
    bool wasConnected = false;
};

#endif
