#ifndef TARVO_DISCOVERYREADER_H
#define TARVO_DISCOVERYREADER_H

#include <QByteArray>
#include <QHostAddress>

#include <deque>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Drains UDP sockets on a thread of its own, so that replies are taken off
// the kernel's receive buffers as fast as the wire brings them, whatever the
// thread that judges them is doing. Only this thread reads the descriptors.
// Datagrams wait, in the order the kernel received them, in a bounded queue
// for the owner's thread. While any wait, wakeFd() is readable, as a socket
// is while datagrams wait, so that the owner's event loop turns between
// its slices as it did when it read the socket itself. Linux only: start()
// fails elsewhere.
class DiscoveryReader
{
public:
    struct Datagram {
        QByteArray head; // the datagram's first bytes, at most HeadBytes
        QHostAddress sender;
        quint16 senderPort = 0;
        qint64 size = 0;       // the whole datagram's size
        qint64 receivedNs = 0; // when the kernel received it
    };

    enum : int {
        // Bytes kept of each datagram: a reply's record, nothing a sender
        // adds behind it.
        HeadBytes = 512,
        // Datagrams taken from one socket in one call.
        Batch = 64,
        // The sockets count as quiet after this long without a datagram.
        QuietMs = 50,
    };
    // A datagram's receive time is taken a moment before it is queued to
    // its socket: a round hands over only those older than its start by
    // this much.
    static constexpr qint64 StampMarginNs = 200000;

    // Reads `socket`, which stays the caller's and must outlive the reader,
    // and `ownSockets`, which the reader closes when it goes.
    DiscoveryReader(int socket, std::vector<int> ownSockets, int queueLimit);
    ~DiscoveryReader(); // stops the thread, waits for it, closes its sockets

    bool start();
    // Readable while datagrams wait, or once when the sockets went quiet.
    int wakeFd() const { return wakeupFd; }

    // Moves up to `max` datagrams, oldest first, to the end of `out`.
    // Returns true when more are waiting.
    // Returns true when more are waiting; once none wait, wakeFd() is
    // reset.
    bool take(std::vector<Datagram> &out, int max);
    // Nothing has arrived for QuietMs and nothing waits.
    bool quiet() const;
    // Datagrams lost since the sockets were made: those the kernel dropped
    // for a full receive buffer, and those the full queue had to drop.
    quint64 lost() const;

private:
    void run();
    void push(std::vector<Datagram> &batch);
    void signalQuiet();
    void setWake(bool on); // with the lock held

    std::vector<int> sockets; // the caller's first, then the reader's own
    const int limit;
    int stopFd = -1;
    int wakeupFd = -1;
    std::thread thread;

    mutable std::mutex lock;
    std::deque<Datagram> queue;
    bool wakePending = false;
    bool isQuiet = true;
    quint64 queueDropped = 0;
};

#endif
