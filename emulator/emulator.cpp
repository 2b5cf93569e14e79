#include "emulator.h"

#include "config/configrecord.h"
#include "link/devicerecord.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QNetworkDatagram>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>

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

Emulator::Emulator(QVector<Node> n, QString dir, QObject *parent)
    : QObject(parent), nodes(std::move(n)), stateDir(std::move(dir))
{
    for (int i = 0; i < nodes.size(); ++i)
        byAddress.insert(nodes[i].address.toIPv4Address(), i);
}

bool Emulator::start(QString *error)
{
    udp = new QUdpSocket(this);
    if (!udp->bind(QHostAddress::AnyIPv4, DiscoveryPort, QUdpSocket::ShareAddress | QUdpSocket::ReuseAddressHint)) {
        *error = QStringLiteral("cannot bind UDP %1: %2").arg(DiscoveryPort).arg(udp->errorString());
        return false;
    }
    // Many nodes answer one search at once: keep room for their replies.
    udp->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4 * 1024 * 1024);
    connect(udp, &QUdpSocket::readyRead, this, &Emulator::readDatagrams);
    udpRetry = new QTimer(this);
    udpRetry->setInterval(1);
    connect(udpRetry, &QTimer::timeout, this, &Emulator::sendPendingDatagrams);

    tcp = new QTcpServer(this);
    tcp->setMaxPendingConnections(1000);
    if (!tcp->listen(QHostAddress::AnyIPv4, DevicePort)) {
        *error = QStringLiteral("cannot listen on TCP %1: %2").arg(DevicePort).arg(tcp->errorString());
        return false;
    }
    connect(tcp, &QTcpServer::newConnection, this, &Emulator::acceptConnections);
    return true;
}

void Emulator::event(const QString &line) const
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void Emulator::saveState(const Node &node, const QString &suffix, const QByteArray &data) const
{
    if (stateDir.isEmpty())
        return;
    QSaveFile file(QDir(stateDir).filePath(node.address.toString() + QLatin1Char('.') + suffix));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data);
        file.commit();
    }
}

