#ifndef TARVO_REACH_H
#define TARVO_REACH_H

#include <QByteArray>
#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

namespace rtnl {
class Socket;
struct Message;
}

// Discovery hears every node on the wire; TCP reaches only a node whose
// address is the workstation's neighbour's alone and inside its network.
// Reach changes the workstation's interface, for the length of an
// operation, so that the others are reached too:
//
// - Two nodes share an address: pin() makes the neighbour entry for the
//   address permanent with the node's MAC, so that connections go to that
//   node whichever answered ARP last; unpin() puts back what was there (no
//   entry, or someone else's permanent one).
// - A node outside the network: temporaryAddressFor() adds an address in
//   the node's network that nobody holds (checked by ARP), marked as this
//   tool's, and the kernel routes the node through it; releaseAddress()
//   removes it. One address serves every operation (and every tarvo
//   process) on that network, counted.
//
// Everything is undone by the matching call, by releaseAll(), by the
// destructor, by undoFromSignalHandler() (async-signal-safe), and after a
// crash by the next run's removeLeftovers(). Nothing else on the interface
// is touched: changes need CAP_NET_ADMIN in its network namespace (and
// CAP_NET_RAW for the ARP check); without it a call changes nothing and its
// result carries the `ip` commands a person would run instead.
//
// Between tarvo processes in one network namespace: an address is pinned
// by one process at a time (another gets a refusal naming its pid); a
// temporary address is shared and removed by the last process that uses
// it; removeLeftovers() removes only what no living process holds. Each
// process holds what it uses through abstract Unix sockets, which the
// kernel closes however the process ends. Use one Reach per interface in a
// process, from one thread.
struct ReachInterface {
    int index = 0;
    QString name;         // "eth1"
    QByteArray mac;       // six bytes
    QHostAddress address; // the workstation's address on it
    int prefixLength = 0;
};

struct ReachResult {
    bool ok = false;
    QString reason; // why not, in words; for removeLeftovers also what it did
    // The process lacks the right to change the interface; nothing changed.
    bool needsPrivilege = false;
    // What a person with that right would run instead (with needsPrivilege,
    // or for what removeLeftovers had to leave), and afterwards to undo it.
    QStringList commands;
    QStringList undoCommands;
    explicit operator bool() const { return ok; }
};

struct TemporaryAddress {
    QHostAddress address; // the source to connect from (bind the socket to it)
    int prefixLength = 0;
    // Held for the caller: releaseAddress(address) when done. False when the
    // interface reaches the node already and nothing was added.
    bool held = false;
};

struct ReachOptions {
    int probeWindowMs = 500; // the duplicate-address check's wait for answers
    int probes = 3;          // ARP probes per candidate address
    int candidates = 8;      // addresses checked at once, from the top of the network down
    int lockWaitMs = 3000;   // for another tarvo process's change of the same interface
};

class Reach
{
public:
    using Options = ReachOptions;

    // Finds the interface that holds `workstation` (an IPv4 address).
    explicit Reach(const QHostAddress &workstation, ReachOptions options = ReachOptions());
    ~Reach(); // releaseAll()
    Reach(const Reach &) = delete;
    Reach &operator=(const Reach &) = delete;

    bool isValid() const { return iface.index > 0; }
    QString error() const { return failure; }
    const ReachInterface &interface() const { return iface; }

    // Whether this process may change the interface; reason says why not.
    ReachResult canChange() const;

    // Pins `address` (in the interface's network) to `mac` (six bytes).
    // Pinning it again to the same MAC counts; to another is refused until
    // every pin is undone.
    ReachResult pin(const QHostAddress &address, const QByteArray &mac);
    ReachResult unpin(const QHostAddress &address);

    // An address to reach `node` from, in its network (`mask` as the node
    // reports it, host order); `taken`: addresses discovery heard, which
    // are never chosen.
    ReachResult temporaryAddressFor(const QHostAddress &node, quint32 mask, const QList<QHostAddress> &taken,
                                    TemporaryAddress *out);
    ReachResult releaseAddress(const QHostAddress &address);

    // Undoes everything this object holds; the reason lists what could not be.
    ReachResult releaseAll();
    // Removes the marked entries and addresses on this interface that no
    // living process holds (a killed run's); `removed` lists them.
    ReachResult removeLeftovers(QStringList *removed = nullptr);

    // What a person would run to pin, or to add the address (no check for a
    // duplicate is made: the address is the first one free of `taken` and
    // the workstation's own).
    ReachResult manualPin(const QHostAddress &address, const QByteArray &mac) const;
    ReachResult manualAddress(const QHostAddress &node, quint32 mask, const QList<QHostAddress> &taken) const;

    // Undoes what every Reach in the process holds, with system calls only:
    // for a SIGINT or SIGTERM handler that ends the process next. Objects
    // still alive afterwards know their changes are gone.
    static void undoFromSignalHandler();

    // Why a node at `node` with `mask` names no network an address could be
    // added in (empty when it does); *prefix is the mask's length.
    static QString networkProblem(const QHostAddress &node, quint32 mask, int *prefix);
    // The length of a contiguous mask (255.255.255.0 is 24), or -1.
    static int prefixLength(quint32 mask);

    // The label of a temporary address on `interfaceName` ("eth1:tv"), or
    // empty when the name leaves no room for one (labels fit 15 bytes).
    static QString labelFor(const QString &interfaceName);

private:
    struct Pin {
        QByteArray mac;
        int count = 0;
        int undo = -1; // slot in the process's undo table; -1: nothing to undo
        int lease = -1;
    };
    struct Held {
        int prefixLength = 0;
        int count = 0;
        int undo = -1;
        int lease = -1;
        int slot = -1;
    };
    ReachResult refusedWithoutRight(ReachResult manual) const;
    // With the interface's lock held.
    ReachResult addressLocked(quint32 node, int prefix, const QList<QHostAddress> &taken, TemporaryAddress *out);
    void removeUnheldAddresses(QStringList *removed, QStringList *left);
    bool removeAddress(quint32 address, int prefix, const rtnl::Message &remove, QString *why);
    bool releaseHeld(quint32 address, Held &h, QString *why);

    Options opts;
    ReachInterface iface;
    QString failure;
    std::unique_ptr<rtnl::Socket> nl;
    QHash<quint32, Pin> pins;
    QHash<quint32, Held> addresses;
};

#endif
