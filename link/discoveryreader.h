#ifndef TARVO_DISCOVERYREADER_H
#define TARVO_DISCOVERYREADER_H

#include <QByteArray>
#include <QHostAddress>

#include <deque>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

// Drains UDP sockets on a thread of its own, so that replies are taken off
// the kernel's receive buffers as fast as the wire brings them, whatever the
// thread that judges them is doing. Only this thread reads the descriptors.
// Datagrams wait, in the order the kernel received them, in a bounded queue
// for the owner's thread, which `wake` is called to tell (once until the
// queue has been emptied). Linux only: start() fails elsewhere.
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

    // Reads `socket`, which stays the caller's and must outlive the reader,
    // and `ownSockets`, which the reader closes when it goes. `wake` is
    // called on the reader's thread.
    DiscoveryReader(int socket, std::vector<int> ownSockets, int queueLimit, std::function<void()> wake);
    ~DiscoveryReader(); // stops the thread, waits for it, closes its sockets

    bool start();

    // Moves up to `max` datagrams, oldest first, to the end of `out`.
    // Returns true when more are waiting.
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

    std::vector<int> sockets; // the caller's first, then the reader's own
    const int limit;
    const std::function<void()> wake;
    int stopFd = -1;
    std::thread thread;

    mutable std::mutex lock;
    std::deque<Datagram> queue;
    bool wakePending = false;
    bool isQuiet = true;
    quint64 queueDropped = 0;
};

#endif
