#ifndef TARVO_OPERATION_H
#define TARVO_OPERATION_H

#include "config/configexchange.h"
#include "firmware/firmwareupgrade.h"
#include "link/nodeinfo.h"
#include "link/nodesession.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class NodeVerifier;

// The limits of the engine's operations, given once to the engine.
struct OperationOptions {
    // The connection, and each reply that has no bound of its own (GetConfig,
    // DefaultConfig, the close after RunApplication).
    int connectTimeoutMs = 1000;
    int replyTimeoutMs = 1000;
    ConfigOptions config;  // the SetConfig acknowledgement: 3000 ms
    UpgradeOptions upgrade{20000, 10000, 4, true};
    // How long a node has to show, in discovery, what an operation did: the
    // new version after an upgrade, the new address after a write that moves
    // it, its application after RunApplication. The first request goes out
    // soon after, then one every verifyIntervalMs while any node is awaited.
    int verifyTimeoutMs = 30000;
    int verifyFirstAskMs = 20;
    int verifyIntervalMs = 750;
    SessionOptions session;
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

    struct Result {
        Status status = Status::Aborted;
        QString reason;     // for people: what happened, and how far it got
        QByteArray record;  // the configuration record the node reported, if any
        QByteArray version; // the firmware version the node reported, if any
        qint64 elapsedMs = 0;
        bool ok() const { return status == Status::Done; }
    };

    const NodeInfo &node() const { return target; }
    bool isFinished() const { return ended; }
    const Result &result() const { return outcome; }
    // What the operation waits for now ("the EraseSector reply"); empty once
    // finished.
    QString awaiting() const { return ended ? QString() : waitingFor; }
    // How far it got, in words ("erased, 71 of 256 packets written, not
    // restarted").
    virtual QString progressText() const;

    // Connects; the engine calls it once, when it hands the operation out.
    // Nothing is reported before the caller got the operation.
    virtual void start();
    // Ends it now, with Aborted and how far it got. Nothing more is sent.
    void abort();

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
    // Sends a bare request and awaits its reply.
    void request(MessageCommand word, const QString &what, int ms);
    // Awaits the node in discovery (NodeVerifier): its serial and `is` pick
    // it out, `shows` tells whether it shows what it should. One of the two
    // callbacks runs, unless the operation ended before. Without a discovery
    // socket the operation ends NotVerified with `unchecked`.
    void lookFor(const std::function<bool(const NodeInfo &)> &is, const std::function<bool(const NodeInfo &)> &shows,
                 const std::function<void(const NodeInfo &)> &verified,
                 const std::function<void(const NodeInfo &seen)> &notVerified, const QString &unchecked);
    void setAwaiting(const QString &what) { waitingFor = what; }
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
};

#endif
