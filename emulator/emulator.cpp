#include "emulator.h"
#include "nodewire.h"
#include "worker.h"

#include <QDir>
#include <QSaveFile>
#include <QTimer>
#include <QUdpSocket>
#include <ctime>

using namespace nodewire;

qint64 monotonicNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// A copy of its own, not a shared one: the worker then never writes into
// bytes the discovery thread still sends.
QByteArray Node::identity() const
{
    const std::lock_guard<std::mutex> lock(identityLock);
    return QByteArray(record.constData(), record.size());
}

void Node::setIdentity(const QByteArray &r)
{
    const std::lock_guard<std::mutex> lock(identityLock);
    record = r;
}

Emulator::Emulator(std::deque<Node> &n, QString dir, DiscoveryOptions options, QObject *parent)
    : QObject(parent), nodes(n), stateDir(std::move(dir)), discovery(options), shuffler(options.seed)
{
    for (int i = 0; i < int(nodes.size()); ++i) {
        if (!byAddress.contains(nodes[size_t(i)].address.toIPv4Address()))
            byAddress.insert(nodes[size_t(i)].address.toIPv4Address(), i);
        movers = movers || nodes[size_t(i)].faults.move;
    }
}

Emulator::~Emulator() = default;

bool Emulator::start(int threads, QString *error)
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

    // Each node listens on its own address, served by one worker: its state
    // then belongs to that thread alone.
    threads = qBound(1, threads, qMax(1, int(nodes.size())));
    for (int w = 0; w < threads; ++w)
        workers.push_back(std::make_unique<Worker>(*this, w));
    for (size_t i = 0; i < nodes.size(); ++i) {
        Node &node = nodes[i];
        node.worker = int(i % size_t(threads));
        // A later node at the same address answers discovery from it too,
        // as two devices given one address do; connections reach the first.
        if (byAddress.value(node.address.toIPv4Address()) != int(i))
            continue;
        if (!workers[size_t(node.worker)]->listen(node, error))
            return false;
    }
    for (const auto &w : workers)
        w->start();
    return true;
}

void Emulator::saveState(const Node &node, const char *suffix, const QByteArray &data) const
{
    if (stateDir.isEmpty())
        return;
    QSaveFile file(QDir(stateDir).filePath(QString::fromLatin1(node.ip) + QLatin1Char('.') + QLatin1String(suffix)));
    if (file.open(QIODevice::WriteOnly)) {
        file.write(data);
        file.commit();
    }
}
