#include "link/discovery.h"

#include "link/devicerecord.h"
#include "link/discoveryreader.h"
#include "link/trace.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QSocketNotifier>
#include <QUdpSocket>
#include <QVariant>
#include <cerrno>
#include <cstddef>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

#ifdef Q_OS_LINUX
sockaddr_in socketName(const QHostAddress &address, quint16 port)
{
    sockaddr_in name{};
    name.sin_family = AF_INET;
    name.sin_port = htons(port);
    name.sin_addr.s_addr = htonl(address.toIPv4Address());
    return name;
}
#endif

// An IPv4 UDP socket on address:port that shares the port with the others
// made here (SO_REUSEPORT, which the kernel allows for one user's sockets
// only), or -1.
int sharedSocket(const QHostAddress &address, quint16 port)
{
#ifdef Q_OS_LINUX
    if (address.protocol() != QAbstractSocket::IPv4Protocol)
        return -1;
    const sockaddr_in name = socketName(address, port);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on) == 0 &&
        ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) == 0 &&
        ::bind(fd, reinterpret_cast<const sockaddr *>(&name), sizeof name) == 0)
        return fd;
    if (fd >= 0)
        ::close(fd);
#else
    Q_UNUSED(address);
    Q_UNUSED(port);
#endif
    return -1;
}

// 0 when nothing else holds address:port, else the error of a plain bind
// (EADDRINUSE when something does). The port is shared only among the
// sockets made here: another program must not join the group and take a
// part of the replies unseen.
int portBusy(const QHostAddress &address, quint16 port)
{
#ifdef Q_OS_LINUX
    const sockaddr_in name = socketName(address, port);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    const int error = ::bind(fd, reinterpret_cast<const sockaddr *>(&name), sizeof name) == 0 ? 0 : errno;
    ::close(fd);
    return error;
#else
    Q_UNUSED(address);
    Q_UNUSED(port);
    return 0;
#endif
}

#ifdef Q_OS_LINUX
// The claim of address:port among this namespace's processes: a socket
// bound to a name in the abstract namespace, which exists once per network
// namespace, is bound or refused at once, and goes when its process does.
// SO_REUSEPORT alone would let two of ours share the port unseen, and a
// check that the port is free before binding is a race between two that
// start together. -1 when another holds the claim (errno EADDRINUSE).
int claimPort(const QHostAddress &address, quint16 port)
{
    const QByteArray id = "tarvo-discovery " + address.toString().toLatin1() + ' ' + QByteArray::number(port);
    sockaddr_un name{};
    name.sun_family = AF_UNIX;
    const size_t size = qMin(size_t(id.size()), sizeof name.sun_path - 1);
    std::memcpy(name.sun_path + 1, id.constData(), size); // sun_path[0] stays 0: abstract
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<const sockaddr *>(&name),
                          socklen_t(offsetof(sockaddr_un, sun_path) + 1 + size)) == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        ::close(fd);
    errno = error;
    return -1;
}
#endif

// Asks for `bytes` of receive buffer; where the kernel grants less, a
// privileged process may still force it. Returns the size granted.
int askForBuffer(int fd, int bytes, bool force)
{
    int granted = 0;
    socklen_t size = sizeof granted;
    if (::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size) == 0 && granted >= bytes)
        return granted;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
    if (force && granted < bytes && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) == 0)
        ::getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &granted, &size);
    return granted;
}

} // namespace

QList<QHostAddress> Discovery::workstationAddresses()
{
    QList<QHostAddress> usable;
    for (const QHostAddress &address : QNetworkInterface::allAddresses())
        if (address.protocol() == QAbstractSocket::IPv4Protocol && address != QHostAddress(QHostAddress::LocalHost))
            usable.append(address);
    return usable;
}

Discovery::Discovery(QObject *parent, Wiring wiring, DiscoveryOptions options)
    : QObject(parent), opts(options), udp(new QUdpSocket(this))
{
    window.setSingleShot(true);
    connect(&window, &QTimer::timeout, this, &Discovery::searchFinished);
    if (wiring == Wiring::Internal)
        connect(udp, &QUdpSocket::readyRead, this, &Discovery::readPending);
    // The reader must be gone before the descriptor it reads is closed.
    connect(udp, &QIODevice::aboutToClose, this, &Discovery::stopReader);
    connect(udp, &QIODevice::aboutToClose, this, &Discovery::releasePort);
}

Discovery::~Discovery()
{
    stopReader();
    releasePort();
}

void Discovery::releasePort()
{
    if (portClaim >= 0)
        ::close(portClaim);
    portClaim = -1;
}

