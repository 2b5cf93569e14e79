#include "worker.h"
#include "nodewire.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <unistd.h>

using namespace nodewire;

namespace {

constexpr quint64 TimerToken = ~quint64(0);
constexpr qint64 FloodQueued = 1024 * 1024; // most flood bytes held back at a time
constexpr int FloodMessages = 64;           // per write
constexpr int LingerMs = 5000;              // after our FIN, how long the peer may take to close

} // namespace

Worker::Worker(Emulator &e, int i) : emulator(e), index(i)
{
    ep = epoll_create1(EPOLL_CLOEXEC);
    timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = TimerToken;
    epoll_ctl(ep, EPOLL_CTL_ADD, timerFd, &ev);
    for (int m = 0; m < FloodMessages; ++m)
        flood += message(99);
}

Worker::~Worker()
{
    if (thread.joinable())
        thread.detach(); // the process ends with it
}

bool Worker::listen(Node &node, QString *error)
{
    listeners.push_back({&node});
    return openListener(listeners.back(), error);
}

// A listening socket at the address, or -1 with the reason.
int Worker::listenAt(quint32 address, QString *error)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(NodePort);
    at.sin_addr.s_addr = htonl(address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr *>(&at), sizeof at) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        *error = QStringLiteral("cannot listen on TCP %1 at %2: %3")
                     .arg(NodePort)
                     .arg(QHostAddress(address).toString(), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    return fd;
}

bool Worker::openListener(Listener &l, QString *error)
{
    const int fd = listenAt(l.node->at, error);
    if (fd < 0)
        return false;
    l.fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = quint64(&l - listeners.data());
    epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
    return true;
}

void Worker::start()
{
    thread = std::thread([this] { loop(); });
}

void Worker::after(int ms, std::function<void()> run)
{
    timers.push({monotonicNs() + qint64(ms) * 1000000, ++timerOrder, std::move(run)});
}

Session *Worker::find(quint64 id)
{
    const auto it = sessions.find(id);
    return it == sessions.end() || it->second->dead ? nullptr : it->second.get();
}

void Worker::loop()
{
    epoll_event ready[256];
    for (;;) {
        const int n = epoll_wait(ep, ready, 256, -1);
        for (int i = 0; i < n; ++i) {
            const quint64 token = ready[i].data.u64;
            if (token == TimerToken) {
                quint64 expired;
                while (::read(timerFd, &expired, sizeof expired) > 0) {
                }
                armed = -1;
            } else if (token < listeners.size()) {
                accept(listeners[token]);
            } else if (Session *s = find(token)) {
                if (ready[i].events & EPOLLOUT)
                    push(*s);
                if (!s->dead && (ready[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)))
                    readable(*s);
            }
        }
        const qint64 now = monotonicNs();
        while (!timers.empty() && timers.top().due <= now) {
            const std::function<void()> run = std::move(const_cast<Timer &>(timers.top()).run);
            timers.pop();
            run();
        }
        endTurn();
    }
}

// The turn's event lines first, then its replies; then the timer is set
// for the earliest one still to come.
void Worker::endTurn()
{
    record.flush();
    lines.flush();
    for (const quint64 id : dirty)
        if (Session *s = find(id))
            push(*s);
    dirty.clear();
    for (const quint64 id : reaped)
        sessions.erase(id);
    reaped.clear();
    const qint64 next = timers.empty() ? -1 : timers.top().due;
    if (next != armed && next >= 0) {
        itimerspec when{};
        when.it_value.tv_sec = time_t(next / 1000000000);
        when.it_value.tv_nsec = long(next % 1000000000);
        timerfd_settime(timerFd, TFD_TIMER_ABSTIME, &when, nullptr);
        armed = next;
    }
}

void Worker::accept(Listener &l)
{
    for (;;) {
        const int fd = ::accept4(l.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE) {
                // Out of descriptors: give the others a while to close
                // rather than spin on a listener that stays readable.
                epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
                after(100, [this, &l] {
                    epoll_event ev{};
                    ev.events = EPOLLIN;
                    ev.data.u64 = quint64(&l - listeners.data());
                    if (l.fd >= 0)
                        epoll_ctl(ep, EPOLL_CTL_ADD, l.fd, &ev);
                });
            }
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto s = std::make_unique<Session>();
        s->id = nextSession++;
        s->fd = fd;
        s->node = l.node;
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u64 = s->id;
        epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
        const quint64 id = s->id;
        sessions.emplace(id, std::move(s));
        lines.add(events::Connected, l.node->ip);
        // Messages a node sends unasked, for the tool's handling of words
        // it does not know.
        int gap = 0;
        for (const quint32 word : l.node->faults.sendOnConnect)
            after(gap += 30, [this, id, word] {
                if (Session *s = find(id))
                    write(*s, message(word));
            });
    }
}

