// Discovery: one socket on 0.0.0.0:49999 hears every request; each node
// answers from its own address. Replies leave as fast as the socket takes
// them, or paced to a link rate shared by all nodes of this process.

#include "emulator.h"
#include "nodewire.h"

#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <netinet/in.h>
#include <numeric>
#include <sys/socket.h>

using namespace nodewire;

namespace {

// A datagram from the shared discovery socket with the node's own address
// as its source (IP_PKTINFO), so that every node answers from its own
// address. The message header points into it: it stays where it is.
struct Packet {
    sockaddr_in dest;
    iovec iov;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];

    void prepare(msghdr &msg, const QByteArray &data, const QHostAddress &from, const QHostAddress &to, quint16 port)
    {
        dest = sockaddr_in{};
        dest.sin_family = AF_INET;
        dest.sin_port = htons(port);
        dest.sin_addr.s_addr = htonl(to.toIPv4Address());
        iov = iovec{const_cast<char *>(data.constData()), size_t(data.size())};
        std::memset(control, 0, sizeof control);
        msg = msghdr{};
        msg.msg_name = &dest;
        msg.msg_namelen = sizeof dest;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof control;
        cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
        cmsg->cmsg_level = IPPROTO_IP;
        cmsg->cmsg_type = IP_PKTINFO;
        cmsg->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_spec_dst.s_addr = htonl(from.toIPv4Address());
        std::memcpy(CMSG_DATA(cmsg), &info, sizeof info);
    }
};

// Sends one datagram; returns 0 or the errno of the failure.
int sendFrom(int fd, const QByteArray &data, const QHostAddress &from, const QHostAddress &to, quint16 port)
{
    Packet packet;
    msghdr msg;
    packet.prepare(msg, data, from, to, port);
    return ::sendmsg(fd, &msg, 0) < 0 ? errno : 0;
}

bool busy(int err)
{
    return err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS;
}

double nowNs()
{
    return double(monotonicNs());
}

// Time a datagram takes on an Ethernet link: UDP and IPv4 headers, the
// Ethernet header (the frame padded to its 60-byte minimum), FCS, preamble
// and inter-frame gap.
double wireNs(qsizetype payload, double bitsPerSecond)
{
    const double frame = double(qMax<qsizetype>(payload + 8 + 20 + 14, 60) + 4 + 8 + 12);
    return frame * 8 * 1e9 / bitsPerSecond;
}

constexpr double SpinNs = 100e3;     // gaps shorter than this are waited out in place
constexpr double SpinBudgetNs = 5e6; // then the event loop gets its turn
constexpr int FloodBatch = 4096;     // most flood replies sent per tick
constexpr int PacedBatch = 64;       // most replies already due sent in one call

} // namespace

void Emulator::readDatagrams()
{
    while (udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = udp->receiveDatagram();
        const QByteArray data = d.data();
        if (data.size() < discovery::StatusOffset + 2 || u32(data, discovery::CommandOffset) != DiscoveryRequest)
            continue;
        lines.add(events::Discovery, d.senderAddress().toString());
        QVector<int> order;
        const quint32 to = d.destinationAddress().toIPv4Address();
        const auto it = byAddress.constFind(to);
        const int there = nodeAt(to, it == byAddress.constEnd() ? -1 : *it);
        if (there >= 0) {
            order.append(there); // a request sent to one node's own address
        } else if (it != byAddress.constEnd()) {
            // the address a node has moved away from: nobody answers there
        } else {
            order.resize(int(nodes.size()));
            std::iota(order.begin(), order.end(), 0);
            if (discovery.shuffle)
                std::shuffle(order.begin(), order.end(), shuffler);
        }
        for (const int i : order)
            answerDiscovery(i, d.senderAddress(), quint16(d.senderPort()));
        sendPendingDatagrams();
    }
}

// The node that answers at `address` now: the one that started there
// (`started`, or -1), unless it moved away; else one that moved there.
int Emulator::nodeAt(quint32 address, int started) const
{
    if (started >= 0 && nodes[size_t(started)].at == address)
        return started;
    for (size_t i = 0; movers && i < nodes.size(); ++i)
        if (nodes[i].faults.move && nodes[i].at == address)
            return int(i);
    return -1;
}

void Emulator::answerDiscovery(int index, const QHostAddress &to, quint16 port)
{
    const Node &node = nodes[size_t(index)];
    const Faults &f = node.faults;
    // A node that is restarting hears nothing.
    if (f.silent || f.noDiscovery || monotonicNs() < node.restartUntil)
        return;
    const QByteArray identity = node.identity();
    const Datagram reply{identity, QHostAddress(node.at), to, port};
    QVector<Datagram> batch;
    for (const Faults::Extra extra : f.extraDatagrams) {
        if (extra == Faults::ShortRecord)
            batch.append({identity.left(discovery::UsedSize - 1), reply.from, reply.to, reply.toPort});
        else if (extra == Faults::Tiny)
            batch.append({identity.left(3), reply.from, reply.to, reply.toPort});
        else {
            QByteArray g(DatagramSize, '\0');
            for (int b = 0; b < g.size(); ++b)
                g[b] = char((b * 131 + 7) & 0xff);
            putU32(g, discovery::CommandOffset, DiscoveryReply);
            batch.append({g, reply.from, reply.to, reply.toPort});
        }
    }
    batch.append(reply);
    const int copies = f.duplicateReply ? 2 : 1;
    const int delay = f.discoveryDelayMs;
    for (int c = 0; c < copies; ++c) {
        for (const Datagram &dg : batch) {
            if (delay > 0)
                QTimer::singleShot(delay, this, [this, dg] {
                    enqueue(dg);
                    sendPendingDatagrams();
                });
            else
                enqueue(dg);
        }
    }
    if (delay > 0)
        QTimer::singleShot(delay, this, [this, index, to, port] { floodDiscovery(index, to, port); });
    else
        floodDiscovery(index, to, port);
}

