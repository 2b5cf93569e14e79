#include "app/mainwindow.h"

#include "config/configexchange.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"
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

void MainWindow::searchForDevices()
{
    deviceAddresses.clear();
    devices.clear();
    discovery->clear();
    ui->listWidget->clear();
    clearDeviceDetails();
    session->drop();
    discovery->sendRequest();
}

void MainWindow::discoveryResponseMessage()
{
    discovery->readPending();
}

// A reply the engine accepted: its list entry, then its record and address.
void MainWindow::addDeviceEntry(int index)
{
    const NodeInfo &node = discovery->nodes().at(index);
    auto *item = new QListWidgetItem(ui->listWidget);
    // A node's label is shown on one line, as the node sent it.
    const QString label = shownText(node.label);
    if (node.bootLoader()) {
        item->setText(label + QStringLiteral(" bootloader"));
        QFont font;
        font.setWeight(QFont::Bold);
        item->setFont(font);
    } else {
        item->setText(label);
    }
    devices.append(node.record);
    deviceAddresses.append(node.address);
}

void MainWindow::displayDevice()
{
    for (int i = 0; i < devices.size(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        if (!item || !item->isSelected())
            continue;
        const QByteArray &record = devices.at(i);
        // The label field is edited and sent back: it holds the label as the
        // node sent it, so that an untouched form returns it byte for byte.
        // The read-only texts are shown as sent, only their control
        // characters made visible.
        ui->DeviceLabelLine->setText(QString::fromLatin1(DeviceRecord::deviceLabel(record)));
        ui->DevNameLabel->setText(shownText(DeviceRecord::deviceName(record)));
        ui->FirmwareLabel->setText(shownText(DeviceRecord::firmwareVersion(record)));
        ui->SerialNoLabel->setText(shownText(DeviceRecord::serialNumber(record)));
        ui->IPLine->setText(wire::dottedQuad(record, DeviceRecord::IpOffset));
        ui->SubnetLine->setText(wire::dottedQuad(record, DeviceRecord::MaskOffset));
        ui->GatewayLine->setText(wire::dottedQuad(record, DeviceRecord::GatewayOffset));
        ui->MACLabel->setText(DeviceRecord::macText(record));

        if (session->isConnected() && isConnectedSerial(record)) {
            trace(QStringLiteral("This device is connected"));
            showPortConfig(config->lastConfigMessage());
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
    session->drop();
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
    session->drop();
    setConnectedSerial(devices.at(index));
    session->connectToNode(deviceAddresses.at(index));
    selectedDeviceIndex = index;
}

void MainWindow::setConnectedSerial(const QByteArray &record)
{
    const QByteArray serial = DeviceRecord::serialNumber(record).left(int(sizeof connectedSerial) - 1);
    std::memset(connectedSerial, 0, sizeof connectedSerial);
    std::memcpy(connectedSerial, serial.constData(), size_t(serial.size()));
}

bool MainWindow::isConnectedSerial(const QByteArray &record) const
{
    const QByteArray connected(connectedSerial, int(qstrnlen(connectedSerial, sizeof connectedSerial)));
    return DeviceRecord::serialNumber(record).left(int(sizeof connectedSerial) - 1) == connected;
}

bool MainWindow::selectedIndexValid() const
{
    return selectedDeviceIndex >= 0 && selectedDeviceIndex < devices.size();
}

void MainWindow::deviceConnected()
{
    session->handleConnected();
    config->requestConfig();
    setConnectedView();
}

void MainWindow::deviceDisconnected()
{
    session->handleDisconnected();
    setDisconnectedView();
    clearPortFields();
}

void MainWindow::tcpMessageHandler()
{
    session->readPending();
}

void MainWindow::timerTimeout()
{
    closeStatusBox();
    // Nothing but a configuration write is guarded while no upgrade runs.
    const bool configWrite = upgrade->state() == Idle;
    if (configWrite)
        config->handleWriteTimeout();
    else
        upgrade->handleTimeout();
    statusBox = new QMessageBox();
    if (configWrite) {
        statusBox->setWindowTitle(QStringLiteral("Set config status"));
        statusBox->setText(QStringLiteral("Setting new config timeout!"));
    } else {
        statusBox->setWindowTitle(QStringLiteral("Upgrade firmware status"));
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