void Worker::readable(Session &s)
{
    const ssize_t n = ::recv(s.fd, input, sizeof input, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (n <= 0) {
        gone(s, n < 0 && errno == ECONNRESET);
        return;
    }
    // Requests are taken in units of 1024 bytes, however they arrive. What
    // comes once the node has closed the connection, in the same read or
    // later (read only to let the peer close too), is dropped.
    qsizetype at = 0;
    if (s.have > 0) {
        const int rest = int(qMin<qsizetype>(MessageSize - s.have, n));
        std::memcpy(s.partial + s.have, input, size_t(rest));
        s.have += rest;
        at = rest;
        if (s.have < MessageSize)
            return;
        s.have = 0;
        take(s, QByteArray::fromRawData(s.partial, MessageSize));
    }
    for (; n - at >= MessageSize; at += MessageSize)
        take(s, QByteArray::fromRawData(input + at, MessageSize));
    if (!s.dead && at < n) {
        std::memcpy(s.partial, input + at, size_t(n - at));
        s.have = int(n - at);
    }
}

void Worker::take(Session &s, const QByteArray &m)
{
    if (s.dead || s.closing)
        ignored(*s.node, u32(m, 0), "after its close");
    else
        handle(s, m);
}

void Worker::handle(Session &s, const QByteArray &m)
{
    Node &node = *s.node;
    const quint32 word = u32(m, 0);
    ++node.messagesReceived;
    lines.add(events::Rx, node.ip, word);
    if (s.muted) {
        ignored(node, word, "reset-reply");
        return;
    }
    if (node.faults.closeAfter > 0 && node.messagesReceived >= node.faults.closeAfter) {
        ignored(node, word, "close-after");
        closeNow(s);
        return;
    }
    if (handleConfigCommand(*this, s, node, m) || handleFirmwareCommand(*this, s, node, m))
        return;
    ignored(node, word, "unknown word");
    lines.add(events::Unhandled, node.ip, word);
}

void Worker::ignored(const Node &node, quint32 word, const char *why)
{
    record.add(node, "ignored", {{"word", qint64(word)}, {"why", QLatin1String(why)}});
}

void Worker::unanswered(const Node &node, quint32 word, const char *why)
{
    record.add(node, "unanswered", {{"word", qint64(word)}, {"why", QLatin1String(why)}});
}

void Worker::reply(Session &s, const QByteArray &m, int delayMs)
{
    const Faults &f = s.node->faults;
    const quint32 word = u32(m, 0);
    if (f.silent || s.muted || s.closing || f.noReply.contains(word)) {
        unanswered(*s.node, word, f.silent ? "silent" : s.muted ? "reset-reply" : s.closing ? "closing" : "no-reply");
        return;
    }
    QByteArray one = m;
    if (f.shortReplies >= 0)
        one.truncate(f.shortReplies);
    QByteArray out = one;
    if (f.duplicate)
        out += one;
    if (f.hasAppend)
        out += message(f.append);
    if (delayMs < 0)
        delayMs = f.delayByWord.value(word, f.delayMs);
    // Where the reply is cut in two segments, if at all.
    const int splitAt = f.splitAt > 0 ? f.splitAt : f.split ? int(out.size()) / 3 : 0;
    const bool floods = f.hasFloodAfter && f.floodAfterWord == word;
    const bool closes = f.closeAfterReply.contains(word);

    const quint64 id = s.id;
    const auto written = [this, id, floods, closes] {
        Session *s = find(id);
        if (!s)
            return;
        if (floods && !s->flooding) {
            s->flooding = true;
            s->floodTotal = s->node->faults.floodAfterBytes;
            dirty.push_back(id);
        }
        if (closes) {
            lines.add(events::Closing, s->node->ip);
            s->closing = true; // FIN once what was written has gone
            dirty.push_back(id);
        }
    };
    const auto send = [this, id, out, splitAt, written, pause = f.splitPauseMs, node = s.node, word] {
        Session *s = find(id);
        if (!s) {
            unanswered(*node, word, "connection closed before its delay ended");
            return;
        }
        if (splitAt <= 0 || splitAt >= out.size()) {
            write(*s, out);
            written();
            return;
        }
        // One reply in two segments, with a pause between them.
        write(*s, out.left(splitAt));
        const QByteArray rest = out.mid(splitAt);
        after(pause, [this, id, rest, written] {
            if (Session *s = find(id)) {
                write(*s, rest);
                written();
            }
        });
    };
    if (delayMs > 0)
        after(delayMs, send);
    else
        send();
}

void Worker::write(Session &s, const QByteArray &data)
{
    if (s.dead || s.finSent || data.isEmpty())
        return;
    s.out.push_back(data);
    s.queued += data.size();
    dirty.push_back(s.id);
}

// Hands what waits to the system, each queued piece in a write of its own,
// until it takes no more; then the flood, then the orderly close.
void Worker::push(Session &s)
{
    for (;;) {
        while (!s.out.empty()) {
            const QByteArray &head = s.out.front();
            const ssize_t n = ::send(s.fd, head.constData() + s.headSent, size_t(head.size() - s.headSent), MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && errno == EAGAIN) {
                want(s, true);
                return;
            }
            if (n < 0) {
                // What the tool sent and this node has not read is lost with it.
                gone(s, errno == EPIPE || errno == ECONNRESET);
                return;
            }
            s.headSent += n;
            s.queued -= n;
            if (s.headSent == head.size()) {
                s.out.pop_front();
                s.headSent = 0;
            }
        }
        if (!s.flooding || !pumpFlood(s))
            break;
    }
    want(s, false);
    if (s.flooding && s.floodHanded >= s.floodTotal)
        endFlood(s);
    if (s.closing && !s.finSent) {
        ::shutdown(s.fd, SHUT_WR);
        s.finSent = true;
        const quint64 id = s.id;
        after(LingerMs, [this, id] {
            if (Session *s = find(id))
                end(*s, events::KindCount);
        });
    }
}

// The "flood-after" fault: a stream of messages the tool never asked for,
// written only as fast as the connection drains, so that the node's memory
// stays bounded however slowly the tool reads.
bool Worker::pumpFlood(Session &s)
{
    bool added = false;
    while (s.floodHanded < s.floodTotal && s.queued < FloodQueued) {
        const qint64 n = qMin<qint64>(flood.size(), s.floodTotal - s.floodHanded);
        s.out.push_back(n == flood.size() ? flood : flood.left(n));
        s.queued += n;
        s.floodHanded += n;
        added = true;
    }
    return added;
}

// Reports the bytes the system took: all of them, or what went out before
// the connection closed.
void Worker::endFlood(Session &s)
{
    s.flooding = false;
    lines.add(events::FloodDone, s.node->ip, s.floodHanded - qMin(s.queued, s.floodHanded));
}

void Worker::want(Session &s, bool out)
{
    if (s.wantsOut == out || s.dead)
        return;
    s.wantsOut = out;
    epoll_event ev{};
    ev.events = out ? EPOLLIN | EPOLLOUT : EPOLLIN;
    ev.data.u64 = s.id;
    epoll_ctl(ep, EPOLL_CTL_MOD, s.fd, &ev);
}

// The peer closed the connection, or it failed.
void Worker::gone(Session &s, bool reset)
{
    if (reset)
        lines.add(events::PeerReset, s.node->ip);
    end(s, s.closing ? events::KindCount : events::Disconnected);
}

void Worker::closeNow(Session &s)
{
    end(s, events::Closing);
}

// Closes the connection at once, after its line (none for KindCount). The
// turn's lines go out first: whoever sees the connection end may look for
// them at once.
void Worker::end(Session &s, events::Kind line)
{
    if (line != events::KindCount)
        lines.add(line, s.node->ip);
    if (s.flooding)
        endFlood(s);
    record.flush();
    lines.flush();
    ::close(s.fd);
    s.dead = true;
    reaped.push_back(s.id);
}

void Worker::restart(Node &node)
{
    const int ms = node.faults.restartMs;
    if (ms <= 0)
        return;
    node.restartUntil = monotonicNs() + qint64(ms) * 1000000;
    for (Listener &l : listeners) {
        if (l.node != &node || l.fd < 0)
            continue;
        ::close(l.fd); // connections are refused until it listens again
        l.fd = -1;
        after(ms, [this, &l] { listenAgain(l); });
    }
}

// Once the restart is over; a reset during the restart prolongs it.
void Worker::listenAgain(Listener &l)
{
    const qint64 left = l.node->restartUntil - monotonicNs();
    if (left > 0) {
        after(int((left + 999999) / 1000000), [this, &l] { listenAgain(l); });
        return;
    }
    QString error;
    if (l.fd < 0 && !openListener(l, &error))
        lines.add(events::Trouble, error);
}

void Worker::move(Node &node, quint32 to)
{
    const quint32 from = node.at;
    if (to == from)
        return;
    const QString was = QHostAddress(from).toString(), now = QHostAddress(to).toString();
    for (Listener &l : listeners) {
        if (l.node != &node)
            continue;
        QString error;
        const int fd = listenAt(to, &error);
        if (fd < 0) {
            record.add(node, "stayed", {{"at", was}, {"to", now}, {"why", error}});
            return;
        }
        if (l.fd >= 0) {
            epoll_ctl(ep, EPOLL_CTL_DEL, l.fd, nullptr);
            ::close(l.fd);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = quint64(&l - listeners.data());
            epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev);
            l.fd = fd;
        } else {
            ::close(fd); // restarting: it listens again at its new address
        }
        node.at = to;
        record.add(node, "moved", {{"from", was}, {"to", now}});
        return;
    }
}
