#include "emulator.h"
#include "nodewire.h"

#include <QDir>
#include <QJsonArray>
#include <QSaveFile>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUdpSocket>
#include <cstdio>
#include <memory>

using namespace nodewire;

Emulator::Emulator(QVector<Node> n, QString dir, DiscoveryOptions options, QObject *parent)
    : QObject(parent), nodes(std::move(n)), stateDir(std::move(dir)), discovery(options), shuffler(options.seed)
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
    pacer = new QTimer(this);
    pacer->setSingleShot(true);
    pacer->setTimerType(Qt::PreciseTimer);
    connect(pacer, &QTimer::timeout, this, &Emulator::sendPendingDatagrams);
    burstEnd = new QTimer(this);
    burstEnd->setSingleShot(true);
    burstEnd->setTimerType(Qt::PreciseTimer);
    connect(burstEnd, &QTimer::timeout, this, &Emulator::endBurst);

    QList<QHostAddress> listenOn{QHostAddress(QHostAddress::AnyIPv4)};
    if (listenEach) {
        listenOn.clear();
        for (const Node &node : nodes)
            listenOn.append(node.address);
    }
    for (const QHostAddress &address : listenOn) {
        auto *server = new QTcpServer(this);
        server->setMaxPendingConnections(1000);
        if (!server->listen(address, NodePort)) {
            *error = QStringLiteral("cannot listen on TCP %1 at %2: %3")
                         .arg(NodePort)
                         .arg(address.toString(), server->errorString());
            return false;
        }
        connect(server, &QTcpServer::newConnection, this, [this, server] { acceptConnections(server); });
    }
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

void Emulator::acceptConnections(QTcpServer *server)
{
    while (QTcpSocket *socket = server->nextPendingConnection()) {
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
            const QByteArray m = message(quint32(word.toInt()));
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
    while (it->pending.size() >= MessageSize) {
        const QByteArray message = it->pending.left(MessageSize);
        it->pending.remove(0, MessageSize);
        handle(*it, message);
        it = sessions.find(socket);
        if (it == sessions.end())
            return; // the handler closed the connection
    }
}

void Emulator::handle(Session &session, const QByteArray &message)
{
    Node &node = nodes[session.node];
    const quint32 word = u32(message, 0);
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

void Emulator::reply(Session &session, const QByteArray &message, int delayMs)
{
    const Node &node = nodes[session.node];
    if (node.fault(QStringLiteral("silent")).toBool())
        return;
    const quint32 word = u32(message, 0);
    const QString wordText = QString::number(word);
    for (const QJsonValue w : node.fault(QStringLiteral("no-reply")).toArray())
        if (QString::number(w.toInt()) == wordText)
            return;

    QByteArray one = message;
    const QJsonValue cut = node.fault(QStringLiteral("short-replies"));
    if (cut.isDouble())
        one.truncate(cut.toInt());
    QByteArray out = one;
    if (node.fault(QStringLiteral("duplicate")).toBool())
        out += one;
    const QJsonValue append = node.fault(QStringLiteral("append"));
    if (append.isDouble())
        out += nodewire::message(quint32(append.toInt()));

    if (delayMs < 0) {
        delayMs = 0;
        const QJsonValue d = node.fault(QStringLiteral("delay-ms"));
        if (d.isDouble())
            delayMs = d.toInt();
        else if (d.isObject())
            delayMs = d.toObject().value(wordText).toInt();
    }

    // Where the reply is cut in two segments, if at all.
    int splitAt = 0;
    const QJsonValue at = node.fault(QStringLiteral("split-at"));
    if (at.isDouble())
        splitAt = at.toInt();
    else if (node.fault(QStringLiteral("split")).toBool())
        splitAt = int(out.size()) / 3;
    const QJsonObject flood = node.fault(QStringLiteral("flood-after")).toObject();
    const bool floods = !flood.isEmpty() && quint32(flood.value(QLatin1String("word")).toDouble()) == word;

    QTcpSocket *socket = session.socket;
    auto send = [this, socket, out, splitAt, floods] {
        if (splitAt <= 0 || splitAt >= out.size()) {
            socket->write(out);
            if (floods)
                floodConnection(socket);
            return;
        }
        // One reply in two segments, with a pause between them.
        socket->write(out.left(splitAt));
        socket->flush();
        const QByteArray rest = out.mid(splitAt);
        QTimer::singleShot(60, socket, [this, socket, rest, floods] {
            socket->write(rest);
            if (floods)
                floodConnection(socket);
        });
    };
    if (delayMs > 0)
        QTimer::singleShot(delayMs, socket, send);
    else
        send();
}

// The "flood-after" fault: a stream of messages the tool never asked for,
// written only as fast as the connection drains, so that the node's memory
// stays bounded however slowly the tool reads.
void Emulator::floodConnection(QTcpSocket *socket)
{
    const auto it = sessions.find(socket);
    if (it == sessions.end() || it->flooding)
        return;
    it->flooding = true;
    const QJsonObject params = nodes[it->node].fault(QStringLiteral("flood-after")).toObject();
    const QString ip = nodes[it->node].address.toString();
    constexpr quint32 FloodWord = 99;
    constexpr qint64 Queued = 1024 * 1024; // most bytes held back at a time
    constexpr int Messages = 64;            // per write
    // Whole messages only.
    const qint64 total = qint64(params.value(QLatin1String("megabytes")).toDouble() * 1024) * MessageSize;
    QByteArray chunk;
    for (int i = 0; i < Messages; ++i)
        chunk += message(FloodWord);

    struct State {
        qint64 handed = 0;
        bool done = false;
    };
    const auto state = std::make_shared<State>();
    const auto finish = [this, state, ip] {
        if (state->done)
            return;
        state->done = true;
        event(QStringLiteral("flood-done %1 %2").arg(ip).arg(state->handed));
    };
    const auto pump = [socket, chunk, total, state, finish] {
        while (state->handed < total && socket->bytesToWrite() < Queued) {
            const qint64 n = qMin<qint64>(chunk.size(), total - state->handed);
            socket->write(chunk.constData(), n);
            state->handed += n;
        }
        if (state->handed >= total && socket->bytesToWrite() == 0)
            finish();
    };
    connect(socket, &QTcpSocket::bytesWritten, socket, pump);
    // A connection closed early ends the flood with what went out so far.
    connect(socket, &QObject::destroyed, this, finish);
    pump();
}

void Emulator::closeSession(Session &session)
{
    QTcpSocket *socket = session.socket;
    event(QStringLiteral("closing %1").arg(nodes[session.node].address.toString()));
    sessions.remove(socket);
    socket->abort();
    socket->deleteLater();
}
