#ifndef TARVO_CONFIGEXCHANGE_H
#define TARVO_CONFIGEXCHANGE_H

#include <QByteArray>
#include <QObject>
#include <QTimer>

class NodeSession;

struct ConfigOptions {
    // How long a node has to acknowledge a SetConfig.
    int writeTimeoutMs = 3000;
};

// The configuration exchange on one node session, as the window runs it:
// reading the record (GetConfig), writing one (SetConfig, acknowledged
// within writeTimeoutMs) and restoring the factory configuration
// (DefaultConfig). A reply is taken whenever it comes. When a record the
// node is about to apply carries other network settings, the session is
// closed: the node will answer at its new address.
class ConfigExchange : public QObject
{
    Q_OBJECT

public:
    enum class Sent { AwaitingAcknowledgement, NetworkChanged };

    // Attaches to the session, as its child. The write's guard is the
    // exchange's own timer, or `sharedGuard`, which a front end shares
    // among its exchanges: it then connects the timer's timeout() itself and
    // calls handleWriteTimeout() when no upgrade holds the timer.
    explicit ConfigExchange(NodeSession *session, ConfigOptions options = {}, QTimer *sharedGuard = nullptr);

    // The last GetConfig reply or SetConfig acknowledgement, as read.
    const QByteArray &lastConfigMessage() const { return last; }
    bool writePending() const { return pending; }
    const QTimer &guard() const { return *timer; }

    void requestConfig();
    // Sends a SetConfig record that passed the checks (configvalues.h).
    Sent sendConfig(const QByteArray &record);
    void requestDefault();

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
    // A SetConfig acknowledgement arrived; a pending write's guard is
    // stopped. The record it carries follows as configReceived().
    void writeAcknowledged();
    void writeTimedOut();
    // The node answered DefaultConfig; when its network settings change
    // the session has been closed.
    void defaultApplied(bool networkChanged);

private:
    void handleMessage(quint32 word, const QByteArray &message);

    NodeSession *session;
    ConfigOptions opts;
    QTimer ownGuard;
    QTimer *timer;
    QByteArray last;
    bool pending = false;
};

#endif
