#include "app/mainwindow.h"

#include "link/trace.h"
#include "link/devicerecord.h"
#include "ui_mainwindow.h"

#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QTcpSocket>
#include <cstring>

namespace {

// Set on a box while it runs modally: whoever closes it then must leave the
// deletion to the code that is waiting in its exec().
const char *const runningProperty = "tarvoModalRun";

} // namespace

void MainWindow::connectBtnPressed()
{
    for (int i = 0; i < devices.size(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        if (item && item->isSelected()) {
            connectToIndex(i);
            return; // the list holds one selection at most
        }
    }
}

void MainWindow::connectToDevice(QListWidgetItem *item)
{
    dropConnection();
    for (int i = 0; i < devices.size(); ++i) {
        if (ui->listWidget->item(i) == item) {
            connectToIndex(i);
            return;
        }
    }
}

void MainWindow::connectToIndex(int index)
{
    if (index < 0 || index >= devices.size() || index >= deviceAddresses.size())
        return;
    dropConnection();
    const QByteArray &record = devices.at(index);
    std::memset(connectedSerial, 0, sizeof connectedSerial);
    if (wire::has(record, DeviceRecord::SerialOffset, DeviceRecord::SerialSize))
        std::memcpy(connectedSerial, record.constData() + DeviceRecord::SerialOffset, sizeof connectedSerial);
    connectedSerial[sizeof connectedSerial - 1] = '\0'; // at most 15 characters, always terminated
    trace(QStringLiteral("Connecting to: ") + deviceAddresses.at(index).toString());
    tcpSocket->connectToHost(deviceAddresses.at(index), DevicePort, QIODevice::ReadWrite);
    selectedDeviceIndex = index;
}

void MainWindow::dropConnection()
{
    if (tcpSocket->state() == QAbstractSocket::ConnectedState)
        tcpSocket->disconnectFromHost();
    // A pending attempt, or a close still flushing, would make the next
    // connectToHost() refuse to start: end it here.
    if (tcpSocket->state() != QAbstractSocket::UnconnectedState)
        tcpSocket->abort();
}

bool MainWindow::selectedIndexValid() const
{
    return selectedDeviceIndex >= 0 && selectedDeviceIndex < devices.size();
}

void MainWindow::deviceConnected()
{
    trace(QStringLiteral("connected"));
    sendMessage(GetConfig);
    setConnectedView();
}

void MainWindow::deviceDisconnected()
{
    trace(QStringLiteral("disconnected"));
    setDisconnectedView();
    clearPortFields();
}

void MainWindow::sendMessage(MessageCommand command)
{
    tcpSocket->write(wire::message(command));
}

void MainWindow::tcpMessageHandler()
{
    // Several messages may arrive in one segment: handle every block that
    // is there, or the later ones would wait for the next notification.
    while (tcpSocket->bytesAvailable() > 0) {
        const QByteArray message = tcpSocket->read(DeviceMessageSize);
        if (message.isEmpty())
            break;
        handleMessage(message);
    }
}

void MainWindow::handleMessage(const QByteArray &message)
{
    if (!wire::has(message, CommandOffset, 4)) {
        trace(QStringLiteral("Short message ignored: ") + QString::number(message.size()));
        return;
    }
    const quint32 word = wire::u32(message, CommandOffset);
    trace(QStringLiteral("TCP message received: ") + QString::number(qint32(word)));
    switch (word) {
    case GetConfig:
        handleConfigReply(message);
        break;
    case SetConfig:
        operationTimer.stop();
        closeStatusBox();
        handleConfigReply(message);
        break;
    case DefaultConfig:
        handleDefaultConfigReply(message);
        break;
    case ResetDevice:
        handleResetReply(message);
        break;
    case EraseSector:
        handleEraseReply(message);
        break;
    case ProgramPacket:
        handleProgramReply(message);
        break;
    case ReadCrc:
        handleCrcReply(message);
        break;
    default:
        trace(QStringLiteral("Unknown message: ") + QString::number(qint32(word)));
        break;
    }
}

void MainWindow::timerTimeout()
{
    closeStatusBox();
    trace(QStringLiteral("Timeout"));
    if (upgradeState == Idle) {
        trace(QStringLiteral("Timeout"));
        statusBox = new QMessageBox();
        statusBox->setWindowTitle(QStringLiteral("Set config status"));
        statusBox->setText(QStringLiteral("Setting new config timeout!"));
    } else {
        upgradeFile.close();
        upgradeState = Idle;
        statusBox = new QMessageBox();
        statusBox->setWindowTitle(QStringLiteral("Upgrade firmware status"));
        trace(QStringLiteral("Error during firmware update"));
        statusBox->setText(QStringLiteral("Firmware upgrade timeout!"));
    }
    statusBox->setIcon(QMessageBox::Warning);
    statusBox->setStandardButtons(QMessageBox::Ok);
    statusBox->setDefaultButton(QMessageBox::Ok);
    execStatusBox();
}

void MainWindow::closeStatusBox()
{
    if (!statusBox)
        return;
    QMessageBox *box = statusBox;
    statusBox = nullptr;
    if (box->property(runningProperty).toBool()) {
        box->close(); // its exec() returns and the waiting code deletes it
        return;
    }
    box->close();
    delete box;
}

void MainWindow::execStatusBox()
{
    QPointer<QMessageBox> box = statusBox;
    if (!box)
        return;
    box->setProperty(runningProperty, true);
    box->exec();
    if (statusBox == box)
        statusBox = nullptr;
    delete box.data();
}
