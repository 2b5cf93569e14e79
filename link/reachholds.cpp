#include "link/reachholds.h"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <ctime>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace reachholds {

namespace {

// "tarvo-reach/<index>/<kind>/<a.b.c.d>/<slot>", without allocating.
struct Name {
    sockaddr_un addr{};
    socklen_t length = 0;
    size_t at = 1; // sun_path[0] stays 0: the abstract namespace

    void text(const char *s)
    {
        while (*s && at < sizeof addr.sun_path)
            addr.sun_path[at++] = *s++;
    }
    void number(unsigned long v)
    {
        char digits[24];
        int n = 0;
        do {
            digits[n++] = static_cast<char>('0' + v % 10);
            v /= 10;
        } while (v && n < 24);
        while (n > 0 && at < sizeof addr.sun_path)
            addr.sun_path[at++] = digits[--n];
    }
};

Name nameOf(Kind kind, int index, quint32 address, int slot)
{
    Name n;
    n.addr.sun_family = AF_UNIX;
    n.text("tarvo-reach/");
    n.number(static_cast<unsigned long>(index));
    n.text(kind == Neighbour ? "/neigh/" : kind == Address ? "/addr/" : "/lock");
    if (kind != Lock) {
        for (int shift = 24; shift >= 0; shift -= 8) {
            n.number((address >> shift) & 0xff);
            if (shift)
                n.text(".");
        }
        if (kind == Address) {
            n.text("/");
            n.number(static_cast<unsigned long>(slot));
        }
    }
    n.length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + n.at);
    return n;
}

void pause(long ms)
{
    timespec t{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

} // namespace

int take(Kind kind, int index, quint32 address, int slot)
{
    const Name n = nameOf(kind, index, address, slot);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&n.addr), n.length) != 0 || ::listen(fd, 4) != 0) {
        const int saved = errno;
        ::close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

bool isHeld(Kind kind, int index, quint32 address, int slot)
{
    const int fd = take(kind, index, address, slot);
    if (fd >= 0) {
        ::close(fd);
        return false;
    }
    return errno == EADDRINUSE;
}

pid_t holder(Kind kind, int index, quint32 address, int slot)
{
    const Name n = nameOf(kind, index, address, slot);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 0;
    pid_t pid = 0;
    // The listener's credentials, as of its listen().
    ucred cred{};
    socklen_t length = sizeof cred;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&n.addr), n.length) == 0
        && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) == 0)
        pid = cred.pid;
    ::close(fd);
    return pid;
}

void drop(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

bool othersHold(int index, quint32 address, int except)
{
    for (int s = 0; s < AddressSlots; ++s)
        if (s != except && isHeld(Address, index, address, s))
            return true;
    return false;
}

namespace {
// The interface whose lock this process holds (0: none), so that a signal
// handler that interrupted the holder does not wait for itself.
std::atomic<int> lockedIndex{0};
} // namespace

int lock(int index, int waitMs)
{
    for (int waited = 0;; waited += 5) {
        const int fd = take(Lock, index, 0);
        if (fd >= 0) {
            lockedIndex.store(index);
            return fd;
        }
        if (errno != EADDRINUSE || waited >= waitMs)
            return -1;
        pause(5);
    }
}

void unlock(int fd)
{
    if (fd >= 0) {
        lockedIndex.store(0);
        ::close(fd);
    }
}

namespace {

enum State { Free, Filling, Armed, Undoing };

struct Entry {
    std::atomic<int> state{Free};
    Kind kind = Neighbour;
    int index = 0;
    quint32 address = 0;
    int ownSlot = -1;
    rtnl::Message undo;
};

constexpr int Entries = 256;
Entry table[Entries];

} // namespace

int arm(const rtnl::Message &undo, Kind kind, int index, quint32 address, int ownSlot)
{
    for (int i = 0; i < Entries; ++i) {
        int expected = Free;
        if (!table[i].state.compare_exchange_strong(expected, Filling))
            continue;
        table[i].kind = kind;
        table[i].index = index;
        table[i].address = address;
        table[i].ownSlot = ownSlot;
        table[i].undo = undo;
        table[i].state.store(Armed, std::memory_order_release);
        return i;
    }
    return -1;
}

bool claim(int entry)
{
    if (entry < 0 || entry >= Entries)
        return false;
    int expected = Armed;
    return table[entry].state.compare_exchange_strong(expected, Undoing);
}

const rtnl::Message &undoOf(int entry)
{
    static const rtnl::Message none{};
    return entry >= 0 && entry < Entries ? table[entry].undo : none;
}

void release(int entry)
{
    if (entry >= 0 && entry < Entries)
        table[entry].state.store(Free, std::memory_order_release);
}

void undoAll()
{
    const int saved = errno;
    int nl = -1;
    for (Entry &e : table) {
        int expected = Armed;
        if (!e.state.compare_exchange_strong(expected, Undoing, std::memory_order_acquire))
            continue;
        int locked = -1;
        if (e.kind == Address) {
            // Another tarvo process may be joining this address; give it a
            // moment to finish, and leave the address to it (or to the next
            // start's clean-up) rather than guess.
            if (lockedIndex.load() != e.index) {
                for (int i = 0; i < 20 && locked < 0; ++i) {
                    locked = take(Lock, e.index, 0);
                    if (locked < 0)
                        pause(10);
                }
                if (locked < 0) {
                    e.state.store(Armed);
                    continue;
                }
            }
            if (othersHold(e.index, e.address, e.ownSlot)) {
                drop(locked);
                e.state.store(Armed);
                continue;
            }
        }
        if (nl < 0)
            nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
        if (nl >= 0) {
            // rtnetlink handles a request within the send: it is done (or
            // refused) when sendto returns.
            sockaddr_nl kernel{};
            kernel.nl_family = AF_NETLINK;
            (void)::sendto(nl, e.undo.bytes, e.undo.length, 0, reinterpret_cast<sockaddr *>(&kernel), sizeof kernel);
        }
        drop(locked);
    }
    if (nl >= 0)
        ::close(nl);
    errno = saved;
}

} // namespace reachholds
