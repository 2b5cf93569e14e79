#ifndef TARVO_CONFIGEXCHANGE_H
#define TARVO_CONFIGEXCHANGE_H

#include <QByteArray>
#include <QObject>

class NodeSession;

// The configuration exchange on one node session: reading the record
// (GetConfig), writing one (SetConfig, acknowledged within WriteTimeoutMs on
// the session's guard timer) and restoring the factory configuration
// (DefaultConfig). When a record the node is about to apply carries other
// network settings, the session is closed: the node will answer at its new
// address.
class ConfigExchange : public QObject
{
    Q_OBJECT

public:
    enum : int { WriteTimeoutMs = 3000 };
    enum class Sent { AwaitingAcknowledgement, NetworkChanged };

    // Attaches to the session, as its child.
    explicit ConfigExchange(NodeSession *session);

    // The last GetConfig reply or SetConfig acknowledgement, as read.
    const QByteArray &lastConfigMessage() const { return last; }
    QByteArray &lastConfigMessage() { return last; }

    void requestConfig();
    // Sends a SetConfig record that passed the checks (configvalues.h).
    Sent sendConfig(const QByteArray &record);
    void requestDefault();

    // True when the record's address, mask or gateway differ from those of
    // lastConfigMessage, or when either is too short to tell.
    bool netInfoChanged(const QByteArray &record);

    // Reply handling, reached through the session's dispatch.
    void acceptConfig(const QByteArray &message);
    void handleDefaultReply(const QByteArray &message);

signals:
    // A configuration record was stored as lastConfigMessage.
    void configReceived(const QByteArray &record);
    // A SetConfig acknowledgement arrived: the guard timer is stopped. The
    // record it carries follows as configReceived().
    void writeAcknowledged();
    void writeTimedOut();
    // The node answered DefaultConfig; when its network settings change
    // the session has been closed.
    void defaultApplied(bool networkChanged);

private:
    void handleMessage(quint32 word, const QByteArray &message);

    NodeSession *session;
    QByteArray last;
};

#endif
