#ifndef TARVO_EMULATOR_H
#define TARVO_EMULATOR_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QVector>
#include <random>

class QTcpServer;
class QTcpSocket;
class QUdpSocket;
class QTimer;

// One emulated node: its identity as discovery reports it, its stored
// configuration, what it has received of a firmware image, and the faults
// it is asked to show.
struct Node {
    QHostAddress address;
    QByteArray identity;      // 512-byte discovery reply
    QByteArray config;        // 1024-byte configuration record it applies
    QByteArray factoryConfig; // what DefaultConfig restores
    QByteArray flash;         // firmware bytes as received, by packet number
    QByteArray pendingVersion; // version announced after the next reset
    QJsonObject faults;
    int messagesReceived = 0;

    QJsonValue fault(const QString &name) const { return faults.value(name); }
    bool hasFault(const QString &name) const { return faults.contains(name); }
};

struct Session {
    QTcpSocket *socket = nullptr;
    int node = -1;
    QByteArray pending; // bytes of a message not yet complete
    bool flooding = false;
};

// How discovery replies leave the emulator as a whole.
struct DiscoveryOptions {
    double bitsPerSecond = 0; // link rate to pace replies to; 0: as fast as the socket takes them
    bool shuffle = false;     // answer in a shuffled node order
    quint32 seed = 1;
};

class Emulator : public QObject
{
    Q_OBJECT

public:
    Emulator(QVector<Node> nodes, QString stateDir, DiscoveryOptions discovery = {}, QObject *parent = nullptr);
    bool start(QString *error);

    QVector<Node> nodes;
    // Listen on each node's own address rather than on every address, so
    // that several emulators share one network (set before start()).
    bool listenEach = false;

    // Sends a reply as the node's faults say: delayed, cut short, split over
    // two segments, coalesced with a copy or another message, or not at all.
    // A delay of -1 takes the node's delay-ms fault.
    void reply(Session &session, const QByteArray &message, int delayMs = -1);
    void closeSession(Session &session);
    // Writes DIR/<address>.<suffix> when a state folder was given.
    void saveState(const Node &node, const QString &suffix, const QByteArray &data) const;
    void event(const QString &line) const; // one line on standard output

private:
    struct Datagram {
        QByteArray data;
        QHostAddress from, to;
        quint16 toPort;
        double slot = 0; // paced: when it may leave, ns after its burst's first send
    };

    // Discovery (discovery.cpp).
    void readDatagrams();
    void answerDiscovery(int index, const QHostAddress &to, quint16 port);
    void enqueue(Datagram datagram);
    void sendPendingDatagrams();
    void sendPaced();
    void endBurst();
    void floodDiscovery(int index, const QHostAddress &to, quint16 port);

    // Node protocol.
    void acceptConnections(QTcpServer *server);
    void readSession(QTcpSocket *socket);
    void handle(Session &session, const QByteArray &message);
    void floodConnection(QTcpSocket *socket);

    QString stateDir;
    DiscoveryOptions discovery;
    QUdpSocket *udp = nullptr;
    QTimer *udpRetry = nullptr;
    QHash<quint32, int> byAddress;
    QHash<QTcpSocket *, Session> sessions;
    QQueue<Datagram> outgoing;

    // Pacing: the wire schedule shared by every node of this process.
    QTimer *pacer = nullptr;    // wakes the sender for a gap too long to spin through
    QTimer *burstEnd = nullptr; // reports a burst once the link has gone idle
    int burstCount = 0;         // datagrams sent in the current burst
    double burstStart = 0;      // its first send, ns on the monotonic clock
    double burstLength = 0;     // wire time of all datagrams given to it
    double burstLast = 0;       // its latest send

    std::mt19937 shuffler;
    QSet<int> discoveryFloods; // nodes flooding a requester now
    quint64 floodSerial = 0;   // running number of flood replies, for distinct serials
};

// Command handlers, each in its own file. They return false for a word
// they do not handle.
bool handleConfigCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message);
bool handleFirmwareCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message);

// Builds a node's records from its description (see main.cpp for the keys).
QByteArray buildIdentity(const QJsonObject &description, const QHostAddress &address);
QByteArray buildConfig(const QByteArray &identity);

// Checks the faults that take numbers or objects; an empty result means
// they can be used as given.
QString faultError(const QJsonObject &faults);

#endif
