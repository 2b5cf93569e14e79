#ifndef TARVO_DISCOVERY_H
#define TARVO_DISCOVERY_H

#include "link/messages.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QVector>

#include <memory>

class DiscoveryReader;
class QSocketNotifier;
class QUdpSocket;

// Finds the nodes: broadcasts the discovery request on UDP 49999 and keeps
// one record per node that answers acceptably, with the address its reply
// came from. Records and addresses are parallel lists in order of arrival;
// a new search empties them.
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

    explicit Discovery(QObject *parent = nullptr, Wiring wiring = Wiring::Internal);
    ~Discovery() override;

    // The workstation addresses discovery may use: IPv4, not 127.0.0.1, in
    // the order the interfaces give them.
    static QList<QHostAddress> workstationAddresses();

    // Binds to the workstation's chosen address and the discovery port.
    bool bind(const QHostAddress &localAddress);
    QUdpSocket *socket() const { return udp; }

    // Forgets every record of the last search.
    void clear();
    // Sends one request to 255.255.255.255:49999; replies are taken until
    // the next search.
    void sendRequest();
    void search()
    {
        clear();
        sendRequest();
    }

    // Checks the replies that have arrived, one slice at a time (External
    // wiring: call it on the socket's readyRead(); the reader's wake-ups
    // call it as well).
    void readPending();
    // Checks one datagram as the socket delivered it, and keeps it when it
    // is an acceptable reply of a node not yet known. `size` is the
    // datagram's size where `data` holds only its first bytes.
    void takeDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort, qint64 size = -1);

    const QVector<QByteArray> &records() const { return kept; }
    QVector<QByteArray> &records() { return kept; }
    const QVector<QHostAddress> &addresses() const { return senders; }
    QVector<QHostAddress> &addresses() { return senders; }
    int count() const { return int(kept.size()); }

    // True when a kept record has the reply's serial number.
    bool isKnownDevice(const QByteArray &reply) const;

signals:
    // A reply was accepted and kept at `index`.
    void nodeFound(int index);

private:
    void raiseReceiveBuffer();
    void writeRequest();
    void takeQueued();
    void checkLosses();
    void stopReader();

    QUdpSocket *udp = nullptr;
    std::unique_ptr<DiscoveryReader> reader;
    QSocketNotifier *wake = nullptr; // the reader's: datagrams wait
    // The reader's loss count when the search began, and whether the
    // search's losses were traced (and the request repeated).
    quint64 lostBefore = 0;
    bool lossTraced = false;
    QVector<QByteArray> kept;
    QVector<QHostAddress> senders;
    // Serial numbers of the kept records, so that the duplicate check does
    // not walk the list. Rebuilt if the records were changed from outside.
    mutable QSet<QByteArray> serials;
    bool fullTraced = false;
};

#endif