bool Discovery::failBind(const QString &reason)
{
    bindFailure = reason;
    releasePort();
    return false;
}

void Discovery::stopReader()
{
    delete wake;
    wake = nullptr;
    reader.reset();
}

// The port is shared by ReceiveSockets sockets: the kernel spreads the
// replies over them by sender, and each has a receive buffer of its own,
// so that together they hold a whole burst even when the reader is kept
// off the processor for a while. The first is the QUdpSocket, which also
// sends the request. Only the reader reads them; Qt's own notifier then
// stops by itself (it switches off after a notification that was not
// followed by a read through Qt), so readyRead() comes at most once or
// twice and finds the reader's queue. Where the port cannot be shared, the
// reader reads the QUdpSocket alone; where no reader runs, Qt reads it.
bool Discovery::bind(const QHostAddress &localAddress)
{
    const QString inUse = QStringLiteral("another program of this workstation uses it");
    bindFailure.clear();
    if (reader || udp->state() != QAbstractSocket::UnconnectedState) {
        if (udp->bind(localAddress, DiscoveryPort)) // refused as Qt refuses it
            return true;
        bindFailure = udp->errorString();
        return false;
    }
#ifdef Q_OS_LINUX
    portClaim = claimPort(localAddress, DiscoveryPort);
    if (portClaim < 0)
        return failBind(errno == EADDRINUSE ? inUse : QString::fromLocal8Bit(std::strerror(errno)));
#endif
    // A program other than ours may hold it all the same.
    if (const int busy = localAddress.protocol() == QAbstractSocket::IPv4Protocol ? portBusy(localAddress, DiscoveryPort) : 0)
        return failBind(busy == EADDRINUSE ? inUse : QString::fromLocal8Bit(std::strerror(busy)));
    std::vector<int> more;
    const int first = sharedSocket(localAddress, DiscoveryPort);
    if (first >= 0 && udp->setSocketDescriptor(first, QAbstractSocket::BoundState)) {
        for (int i = 1; i < ReceiveSockets; ++i) {
            const int fd = sharedSocket(localAddress, DiscoveryPort);
            if (fd < 0)
                break;
            // Not forced: eight forced buffers would let a flood hold
            // 128 MiB of the kernel's memory.
            askForBuffer(fd, ReceiveBufferBytes, false);
            more.push_back(fd);
        }
    } else {
        if (first >= 0)
            ::close(first);
        if (!udp->bind(localAddress, DiscoveryPort))
            return failBind(udp->error() == QAbstractSocket::AddressInUseError ? inUse : udp->errorString());
    }
    auto started = std::make_unique<DiscoveryReader>(int(udp->socketDescriptor()), std::move(more), int(QueuedDatagrams));
    if (started->start()) {
        reader = std::move(started);
        wake = new QSocketNotifier(reader->wakeFd(), QSocketNotifier::Read, this);
        connect(wake, &QSocketNotifier::activated, this, &Discovery::takeQueued);
    }
    return true;
}

void Discovery::clear()
{
    kept.clear();
    bySerial.clear();
    fullTraced = false;
}

void Discovery::sendRequest()
{
    raiseReceiveBuffer();
    if (reader)
        lostBefore = reader->lost();
    lossTraced = false;
    writeRequest();
}

void Discovery::search(int windowMs)
{
    window.stop();
    clear();
    sendRequest();
    if (windowMs >= 0)
        window.start(windowMs);
}

void Discovery::endSearch()
{
    if (!window.isActive())
        return;
    window.stop();
    emit searchFinished();
}

quint64 Discovery::repliesLost() const
{
    return reader ? reader->lost() - lostBefore : 0;
}

void Discovery::writeRequest()
{
    QByteArray request(DeviceRecord::Size, '\0');
    wire::putU32(request, DeviceRecord::CommandOffset, DiscoveryRequest);
    wire::putU16(request, DeviceRecord::StatusOffset, 0);
    udp->writeDatagram(request, QHostAddress(QHostAddress::Broadcast), DiscoveryPort);
    trace(QStringLiteral("Discovery msg sended."));
}

// The kernel grants each socket at most twice net.core.rmem_max (425984
// bytes on a stock system, room for about 330 replies). Where it grants
// less than asked, a privileged tool may still force it. The reader's own
// sockets asked when they were made, within the cap. The size granted is
// only worth a word when replies were lost.
void Discovery::raiseReceiveBuffer()
{
    const int fd = int(udp->socketDescriptor());
    if (fd >= 0)
        bufferGranted = askForBuffer(fd, ReceiveBufferBytes, true);
}

