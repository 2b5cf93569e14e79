#include "link/discoveryreader.h"

#include <algorithm>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <cstring>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#endif

DiscoveryReader::DiscoveryReader(int socket, std::vector<int> ownSockets, int queueLimit) : limit(queueLimit)
{
    sockets.push_back(socket);
    sockets.insert(sockets.end(), ownSockets.begin(), ownSockets.end());
}

DiscoveryReader::~DiscoveryReader()
{
#ifdef Q_OS_LINUX
    if (thread.joinable()) {
        const quint64 one = 1;
        while (::write(stopFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
        thread.join();
    }
    if (stopFd >= 0)
        ::close(stopFd);
    if (wakeupFd >= 0)
        ::close(wakeupFd);
    for (size_t i = 1; i < sockets.size(); ++i)
        ::close(sockets[i]);
#endif
}

bool DiscoveryReader::start()
{
#ifdef Q_OS_LINUX
    if (sockets.front() < 0 || thread.joinable())
        return false;
    // The kernel's own receive time orders the datagrams of several sockets.
    const int on = 1;
    for (const int fd : sockets)
        ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    wakeupFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopFd < 0 || wakeupFd < 0)
        return false;
    try {
        thread = std::thread(&DiscoveryReader::run, this);
    } catch (const std::system_error &) {
        return false;
    }
    return true;
#else
    return false;
#endif
}

bool DiscoveryReader::take(std::vector<Datagram> &out, int max)
{
    const std::lock_guard<std::mutex> hold(lock);
    for (; max > 0 && !queue.empty(); --max) {
        out.push_back(std::move(queue.front()));
        queue.pop_front();
    }
    setWake(!queue.empty());
    return !queue.empty();
}

void DiscoveryReader::setWake(bool on)
{
#ifdef Q_OS_LINUX
    if (on == wakePending)
        return;
    wakePending = on;
    quint64 value = 1;
    if (on)
        while (::write(wakeupFd, &value, sizeof value) < 0 && errno == EINTR) {
        }
    else
        while (::read(wakeupFd, &value, sizeof value) < 0 && errno == EINTR) {
        }
#else
    wakePending = on;
#endif
}

bool DiscoveryReader::quiet() const
{
    const std::lock_guard<std::mutex> hold(lock);
    return isQuiet && queue.empty();
}

quint64 DiscoveryReader::lost() const
{
    quint64 kernel = 0;
#ifdef Q_OS_LINUX
    // Each socket's own drop count (what SO_RXQ_OVFL would report with its
    // next datagram), read at once rather than waiting for one.
    for (const int fd : sockets) {
        quint32 info[SK_MEMINFO_VARS] = {};
        socklen_t size = sizeof info;
        if (::getsockopt(fd, SOL_SOCKET, SO_MEMINFO, info, &size) == 0 && size > SK_MEMINFO_DROPS * sizeof(quint32))
            kernel += info[SK_MEMINFO_DROPS];
    }
#endif
    const std::lock_guard<std::mutex> hold(lock);
    return kernel + queueDropped;
}

void DiscoveryReader::push(std::vector<Datagram> &batch)
{
    const std::lock_guard<std::mutex> hold(lock);
    for (Datagram &d : batch) {
        if (int(queue.size()) >= limit)
            ++queueDropped;
        else
            queue.push_back(std::move(d));
    }
    batch.clear();
    isQuiet = false;
    setWake(true);
}

void DiscoveryReader::signalQuiet()
{
    const std::lock_guard<std::mutex> hold(lock);
    isQuiet = true;
    setWake(true);
}

void DiscoveryReader::run()
{
#ifdef Q_OS_LINUX
    constexpr size_t control = CMSG_SPACE(sizeof(timespec));
    std::vector<char> buffers(size_t(Batch) * HeadBytes);
    std::vector<char> controls(size_t(Batch) * control);
    std::vector<sockaddr_storage> names(Batch);
    std::vector<iovec> parts(Batch);
    std::vector<mmsghdr> messages(Batch);
    std::vector<Datagram> batch;  // read, not yet handed over
    std::vector<Datagram> handOver;
    std::vector<qint64> newest(sockets.size()); // the newest datagram read from each socket this round
    std::vector<bool> full(sockets.size());     // the socket may hold more
    std::vector<pollfd> fds;
    for (const int fd : sockets)
        fds.push_back({fd, POLLIN, 0});
    fds.push_back({stopFd, POLLIN, 0});
    bool active = false;

    for (;;) {
        // Datagrams held back are handed over by the next round, which
        // begins once they are old enough.
        const int timeout = !batch.empty() ? 1 : active ? int(QuietMs) : -1;
        const int ready = ::poll(fds.data(), nfds_t(fds.size()), timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || fds.back().revents ||
            std::any_of(fds.begin(), fds.end(), [](const pollfd &p) { return p.revents & POLLNVAL; }))
            return;
        if (ready == 0 && batch.empty()) {
            active = false;
            signalQuiet();
            continue;
        }
        active = true;
        // Every socket is drained, a batch at a time from each, and the
        // datagrams are handed over in the order the kernel received them,
        // merged across the sockets. Only those received before the round
        // began are handed over: one that came during the round may be
        // younger than another that arrived meanwhile in a socket already
        // read (the reader may lose the processor between two sockets).
        // Likewise only up to the newest datagram of a socket that may hold
        // more, since an older one may still wait in it. The rest waits for
        // the next round.
        for (bool more = true; more;) {
            more = false;
            timespec now{};
            ::clock_gettime(CLOCK_REALTIME, &now);
            const qint64 roundStart = qint64(now.tv_sec) * 1000000000 + now.tv_nsec - StampMarginNs;
            for (size_t s = 0; s < sockets.size(); ++s) {
                const int fd = sockets[s];
                full[s] = false;
                for (size_t i = 0; i < size_t(Batch); ++i) {
                    parts[i] = {buffers.data() + i * HeadBytes, size_t(HeadBytes)};
                    messages[i] = {};
                    msghdr &h = messages[i].msg_hdr;
                    h.msg_name = &names[i];
                    h.msg_namelen = sizeof names[i];
                    h.msg_iov = &parts[i];
                    h.msg_iovlen = 1;
                    h.msg_control = controls.data() + i * control;
                    h.msg_controllen = control;
                }
                // MSG_TRUNC: the length reported is the datagram's own, even
                // where only its head fits.
                const int n = ::recvmmsg(fd, messages.data(), Batch, MSG_DONTWAIT | MSG_TRUNC, nullptr);
                if (n < 0) {
                    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                        // A pending socket error would make poll() return at
                        // once for ever: reading it clears it.
                        int error = 0;
                        socklen_t size = sizeof error;
                        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size);
                    }
                    continue;
                }
                full[s] = n == Batch;
                more = more || full[s];
                for (size_t i = 0; i < size_t(n); ++i) {
                    msghdr &h = messages[i].msg_hdr;
                    const auto *name = reinterpret_cast<const sockaddr *>(h.msg_name);
                    Datagram d;
                    d.size = messages[i].msg_len;
                    d.head = QByteArray(buffers.data() + i * HeadBytes, int(qMin<qint64>(d.size, HeadBytes)));
                    d.sender = QHostAddress(name);
                    if (name->sa_family == AF_INET)
                        d.senderPort = ntohs(reinterpret_cast<const sockaddr_in *>(name)->sin_port);
                    else if (name->sa_family == AF_INET6)
                        d.senderPort = ntohs(reinterpret_cast<const sockaddr_in6 *>(name)->sin6_port);
                    for (cmsghdr *c = CMSG_FIRSTHDR(&h); c; c = CMSG_NXTHDR(&h, c)) {
                        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                            timespec t;
                            std::memcpy(&t, CMSG_DATA(c), sizeof t);
                            d.receivedNs = qint64(t.tv_sec) * 1000000000 + t.tv_nsec;
                        }
                    }
                    newest[s] = d.receivedNs;
                    batch.push_back(std::move(d));
                }
            }
            qint64 upTo = roundStart - 1;
            for (size_t s = 0; s < sockets.size(); ++s)
                if (full[s])
                    upTo = std::min(upTo, newest[s]);
            std::stable_sort(batch.begin(), batch.end(),
                             [](const Datagram &a, const Datagram &b) { return a.receivedNs < b.receivedNs; });
            const auto cut = std::upper_bound(batch.begin(), batch.end(), upTo,
                                              [](qint64 t, const Datagram &d) { return t < d.receivedNs; });
            handOver.assign(std::make_move_iterator(batch.begin()), std::make_move_iterator(cut));
            batch.erase(batch.begin(), cut);
            if (!handOver.empty())
                push(handOver);
        }
    }
#endif
}
