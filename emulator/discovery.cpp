// Discovery: one socket on 0.0.0.0:49999 hears every request; each node
// answers from its own address, as fast as the socket takes the replies.

#include "emulator.h"
#include "nodewire.h"

#include <QJsonArray>
#include <QNetworkDatagram>
#include <QTimer>
#include <QUdpSocket>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

using namespace nodewire;

namespace {

// Sends one datagram from the shared discovery socket with the node's own
// address as its source, so that every node answers from its own address
// (IP_PKTINFO). Returns 0 or the errno of the failure.
int sendFrom(int fd, const QByteArray &data, const QHostAddress &from, const QHostAddress &to, quint16 port)
{
    sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = htons(port);
    dest.sin_addr.s_addr = htonl(to.toIPv4Address());
    iovec iov{const_cast<char *>(data.constData()), size_t(data.size())};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    msghdr msg{};
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
    return ::sendmsg(fd, &msg, 0) < 0 ? errno : 0;
}

} // namespace

void Emulator::readDatagrams()
{
    while (udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = udp->receiveDatagram();
        const QByteArray data = d.data();
        if (data.size() < discovery::StatusOffset + 2 || u32(data, discovery::CommandOffset) != DiscoveryRequest)
            continue;
        event(QStringLiteral("discovery %1").arg(d.senderAddress().toString()));
        const auto it = byAddress.constFind(d.destinationAddress().toIPv4Address());
        for (int i = 0; i < nodes.size(); ++i) {
            if (it != byAddress.constEnd() && *it != i)
                continue; // a request sent to one node's own address
            answerDiscovery(i, d.senderAddress(), quint16(d.senderPort()));
        }
        sendPendingDatagrams();
    }
}

void Emulator::answerDiscovery(int index, const QHostAddress &to, quint16 port)
{
    const Node &node = nodes[index];
    if (node.fault(QStringLiteral("silent")).toBool() || node.fault(QStringLiteral("no-discovery")).toBool())
        return;
    const Datagram reply{node.identity, node.address, to, port};
    QVector<Datagram> batch;
    for (const QJsonValue extra : node.fault(QStringLiteral("extra-datagrams")).toArray()) {
        const QString kind = extra.toString();
        if (kind == QLatin1String("short"))
            batch.append({node.identity.left(discovery::UsedSize - 1), reply.from, reply.to, reply.toPort});
        else if (kind == QLatin1String("tiny"))
            batch.append({node.identity.left(3), reply.from, reply.to, reply.toPort});
        else if (kind == QLatin1String("garbage")) {
            QByteArray g(DatagramSize, '\0');
            for (int b = 0; b < g.size(); ++b)
                g[b] = char((b * 131 + 7) & 0xff);
            putU32(g, discovery::CommandOffset, DiscoveryReply);
            batch.append({g, reply.from, reply.to, reply.toPort});
        }
    }
    batch.append(reply);
    const int copies = node.fault(QStringLiteral("duplicate-reply")).toBool() ? 2 : 1;
    const int delay = node.fault(QStringLiteral("discovery-delay-ms")).toInt();
    for (int c = 0; c < copies; ++c) {
        for (const Datagram &dg : batch) {
            if (delay > 0)
                QTimer::singleShot(delay, this, [this, dg] {
                    outgoing.enqueue(dg);
                    sendPendingDatagrams();
                });
            else
                outgoing.enqueue(dg);
        }
    }
}

void Emulator::sendPendingDatagrams()
{
    while (!outgoing.isEmpty()) {
        const Datagram &dg = outgoing.head();
        const int err = sendFrom(int(udp->socketDescriptor()), dg.data, dg.from, dg.to, dg.toPort);
        if (err == EAGAIN || err == EWOULDBLOCK || err == ENOBUFS) {
            udpRetry->start();
            return;
        }
        if (err != 0)
            event(QStringLiteral("udp-error %1").arg(QString::fromLocal8Bit(std::strerror(err))));
        outgoing.dequeue();
    }
    udpRetry->stop();
}