void Discovery::readPending()
{
    // With a reader, its wake-ups alone take the datagrams, a slice each, so
    // that one turn of the event loop never takes two slices.
    if (reader)
        return;
    // Without a reader the socket signals again while datagrams wait, so
    // returning after a slice loses nothing and lets the event loop run in
    // between.
    for (int n = 0; n < SliceDatagrams && udp->hasPendingDatagrams(); ++n) {
        const QNetworkDatagram datagram = udp->receiveDatagram();
        takeDatagram(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

// One slice of what the reader holds; while more waits, its notifier
// brings the next slice after the event loop has had its turn.
void Discovery::takeQueued()
{
    if (!reader)
        return;
    std::vector<DiscoveryReader::Datagram> slice;
    slice.reserve(SliceDatagrams);
    const bool more = reader->take(slice, SliceDatagrams);
    for (const DiscoveryReader::Datagram &d : slice)
        takeDatagram(d.head, d.sender, d.senderPort, d.size);
    if (!more)
        checkLosses();
}

// Once a burst is over: replies the kernel (or the full queue) dropped are
// traced, and the request goes out once more, since the nodes answer every
// request and known serials are dropped. Once a search.
void Discovery::checkLosses()
{
    if (lossTraced || !reader || !reader->quiet())
        return;
    const quint64 lost = reader->lost() - lostBefore;
    if (lost == 0)
        return;
    lossTraced = true;
    trace(TraceLevel::Warning, QString(), QStringLiteral("Discovery replies lost: ") + QString::number(lost));
    if (bufferGranted < ReceiveBufferBytes)
        trace(TraceLevel::Warning, QString(), QStringLiteral("Discovery receive buffer: ") + QString::number(bufferGranted));
    writeRequest();
}

void Discovery::takeDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort, qint64 size)
{
    if (size < 0)
        size = data.size();
    if (!wire::has(data, DeviceRecord::CommandOffset, 4) || DeviceRecord::command(data) != DiscoveryReply)
        return;

    const QString who = printable(DeviceRecord::serialNumber(data));
    const auto say = [&who](const QString &text) { trace(TraceLevel::Info, who, text); };
    say(QStringLiteral("Discovery response:"));
    say(QStringLiteral("Command: ") + QString::number(qint32(DeviceRecord::command(data))));
    say(QStringLiteral("Device: ") + QString::number(DeviceRecord::deviceType(data)));
    say(QStringLiteral("Label: ") + printable(DeviceRecord::deviceLabel(data)));
    say(QStringLiteral("Serial: ") + who);
    say(QStringLiteral("Sender: ") + sender.toString());
    say(QStringLiteral("Sender port: ") + QString::number(senderPort));
    say(QStringLiteral("Datagram size: ") + QString::number(size));

    // A reply too short to hold every field shown would be read past its
    // end: it is dropped like any other unacceptable reply.
    const quint32 type = DeviceRecord::deviceType(data);
    if (size < DeviceRecord::UsedSize || data.size() < DeviceRecord::UsedSize || DeviceRecord::replyStatus(data) != 0 ||
        (type != DeviceRecord::DeviceTypeApplication && type != DeviceRecord::DeviceTypeBootLoader) ||
        isKnownDevice(data, sender))
        return;
    if (kept.size() >= MaxEntries) {
        if (!fullTraced)
            trace(TraceLevel::Warning, QString(), QStringLiteral("Discovery list full: ") + QString::number(kept.size()));
        fullTraced = true;
        return;
    }

    // Only the record's own 512 bytes are kept, whatever the datagram held.
    NodeInfo node = NodeInfo::fromRecord(data.left(DeviceRecord::Size), sender);
    const int index = int(kept.size());
    const QList<int> twins = bySerial.values(node.serial);
    if (!twins.isEmpty()) {
        node.sharedSerial = true;
        for (const int twin : twins)
            kept[twin].sharedSerial = true;
    }
    bySerial.insert(node.serial, index);
    kept.append(std::move(node));
    emit nodeFound(index);
}

bool Discovery::isKnownDevice(const QByteArray &reply, const QHostAddress &sender) const
{
    const QByteArray serial = DeviceRecord::serialNumber(reply);
    if (opts.keep == DiscoveryOptions::Keep::FirstPerSerial)
        return bySerial.contains(serial);
    // Two nodes on one address with one serial differ in their MAC address.
    const QByteArray mac = reply.mid(DeviceRecord::MacOffset, DeviceRecord::MacSize);
    for (auto it = bySerial.constFind(serial); it != bySerial.constEnd() && it.key() == serial; ++it)
        if (kept.at(it.value()).address == sender && kept.at(it.value()).mac == mac)
            return true;
    return false;
}