void Emulator::enqueue(Datagram dg)
{
    if (discovery.bitsPerSecond > 0) {
        // Each datagram gets the next slot of one schedule for the whole
        // process; a send that comes late leaves the slots as they were, so
        // the burst catches up instead of drifting. A burst ends when nothing
        // waits and its last slot has passed.
        if (outgoing.isEmpty() && (burstCount == 0 || nowNs() >= burstStart + burstLength)) {
            endBurst();
            burstLength = 0;
        }
        dg.slot = burstLength;
        burstLength += wireNs(dg.data.size(), discovery.bitsPerSecond);
    }
    outgoing.enqueue(dg);
}

void Emulator::sendPendingDatagrams()
{
    if (discovery.bitsPerSecond > 0) {
        sendPaced();
        return;
    }
    while (!outgoing.isEmpty()) {
        const Datagram &dg = outgoing.head();
        const int err = sendFrom(int(udp->socketDescriptor()), dg.data, dg.from, dg.to, dg.toPort);
        if (busy(err)) {
            udpRetry->start();
            return;
        }
        if (err != 0)
            lines.add(events::UdpError, QString::fromLocal8Bit(std::strerror(err)));
        outgoing.dequeue();
    }
    udpRetry->stop();
}

void Emulator::sendPaced()
{
    const int fd = int(udp->socketDescriptor());
    const double entered = nowNs();
    Packet packets[PacedBatch];
    mmsghdr messages[PacedBatch];
    while (!outgoing.isEmpty()) {
        double now = nowNs();
        if (burstCount == 0)
            burstStart = now; // the schedule starts with the first send, not with the request
        const double due = burstStart + outgoing.head().slot;
        if (due - now > SpinNs) {
            pacer->start(int((due - now - SpinNs) / 1e6));
            return;
        }
        if (now - entered > SpinBudgetNs) {
            pacer->start(0);
            return;
        }
        while (now < due)
            now = nowNs();
        // The head, and whatever is already due behind it when the sender
        // runs late, in one call: fewer system calls to catch up with.
        int n = 0;
        while (n < PacedBatch && n < outgoing.size() && (n == 0 || burstStart + outgoing.at(n).slot <= now)) {
            const Datagram &dg = outgoing.at(n);
            messages[n].msg_len = 0;
            packets[n].prepare(messages[n].msg_hdr, dg.data, dg.from, dg.to, dg.toPort);
            ++n;
        }
        const int sent = ::sendmmsg(fd, messages, unsigned(n), 0);
        if (sent < 0) {
            const int err = errno;
            if (busy(err)) {
                udpRetry->start();
                return;
            }
            lines.add(events::UdpError, QString::fromLocal8Bit(std::strerror(err)));
            outgoing.dequeue();
            continue;
        }
        burstCount += sent;
        burstLast = now;
        for (int i = 0; i < sent; ++i)
            outgoing.dequeue();
    }
    udpRetry->stop();
    endBurst();
}

// Reports a paced burst once its last slot has passed with nothing joining
// it: "burst <datagrams> <microseconds from the first send to the last>".
void Emulator::endBurst()
{
    if (burstCount == 0 || !outgoing.isEmpty())
        return;
    const double left = burstStart + burstLength - nowNs();
    if (left > 0) {
        burstEnd->start(int(std::ceil(left / 1e6)));
        return;
    }
    lines.add(events::Burst, burstCount, qint64(std::llround((burstLast - burstStart) / 1e3)));
    burstCount = 0;
}

// The "discovery-flood" fault: many more replies than one node would give,
// each as a node of its own, spread evenly over time by a timer.
void Emulator::floodDiscovery(int index, const QHostAddress &to, quint16 port)
{
    const Faults &f = nodes[size_t(index)].faults;
    if (f.floodCount == 0 || discoveryFloods.contains(index))
        return;
    discoveryFloods.insert(index);
    const double rate = f.floodRate;
    const qint64 count = f.floodCount;
    const double started = nowNs();
    const auto sent = std::make_shared<qint64>(0);
    auto *timer = new QTimer(this);
    timer->setTimerType(Qt::PreciseTimer);
    timer->setInterval(1);
    connect(timer, &QTimer::timeout, this, [this, index, to, port, rate, count, started, sent, timer] {
        const Node &node = nodes[size_t(index)];
        const QByteArray identity = node.identity();
        const qint64 due = qMin(count, qint64((nowNs() - started) * rate / 1e9) + 1);
        for (int batch = 0; *sent < due && batch < FloodBatch; ++batch) {
            const QByteArray number = QByteArray::number(floodSerial + 1);
            QByteArray dg = identity;
            std::memset(dg.data() + discovery::LabelOffset, 0, discovery::LabelSize);
            std::memset(dg.data() + discovery::SerialOffset, 0, discovery::SerialSize);
            putBytes(dg, discovery::LabelOffset, discovery::LabelSize - 1, "Flood-" + number);
            putBytes(dg, discovery::SerialOffset, discovery::SerialSize - 1, "FL" + number.rightJustified(13, '0'));
            const int err = sendFrom(int(udp->socketDescriptor()), dg, QHostAddress(node.at), to, port);
            if (busy(err))
                break; // the next tick tries again
            if (err != 0)
                lines.add(events::UdpError, QString::fromLocal8Bit(std::strerror(err)));
            ++floodSerial;
            ++*sent;
        }
        if (*sent < count)
            return;
        timer->stop();
        timer->deleteLater();
        discoveryFloods.remove(index);
        lines.add(events::FloodDone, node.ip, count);
    });
    timer->start();
}
