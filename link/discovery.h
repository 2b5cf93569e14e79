#ifndef TARVO_DISCOVERY_H
#define TARVO_DISCOVERY_H

#include "link/messages.h"
#include "link/nodeinfo.h"

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QVector>

#include <memory>

class DiscoveryReader;
class QSocketNotifier;
class QUdpSocket;

struct DiscoveryOptions {
    enum class Keep {
        // The first reply of a serial, as the window lists nodes.
        FirstPerSerial,
        // The first reply of each serial, address and MAC address: two
        // nodes reporting one serial are both kept, each marked
        // sharedSerial, even where they answer from one address.
        EachAddress,
    };
    Keep keep = Keep::FirstPerSerial;
};

// Finds the nodes: broadcasts the discovery request on UDP 49999 and keeps
// one NodeInfo per node that answers acceptably, with the address its reply
// came from, in order of arrival; a new search empties the list.
//
// Once bound, a thread of its own drains the port (DiscoveryReader), as the
// replies of a large site arrive faster than the object's own thread may
// judge them, and a stock kernel's receive buffer holds only 1.5 ms of
// them. The datagrams are judged here, on the object's thread, in arrival
// order. When replies of a search were lost, the loss is traced and the
// request is sent once more after the burst.
class Discovery : public QObject
{
    Q_OBJECT

public:
    enum : int {
        // Entries one search keeps at most: a flood of forged replies must
        // not grow the tool without end. Far above any real site.
        MaxEntries = 10000,
        // Datagrams handled before the event loop gets its turn again, so
        // that the window answers a click during a flood of replies.
        SliceDatagrams = 64,
        // Receive buffer asked for: many nodes answer one request at once.
        ReceiveBufferBytes = 8 * 1024 * 1024,
        // Datagrams the reader holds for the object's thread at most; a
        // flood beyond them is dropped and counted as lost.
        QueuedDatagrams = MaxEntries + 1024,
        // Sockets sharing the discovery port. A stock kernel lets each hold
        // about 330 replies, 1.5 ms of a 1 Gbit/s link; eight hold a burst
        // of 2000 nodes whole, so a reader kept waiting for the processor
        // for a scheduler tick or two loses nothing.
        ReceiveSockets = 8,
    };

    explicit Discovery(QObject *parent = nullptr, Wiring wiring = Wiring::Internal, DiscoveryOptions options = {});
    ~Discovery() override;

    // The workstation addresses discovery may use: IPv4, not 127.0.0.1, in
    // the order the interfaces give them.
    static QList<QHostAddress> workstationAddresses();

    // Binds to the workstation's chosen address and the discovery port.
    // One Discovery per address in a network namespace holds the port, in
    // this process or another: a second would take a part of the replies.
    bool bind(const QHostAddress &localAddress);
    // Why the last bind() failed: "another program of this workstation
    // uses it" when the port is held, else the system's reason.
    QString bindError() const { return bindFailure; }
    QUdpSocket *socket() const { return udp; }

    // Forgets every record of the last search.
    void clear();
    // Sends one request to 255.255.255.255:49999; replies are taken until
    // the next search.
    void sendRequest();
    // A new search: the list emptied and a request sent. With a window,
    // searchFinished() follows after windowMs (or at endSearch()); replies
    // are still taken afterwards, until the next search.
    void search(int windowMs = -1);
    void endSearch();

    // Checks the replies that have arrived, one slice at a time (External
    // wiring: call it on the socket's readyRead()). Where the reader thread
    // runs, its wake-ups take the replies instead and this does nothing.
    void readPending();
    // Checks one datagram as the socket delivered it, and keeps it when it
    // is an acceptable reply of a node not yet known. `size` is the
    // datagram's size where `data` holds only its first bytes.
    void takeDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort, qint64 size = -1);

    const QVector<NodeInfo> &nodes() const { return kept; }
    int count() const { return int(kept.size()); }
    // The search kept MaxEntries and refused more.
    bool listFull() const { return fullTraced; }
    // Replies of this search that the kernel or the reader's queue dropped.
    quint64 repliesLost() const;

    // True when a kept node has the reply's serial number (and, keeping
    // each address, also the sender's address and the reply's MAC address).
    bool isKnownDevice(const QByteArray &reply, const QHostAddress &sender = QHostAddress()) const;

signals:
    // A reply was accepted and kept at nodes()[index].
    void nodeFound(int index);
    // The search's window ran out, or endSearch() was called.
    void searchFinished();

private:
    void raiseReceiveBuffer();
    void writeRequest();
    void takeQueued();
    void checkLosses();
    void stopReader();
    bool failBind(const QString &reason);
    void releasePort();

    DiscoveryOptions opts;
    QUdpSocket *udp = nullptr;
    QTimer window;
    std::unique_ptr<DiscoveryReader> reader;
    int portClaim = -1; // held while bound (see bind())
    QString bindFailure;
    QSocketNotifier *wake = nullptr; // the reader's: datagrams wait
    // The reader's loss count when the search began, and whether the
    // search's losses were traced (and the request repeated).
    quint64 lostBefore = 0;
    bool lossTraced = false;
    int bufferGranted = 0;
    QVector<NodeInfo> kept;
    // Indexes of the kept nodes by serial, so that the duplicate check does
    // not walk the list.
    QMultiHash<QByteArray, int> bySerial;
    bool fullTraced = false;
};

#endif
