#include "app/mainwindow.h"

#include "link/trace.h"
#include "link/devicerecord.h"
#include "ui_mainwindow.h"

#include <QListWidget>
#include <QNetworkDatagram>
#include <QTcpSocket>
#include <QUdpSocket>
#include <cstring>
#include <sys/socket.h>

namespace {

// Replies of many nodes arrive in one burst while the window is busy with
// the first of them; a roomy receive buffer keeps the rest from being lost.
constexpr int discoveryReceiveBuffer = 8 * 1024 * 1024;

QString latin1(const QByteArray &text)
{
    return QString::fromLatin1(text);
}

} // namespace

void MainWindow::searchForDevices()
{
    deviceAddresses.clear();
    devices.clear();
    ui->listWidget->clear();
    clearDeviceDetails();

    QByteArray request(DeviceRecord::Size, '\0');
    wire::putU32(request, DeviceRecord::CommandOffset, DiscoveryRequest);
    wire::putU16(request, DeviceRecord::StatusOffset, 0);

    dropConnection();

    raiseReceiveBuffer();
    udpSocket->writeDatagram(request, QHostAddress(QHostAddress::Broadcast), DiscoveryPort);
    trace(QStringLiteral("Discovery msg sended."));
}

// The kernel grants at most twice net.core.rmem_max (425984 bytes on a stock
// system, room for about 330 replies). Where it grants less than asked, a
// privileged tool may still force it; otherwise the granted size is traced,
// so that a list cut short on a large site can be explained.
void MainWindow::raiseReceiveBuffer()
{
    if (udpSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() >= discoveryReceiveBuffer)
        return;
    udpSocket->setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, discoveryReceiveBuffer);
    if (udpSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt() >= discoveryReceiveBuffer)
        return;
    const int size = discoveryReceiveBuffer;
    const int fd = int(udpSocket->socketDescriptor());
    if (fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) == 0)
        return;
    trace(QStringLiteral("Discovery receive buffer: ") +
          QString::number(udpSocket->socketOption(QAbstractSocket::ReceiveBufferSizeSocketOption).toInt()));
}

void MainWindow::discoveryResponseMessage()
{
    while (udpSocket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = udpSocket->receiveDatagram();
        const QByteArray data = datagram.data();
        if (!wire::has(data, DeviceRecord::CommandOffset, 4) || DeviceRecord::command(data) != DiscoveryReply)
            continue;

        trace(QStringLiteral("Discovery response:"));
        trace(QStringLiteral("Command: ") + QString::number(qint32(DeviceRecord::command(data))));
        trace(QStringLiteral("Device: ") + QString::number(DeviceRecord::deviceType(data)));
        trace(QStringLiteral("Label: ") + latin1(DeviceRecord::deviceLabel(data)));
        trace(QStringLiteral("Serial: ") + latin1(DeviceRecord::serialNumber(data)));
        trace(QStringLiteral("Sender: ") + datagram.senderAddress().toString());
        trace(QStringLiteral("Sender port: ") + QString::number(datagram.senderPort()));
        trace(QStringLiteral("Datagram size: ") + QString::number(data.size()));

        // A reply too short to hold every field shown would be read past
        // its end: it is dropped like any other unacceptable reply.
        const quint32 type = DeviceRecord::deviceType(data);
        if (data.size() < DeviceRecord::UsedSize || DeviceRecord::replyStatus(data) != 0 ||
            (type != DeviceRecord::DeviceTypeApplication && type != DeviceRecord::DeviceTypeBootLoader) ||
            isKnownDevice(data))
            continue;

        addDeviceEntry(data);
        deviceAddresses.append(datagram.senderAddress());
    }
}

void MainWindow::displayDevice()
{
    for (int i = 0; i < devices.size(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        if (!item || !item->isSelected())
            continue;
        const QByteArray &record = devices.at(i);
        ui->DeviceLabelLine->setText(latin1(DeviceRecord::deviceLabel(record)));
        ui->DevNameLabel->setText(latin1(DeviceRecord::deviceName(record)));
        ui->FirmwareLabel->setText(latin1(DeviceRecord::firmwareVersion(record)));
        ui->SerialNoLabel->setText(latin1(DeviceRecord::serialNumber(record)));
        ui->IPLine->setText(wire::dottedQuad(record, DeviceRecord::IpOffset));
        ui->SubnetLine->setText(wire::dottedQuad(record, DeviceRecord::MaskOffset));
        ui->GatewayLine->setText(wire::dottedQuad(record, DeviceRecord::GatewayOffset));
        ui->MACLabel->setText(DeviceRecord::macText(record));

        const QByteArray connected(connectedSerial, int(qstrnlen(connectedSerial, sizeof connectedSerial)));
        if (tcpSocket->state() == QAbstractSocket::ConnectedState && connected == DeviceRecord::serialNumber(record)) {
            trace(QStringLiteral("This device is connected"));
            showPortConfig(lastConfigMessage);
            setConnectedView();
        } else {
            trace(QStringLiteral("This device is not conneted"));
            setDisconnectedView();
            clearPortFields();
        }
    }
}

void MainWindow::clearDeviceDetails()
{
    ui->DevNameLabel->setText(QString());
    ui->IPLine->setText(QString());
    ui->MACLabel->setText(QString());
    ui->SubnetLine->setText(QString());
    ui->FirmwareLabel->setText(QString());
    ui->SerialNoLabel->setText(QString());
    ui->GatewayLine->setText(QString());
    ui->DeviceLabelLine->setText(QString());
}

void MainWindow::addDeviceEntry(const QByteArray &datagram)
{
    auto *item = new QListWidgetItem(ui->listWidget);
    const QString label = latin1(DeviceRecord::deviceLabel(datagram));
    if (DeviceRecord::deviceType(datagram) == DeviceRecord::DeviceTypeBootLoader) {
        item->setText(label + QStringLiteral(" bootloader"));
        QFont font;
        font.setWeight(QFont::Bold);
        item->setFont(font);
    } else {
        item->setText(label);
    }
    devices.append(datagram);
}

bool MainWindow::isKnownDevice(const QByteArray &datagram) const
{
    const QByteArray serial = DeviceRecord::serialNumber(datagram);
    for (const QByteArray &kept : devices)
        if (DeviceRecord::serialNumber(kept) == serial)
            return true;
    return false;
}
