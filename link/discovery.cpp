#include "link/discovery.h"

#include "link/devicerecord.h"
#include "link/trace.h"

#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QVariant>
#include <sys/socket.h>

Discovery::Discovery(QObject *parent, Wiring wiring) : QObject(parent), udp(new QUdpSocket(this))
{
    if (wiring == Wiring::Internal)
        connect(udp, &QUdpSocket::readyRead, this, &Discovery::readPending);
}

bool Discovery::bind(const QHostAddress &localAddress)
{
    return udp->bind(localAddress, DiscoveryPort);
}

void Discovery::clear()
{
    senders.clear();
    kept.clear();
    serials.clear();
    fullTraced = false;
}

void Discovery::sendRequest()
{
    QByteArray request(DeviceRecord::Size, '\0');
    wire::putU32(request, DeviceRecord::CommandOffset, DiscoveryRequest);
    wire::putU16(request, DeviceRecord::StatusOffset, 0);
    raiseReceiveBuffer();
    udp->writeDatagram(request, QHostAddress(QHostAddress::Broadcast), DiscoveryPort);
    trace(QStringLiteral("Discovery msg sended."));
}

// The kernel grants at most twice net.core.rmem_max (425984 bytes on a stock
// system, room for about 330 replies). Where it grants less than asked, a
// privileged tool may still force it; otherwise the granted size is traced,
// so that a list cut short on a large site can be explained.
void Discovery::raiseReceiveBuffer()
{
    const auto granted = [this] {
        return udp->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt();
    };
    if (granted() >= ReceiveBufferBytes)
        return;
    udp->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, int(ReceiveBufferBytes));
    if (granted() >= ReceiveBufferBytes)
        return;
    const int size = ReceiveBufferBytes;
    const int fd = int(udp->socketDescriptor());
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
        return;
    trace(QStringLiteral("Discovery receive buffer: ") + QString::number(granted()));
}

void Discovery::readPending()
{
    // The socket signals again while datagrams wait, so returning after a
    // slice loses nothing and lets the event loop run in between.
    for (int n = 0; n < SliceDatagrams && udp->hasPendingDatagrams(); ++n) {
        const QNetworkDatagram datagram = udp->receiveDatagram();
        takeDatagram(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
}

void Discovery::takeDatagram(const QByteArray &data, const QHostAddress &sender, quint16 senderPort)
{
    if (!wire::has(data, DeviceRecord::CommandOffset, 4) || DeviceRecord::command(data) != DiscoveryReply)
        return;

    trace(QStringLiteral("Discovery response:"));
    trace(QStringLiteral("Command: ") + QString::number(qint32(DeviceRecord::command(data))));
    trace(QStringLiteral("Device: ") + QString::number(DeviceRecord::deviceType(data)));
    trace(QStringLiteral("Label: ") + printable(DeviceRecord::deviceLabel(data)));
    trace(QStringLiteral("Serial: ") + printable(DeviceRecord::serialNumber(data)));
    trace(QStringLiteral("Sender: ") + sender.toString());
    trace(QStringLiteral("Sender port: ") + QString::number(senderPort));
    trace(QStringLiteral("Datagram size: ") + QString::number(data.size()));

    // A reply too short to hold every field shown would be read past its
    // end: it is dropped like any other unacceptable reply.
    const quint32 type = DeviceRecord::deviceType(data);
    if (data.size() < DeviceRecord::UsedSize || DeviceRecord::replyStatus(data) != 0 ||
        (type != DeviceRecord::DeviceTypeApplication && type != DeviceRecord::DeviceTypeBootLoader) ||
        isKnownDevice(data))
        return;
    if (kept.size() >= MaxEntries) {
        if (!fullTraced)
            trace(QStringLiteral("Discovery list full: ") + QString::number(kept.size()));
        fullTraced = true;
        return;
    }

    // Only the record's own 512 bytes are kept, whatever the datagram held.
    kept.append(data.left(DeviceRecord::Size));
    senders.append(sender);
    serials.insert(DeviceRecord::serialNumber(data));
    emit nodeFound(int(kept.size()) - 1);
}

bool Discovery::isKnownDevice(const QByteArray &reply) const
{
    if (serials.size() != kept.size()) {
        serials.clear();
        for (const QByteArray &record : kept)
            serials.insert(DeviceRecord::serialNumber(record));
    }
    return serials.contains(DeviceRecord::serialNumber(reply));
}
