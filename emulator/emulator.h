#ifndef TARVO_EMULATOR_H
#define TARVO_EMULATOR_H

#include "events.h"
#include "faults.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QJsonObject>
#include <QObject>
#include <QQueue>
#include <QSet>
#include <QString>
#include <QVector>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

class QUdpSocket;
class QTimer;
class Worker;

// One emulated node. Its start address, identity and faults are fixed at
// start and read by every thread; the rest belongs to the worker thread that
// serves its connections, except its discovery record and the address it
// answers at, which discovery reads from the main thread and which therefore
// change only under its lock or atomically.
struct Node {
    QHostAddress address; // where it started
    QByteArray ip;        // that address as the event lines show it
    QJsonObject who;      // serial, start address and MAC, for the journal
    Faults faults;
    int worker = 0;
    std::atomic<quint32> at{0}; // where it listens and answers now (move)

    // The worker's own.
    QByteArray config;         // 1024-byte configuration record it applies
    QByteArray factoryConfig;  // what DefaultConfig restores
    QByteArray flash;          // firmware bytes as received, by packet number
    QByteArray pendingVersion; // version of the received image, announced after a reset
    int messagesReceived = 0;
    QHash<qint64, int> refusals; // refuse-packet: times each packet was refused so far

    QByteArray identity() const; // the 512-byte discovery record, as it is now
    void setIdentity(const QByteArray &record);
    template <typename Edit>
    void editIdentity(Edit edit)
    {
        const std::lock_guard<std::mutex> lock(identityLock);
        edit(record);
    }
    // Restarting after a reset (restart-ms): until then, on the monotonic
    // clock in ns, it answers no discovery.
    std::atomic<qint64> restartUntil{0};

private:
    mutable std::mutex identityLock;
    QByteArray record;
};

// How discovery replies leave the emulator as a whole.
struct DiscoveryOptions {
    double bitsPerSecond = 0; // link rate to pace replies to; 0: as fast as the socket takes them
    bool shuffle = false;     // answer in a shuffled node order
    quint32 seed = 1;
};

qint64 monotonicNs();

// Answers discovery on the main thread and leaves the node protocol to
// worker threads, each with the connections of its own nodes.
class Emulator : public QObject
{
    Q_OBJECT

public:
    Emulator(std::deque<Node> &nodes, QString stateDir, DiscoveryOptions discovery = {}, QObject *parent = nullptr);
    ~Emulator() override;
    // Binds discovery, listens on every node's address, then starts the
    // workers (`threads` of them, at most one per node).
    bool start(int threads, QString *error);

    // Writes DIR/<address>.<suffix> when a state folder was given.
    void saveState(const Node &node, const char *suffix, const QByteArray &data) const;
    EventLines &mainEvents() { return lines; }

private:
    struct Datagram {
        QByteArray data;
        QHostAddress from, to;
        quint16 toPort;
        double slot = 0; // paced: when it may leave, ns after its burst's first send
    };

    void readDatagrams();
    int nodeAt(quint32 address, int started) const;
    void answerDiscovery(int index, const QHostAddress &to, quint16 port);
    void enqueue(Datagram datagram);
    void sendPendingDatagrams();
    void sendPaced();
    void endBurst();
    void floodDiscovery(int index, const QHostAddress &to, quint16 port);

    std::deque<Node> &nodes;
    QString stateDir;
    DiscoveryOptions discovery;
    std::vector<std::unique_ptr<Worker>> workers;
    EventLines lines{true};
    QUdpSocket *udp = nullptr;
    QTimer *udpRetry = nullptr;
    QHash<quint32, int> byAddress; // by start address
    bool movers = false;           // a node has the "move" fault
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

// Builds a node's records from its description (see main.cpp for the keys).
QByteArray buildIdentity(const QJsonObject &description, const QHostAddress &address);
QByteArray buildConfig(const QByteArray &identity);
// A node's discovery record follows the configuration it applies: label,
// address, mask and gateway.
void followConfig(QByteArray &identity, const QByteArray &config);

#endif
