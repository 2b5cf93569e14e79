#include "app/mainwindow.h"

#include "link/trace.h"
#include "firmware/image.h"
#include "firmware/upgrademessage.h"
#include "link/devicerecord.h"

#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QTcpSocket>
#include <QThread>
#include <cstring>
#include <limits>

namespace {

using M = UpgradeMessage;

enum : int {
    UpgradeTimeoutMs = 20000,
    ResetSettleMs = 5000,
};

const QString upgradeTitle = QStringLiteral("Upgrade firmware status");

void showResult(QMessageBox::Icon icon, const QString &text, bool defaultOk)
{
    QMessageBox box(icon, upgradeTitle, text);
    if (defaultOk) {
        box.setStandardButtons(QMessageBox::Ok);
        box.setDefaultButton(QMessageBox::Ok);
    }
    box.exec();
}

} // namespace

void MainWindow::updateFirmware()
{
    upgradeFileName = QFileDialog::getOpenFileName(this, tr("Open upg file"), QStringLiteral("./"),
                                                   tr("Upgrade Files (*.upg)"));
    if (upgradeFileName.isEmpty()) {
        trace(QStringLiteral("File not found"));
        return;
    }

    // A node must never be erased for a file that has not passed every
    // check below, so an unreadable or short file ends here.
    QFile file(upgradeFileName);
    if (!file.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Error opening file!"));
        showResult(QMessageBox::Warning, QStringLiteral("Upgrade file cannot be opened!"), false);
        return;
    }
    QByteArray image = file.read(ImageInfo::ImageSize);
    file.close();
    if (image.size() < ImageInfo::ImageSize) {
        trace(QStringLiteral("Upgrade file too short: ") + QString::number(image.size()));
        showResult(QMessageBox::Warning, QStringLiteral("Upgrade file is damaged!"), false);
        return;
    }

    decodeImage(bytes(image), ImageInfo::ImageSize);
    const quint32 stored = ImageInfo::checksum(image);
    if (imageChecksum(bytes(image), ImageInfo::VerifiedSize) != stored || ImageInfo::brand(image) != 0) {
        trace(QStringLiteral("CRC error: ") + QString::number(stored));
        showResult(QMessageBox::Warning, QStringLiteral("Upgrade file is damaged!"), false);
        return;
    }

    if (!selectedIndexValid()) {
        trace(QStringLiteral("No device selected"));
        return;
    }
    if (ImageInfo::versionText(image) == DeviceRecord::firmwareVersion(devices.at(selectedDeviceIndex))) {
        trace(QStringLiteral("Firmware version is the same!"));
        showResult(QMessageBox::Information, QStringLiteral("Upgrade version is the same as current firmware version."),
                   false);
        return;
    }

    closeStatusBox(); // a box left from an earlier operation is not leaked
    statusBox = new QMessageBox(QMessageBox::Information, upgradeTitle,
                                QStringLiteral("Upgrading firmware, please wait..."));
    statusBox->setStandardButtons(QMessageBox::NoButton);
    statusBox->setModal(true);
    statusBox->show();

    operationTimer.setSingleShot(true);
    operationTimer.start(UpgradeTimeoutMs);
    upgradeState = EraseRequested;
    trace(QStringLiteral("Erase Sector..."));
    sendMessage(EraseSector);
}

// The transfer is lock-step: each packet waits for the one before to be
// acknowledged, so it goes out now rather than on the next turn of the
// event loop.
void MainWindow::sendPacket(qint64 n)
{
    tcpSocket->write(M::programPacket(firmwareImage, n));
    tcpSocket->flush();
}

// Taken in any state: a late erase reply after a time-out still starts the
// transfer.
void MainWindow::handleEraseReply(const QByteArray &)
{
    trace(QStringLiteral("Sector erased!"));
    // A second erase reply must find the file closed to reopen it.
    upgradeFile.close();
    upgradeFile.setFileName(upgradeFileName);
    if (!upgradeFile.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Error opening file!"));
        return;
    }
    const qint64 size = upgradeFile.size();
    firmwareImage = QByteArray(size, '\0');
    upgradeFile.read(firmwareImage.data(), size);

    packetNumber = 0;
    trace(QString::number(decodeImage(bytes(firmwareImage), firmwareImage.size())));
    sendPacket(0);
    upgradeState = Programming;
}

// The node's acknowledgement names the packet it took; the one after it is
// sent, whatever was sent before.
void MainWindow::handleProgramReply(const QByteArray &message)
{
    if (upgradeState == Idle)
        return;
    if (!wire::has(message, M::PacketNumberOffset, 4)) {
        trace(QStringLiteral("Program reply too short: ") + QString::number(message.size()));
        return;
    }
    const qint32 acknowledged = qint32(wire::u32(message, M::PacketNumberOffset));
    if (acknowledged < 0) {
        trace(QStringLiteral("Invalid packet number: ") + QString::number(acknowledged));
        return;
    }
    // 64 bits: the number after INT_MAX and its offset must not wrap.
    const qint64 n = qint64(acknowledged) + 1;
    packetNumber = int(qMin<qint64>(n, std::numeric_limits<int>::max()));
    if (n * M::PacketSize < firmwareImage.size()) {
        sendPacket(n);
        trace(QStringLiteral("Program packet nr: ") + QString::number(n));
    } else {
        trace(QStringLiteral("program transfer completed! ") + QString::number(n));
        upgradeState = CrcRequested;
        sendMessage(ReadCrc);
    }
}

// Taken in any state, as long as a whole image is loaded to compare with.
void MainWindow::handleCrcReply(const QByteArray &message)
{
    if (!wire::has(message, M::CrcOffset, 4)) {
        trace(QStringLiteral("CRC reply too short: ") + QString::number(message.size()));
        return;
    }
    if (firmwareImage.size() < ImageInfo::VerifiedSize) {
        trace(QStringLiteral("CRC reply ignored, no firmware image loaded"));
        return;
    }
    const quint32 nodeSum = wire::u32(message, M::CrcOffset);
    trace(QStringLiteral("CRC: ") + QString::number(nodeSum));
    if (imageChecksum(bytes(firmwareImage), ImageInfo::VerifiedSize) == nodeSum) {
        trace(QStringLiteral("CRC OK"));
        operationTimer.stop();
        upgradeState = ResetRequested;
        sendMessage(ResetDevice);
        return;
    }
    trace(QStringLiteral("CRC error!"));
    closeStatusBox();
    upgradeFile.close();
    operationTimer.stop();
    upgradeState = Idle;
    showResult(QMessageBox::Warning, QStringLiteral("Firmware upgrade failed!"), true);
}

void MainWindow::handleResetReply(const QByteArray &)
{
    if (upgradeState != ResetRequested)
        return;
    trace(QStringLiteral("Reset after firmware flashing"));
    upgradeState = Idle;
    // The node restarts; it answers discovery again only after a while.
    QThread::msleep(ResetSettleMs);
    closeStatusBox();
    upgradeFile.close();
    searchForDevices();
    showResult(QMessageBox::Information, QStringLiteral("Firmware upgrade completed!"), true);
}