void Emulator::readDatagrams()
{
    while (udp->hasPendingDatagrams()) {
        const QNetworkDatagram d = udp->receiveDatagram();
        const QByteArray data = d.data();
        if (data.size() < DeviceRecord::StatusOffset + 2 || DeviceRecord::command(data) != DiscoveryRequest)
            continue;
        event(QStringLiteral("discovery %1").arg(d.senderAddress().toString()));
        const QHostAddress to = d.destinationAddress();
        const auto it = byAddress.constFind(to.toIPv4Address());
        for (int i = 0; i < nodes.size(); ++i) {
            if (it != byAddress.constEnd() && *it != i)
                continue; // a request sent to one node's own address
            Node &node = nodes[i];
            if (node.fault(QStringLiteral("silent")).toBool() || node.fault(QStringLiteral("no-discovery")).toBool())
                continue;
            Datagram reply{node.identity, node.address, d.senderAddress(), quint16(d.senderPort())};
            QVector<Datagram> batch;
            for (const QJsonValue extra : node.fault(QStringLiteral("extra-datagrams")).toArray()) {
                const QString kind = extra.toString();
                if (kind == QLatin1String("short"))
                    batch.append({node.identity.left(DeviceRecord::UsedSize - 1), reply.from, reply.to, reply.toPort});
                else if (kind == QLatin1String("tiny"))
                    batch.append({node.identity.left(3), reply.from, reply.to, reply.toPort});
                else if (kind == QLatin1String("garbage")) {
                    QByteArray g(DiscoveryMessageSize, '\0');
                    for (int b = 0; b < g.size(); ++b)
                        g[b] = char((b * 131 + 7) & 0xff);
                    wire::putU32(g, DeviceRecord::CommandOffset, DiscoveryReply);
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
        sendPendingDatagrams();
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

void Emulator::acceptConnections()
{
    while (QTcpSocket *socket = tcp->nextPendingConnection()) {
        const auto it = byAddress.constFind(socket->localAddress().toIPv4Address());
        if (it == byAddress.constEnd()) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        Session s;
        s.socket = socket;
        s.node = *it;
        sessions.insert(socket, s);
        Node &node = nodes[s.node];
        event(QStringLiteral("connected %1").arg(node.address.toString()));
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readSession(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            const auto found = sessions.constFind(socket);
            if (found != sessions.constEnd())
                event(QStringLiteral("disconnected %1").arg(nodes[found->node].address.toString()));
            sessions.remove(socket);
            socket->deleteLater();
        });
        // Messages a node sends unasked, for the tool's handling of words it
        // does not know.
        const QJsonArray unsolicited = node.fault(QStringLiteral("send-on-connect")).toArray();
        int gap = 0;
        for (const QJsonValue word : unsolicited) {
            const QByteArray m = wire::message(MessageCommand(word.toInt()));
            QTimer::singleShot(gap += 30, socket, [socket, m] { socket->write(m); });
        }
    }
}

void Emulator::readSession(QTcpSocket *socket)
{
    auto it = sessions.find(socket);
    if (it == sessions.end())
        return;
    it->pending += socket->readAll();
    while (it->pending.size() >= DeviceMessageSize) {
        const QByteArray message = it->pending.left(DeviceMessageSize);
        it->pending.remove(0, DeviceMessageSize);
        handle(*it, message);
        it = sessions.find(socket);
        if (it == sessions.end())
            return; // the handler closed the connection
    }
}

void Emulator::handle(Session &session, const QByteArray &message)
{
    Node &node = nodes[session.node];
    const quint32 word = wire::u32(message, 0);
    ++node.messagesReceived;
    event(QStringLiteral("rx %1 %2").arg(node.address.toString()).arg(word));

    const QJsonValue closeAfter = node.fault(QStringLiteral("close-after"));
    if (closeAfter.isDouble() && node.messagesReceived >= closeAfter.toInt()) {
        closeSession(session);
        return;
    }
    if (handleConfigCommand(*this, session, node, message) || handleFirmwareCommand(*this, session, node, message))
        return;
    event(QStringLiteral("unhandled %1 %2").arg(node.address.toString()).arg(word));
}

void Emulator::reply(Session &session, const QByteArray &message)
{
    const Node &node = nodes[session.node];
    if (node.fault(QStringLiteral("silent")).toBool())
        return;
    const QString word = QString::number(wire::u32(message, 0));
    for (const QJsonValue w : node.fault(QStringLiteral("no-reply")).toArray())
        if (QString::number(w.toInt()) == word)
            return;

    QByteArray out = message;
    if (node.fault(QStringLiteral("duplicate")).toBool())
        out += message;
    const QJsonValue append = node.fault(QStringLiteral("append"));
    if (append.isDouble())
        out += wire::message(MessageCommand(append.toInt()));

    int delay = 0;
    const QJsonValue d = node.fault(QStringLiteral("delay-ms"));
    if (d.isDouble())
        delay = d.toInt();
    else if (d.isObject())
        delay = d.toObject().value(word).toInt();

    QTcpSocket *socket = session.socket;
    const bool split = node.fault(QStringLiteral("split")).toBool();
    auto send = [socket, out, split] {
        if (!split) {
            socket->write(out);
            return;
        }
        // One reply in two segments, with a pause between them.
        const int half = int(out.size()) / 3;
        socket->write(out.left(half));
        socket->flush();
        const QByteArray rest = out.mid(half);
        QTimer::singleShot(60, socket, [socket, rest] { socket->write(rest); });
    };
    if (delay > 0)
        QTimer::singleShot(delay, socket, send);
    else
        send();
}

void Emulator::closeSession(Session &session)
{
    QTcpSocket *socket = session.socket;
    event(QStringLiteral("closing %1").arg(nodes[session.node].address.toString()));
    sessions.remove(socket);
    socket->abort();
    socket->deleteLater();
}
