#ifndef TARVO_CONFIGEXCHANGE_H
#define TARVO_CONFIGEXCHANGE_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

class NodeSession;

struct ConfigOptions {
    // How long a node has to acknowledge a SetConfig.
    int writeTimeoutMs = 3000;
    // A reply counts only while its request is awaited, and a SetConfig
    // acknowledgement only with the values sent. Without it, as the window
    // runs the exchange, a reply is taken whenever it comes.
    bool strict = false;
};

// The configuration exchange on one node session: reading the record
// (GetConfig), writing one (SetConfig, acknowledged within writeTimeoutMs)
// and restoring the factory configuration (DefaultConfig). When a record
// the node is about to apply carries other network settings, the session is
// closed: the node will answer at its new address. The window runs it as it
// always has; the engine's operations run it strict.
class ConfigExchange : public QObject
{
    Q_OBJECT

public:
    enum class Sent { AwaitingAcknowledgement, NetworkChanged, NotSent };

    // Attaches to the session, as its child. The write's guard is the
    // exchange's own timer, or `sharedGuard`, which a front end shares
    // among its exchanges: it then connects the timer's timeout() itself and
    // calls handleWriteTimeout() when no upgrade holds the timer.
    explicit ConfigExchange(NodeSession *session, ConfigOptions options = {}, QTimer *sharedGuard = nullptr);

    // The last GetConfig reply or SetConfig acknowledgement, as read.
    const QByteArray &lastConfigMessage() const { return last; }
    // The last DefaultConfig reply: what the node now applies.
    const QByteArray &lastDefaultReply() const { return lastDefault; }
    bool writePending() const { return pending; }
    const QTimer &guard() const { return *timer; }
    // Strict: acknowledgements ignored for carrying other values than sent.
    int otherAcknowledgements() const { return others; }

    // Each returns false when the request could not be written.
    bool requestConfig();
    // Sends a SetConfig record that passed the checks (configvalues.h).
    Sent sendConfig(const QByteArray &record);
    bool requestDefault();

    // True when the record's address, mask or gateway differ from those of
    // lastConfigMessage, or when either is too short to tell.
    bool netInfoChanged(const QByteArray &record) const;

    // Reply handling, reached through the session's dispatch.
    void acceptConfig(const QByteArray &message);
    void handleDefaultReply(const QByteArray &message);
    // The write's guard ran out.
    void handleWriteTimeout();

signals:
    // A configuration record was stored as lastConfigMessage.
    void configReceived(const QByteArray &record);
    // A SetConfig acknowledgement arrived (strict: with the values sent); a
    // pending write's guard is stopped. The record it carries follows as
    // configReceived().
    void writeAcknowledged();
    void writeTimedOut();
    // The node answered DefaultConfig (lastDefaultReply()); when its network
    // settings change the session has been closed.
    void defaultApplied(bool networkChanged);

private:
    enum class Awaiting { Nothing, Config, Acknowledgement, Default };
    void handleMessage(quint32 word, const QByteArray &message);
    bool awaited(quint32 word) const;

    NodeSession *session;
    ConfigOptions opts;
    QTimer ownGuard;
    QTimer *timer;
    QByteArray last, lastDefault, sent;
    Awaiting awaiting = Awaiting::Nothing;
    int others = 0;
    bool pending = false;
};

#endif
