#include "app/mainwindow.h"

#include "firmware/firmwareupgrade.h"
#include "firmware/image.h"
#include "firmware/production.h"
#include "firmware/runapplication.h"
#include "firmware/upgradefile.h"
#include "firmware/upgrademessage.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QGridLayout>
#include <QInputDialog>
#include <QMessageBox>
#include <QProgressBar>
#include <QThread>

namespace {

const QString upgradeTitle = QStringLiteral("Upgrade firmware status");

enum : int { ResetSettleMs = 5000 };

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
    // check, so an unreadable, short, oversized or damaged file ends here.
    const UpgradeImage image = UpgradeImage::read(upgradeFileName);
    if (image.status == UpgradeImage::Unreadable) {
        showResult(QMessageBox::Warning, QStringLiteral("Upgrade file cannot be opened!"), false);
        return;
    }
    if (image.status != UpgradeImage::Ok) {
        showResult(QMessageBox::Warning, QStringLiteral("Upgrade file is damaged!"), false);
        return;
    }

    if (!selectedIndexValid()) {
        trace(QStringLiteral("No device selected"));
        return;
    }
    if (image.version == DeviceRecord::firmwareVersion(devices.at(selectedDeviceIndex))) {
        trace(QStringLiteral("Firmware version is the same!"));
        showResult(QMessageBox::Information, QStringLiteral("Upgrade version is the same as current firmware version."),
                   false);
        return;
    }

    closeStatusBox(); // a box left from an earlier operation is not leaked
    statusBox = new QMessageBox(QMessageBox::Information, upgradeTitle,
                                QStringLiteral("Upgrading firmware, please wait..."));
    statusBox->setStandardButtons(QMessageBox::NoButton);
    // The transfer's progress under the box's text: packets sent of all.
    upgradeProgress = new QProgressBar(statusBox);
    upgradeProgress->setRange(0, int(UpgradeMessage::packetCount(image.image.size())));
    upgradeProgress->setValue(0);
    progressShown.invalidate();
    if (auto *grid = qobject_cast<QGridLayout *>(statusBox->layout()))
        grid->addWidget(upgradeProgress, grid->rowCount(), 0, 1, grid->columnCount());
    statusBox->setModal(true);
    statusBox->show();

    upgrade->start(image);
}

// The result boxes are shown once the reply's handler has returned, so
// that the connection is read on while one is open.
void MainWindow::upgradeFinished(FirmwareUpgrade::Result result)
{
    switch (result) {
    case FirmwareUpgrade::Result::Completed:
        settleAndSearch();
        showUpgradeResult(QMessageBox::Information, QStringLiteral("Firmware upgrade completed!"));
        break;
    case FirmwareUpgrade::Result::RestartUnconfirmed:
        settleAndSearch();
        showUpgradeResult(QMessageBox::Warning,
                          QStringLiteral("Firmware written and verified, but the device did not confirm its restart. "
                                         "Search again if it is not listed."));
        break;
    case FirmwareUpgrade::Result::ChecksumMismatch:
        closeStatusBox();
        showUpgradeResult(QMessageBox::Warning, QStringLiteral("Firmware upgrade failed!"));
        break;
    case FirmwareUpgrade::Result::TimedOut:
        break; // timerTimeout() shows its own box
    }
}

// The node restarts; it answers discovery again only after a while, so the
// search that shows it waits for it, whether or not it confirmed.
void MainWindow::settleAndSearch()
{
    QThread::msleep(ResetSettleMs);
    closeStatusBox();
    searchForDevices();
}

void MainWindow::showUpgradeResult(int icon, const QString &text)
{
    QMetaObject::invokeMethod(
        this, [icon, text] { showResult(QMessageBox::Icon(icon), text, true); }, Qt::QueuedConnection);
}

void MainWindow::runApp()
{
    runApplication(*session);
}

// Production: turns a raw firmware image into a checksummed, scrambled
// upgrade file in <program folder>/Upgrade. Only failures are reported.
void MainWindow::createUpg()
{
    const QString path = QFileDialog::getOpenFileName(this, tr("Open File"), QStringLiteral("./"), tr("Bin (*.bin)"));
    if (path.isEmpty()) {
        trace(QStringLiteral("No file chosen"));
        return;
    }
    QFile source(path);
    if (!source.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Error opening file!"));
        return;
    }
    trace(QString::number(source.size()));
    const QByteArray raw = source.read(ImageInfo::ImageSize);
    source.close();

    const UpgradeFile upgrade = buildUpgradeFile(raw);
    if (upgrade.result == UpgradeFile::BrandError) {
        // The working folder is left as it was.
        closeStatusBox();
        statusBox = new QMessageBox(QMessageBox::Warning, QStringLiteral("Brand error"),
                                    QStringLiteral("ACHTUNG! Wybrales zly brand!"));
        execStatusBox();
        return;
    }

    // The program folder stays the current folder afterwards, whether the
    // file could be written or not.
    QDir::setCurrent(QCoreApplication::applicationDirPath());
    if (upgrade.result != UpgradeFile::Ok ||
        !saveWhole(programSubfolder(QStringLiteral("Upgrade")), upgrade.fileName, upgrade.data))
        trace(QStringLiteral("Upg file creating failed!"));
}

void MainWindow::createBootBin()
{
    const QString bootPath =
        QFileDialog::getOpenFileName(this, tr("Open Bootloader File"), QStringLiteral("./"), tr("Bin (*.bin)"));
    if (bootPath.isEmpty())
        return;
    const QString firmwarePath =
        QFileDialog::getOpenFileName(this, tr("Open Firmware File"), QStringLiteral("./"), tr("Bin (*.bin)"));
    if (firmwarePath.isEmpty())
        return;

    production::SeriesInput input;
    const QDate today = QDate::currentDate();
    bool ok = false;
    input.year = QInputDialog::getInt(this, QStringLiteral("Year"), QStringLiteral("Choose year: "),
                                      today.year() - 2000, 10, 99, 1, &ok);
    if (!ok)
        return;
    input.week = QInputDialog::getInt(this, QStringLiteral("Week"), QStringLiteral("Choose week: "),
                                      today.weekNumber(), 1, 53, 1, &ok);
    if (!ok)
        return;
    input.startNumber = QInputDialog::getInt(this, QStringLiteral("Start number"),
                                             QStringLiteral("Choose start number: "), 0, 0, 9999, 1, &ok);
    if (!ok)
        return;
    input.deviceCount = QInputDialog::getInt(this, QStringLiteral("Device number"),
                                             QStringLiteral("Choose device number: "), 1, 1, 9999, 1, &ok);
    if (!ok)
        return;
    input.macText = QInputDialog::getText(this, QStringLiteral("MAC"), QStringLiteral("MAC address: "),
                                          QLineEdit::Normal, QStringLiteral("0"), &ok);
    if (!ok)
        return;

    // A refusal is the operation's box while it is open, and gone afterwards.
    const auto refused = [this](const production::Refusal &refusal) {
        if (!refusal.refused())
            return false;
        closeStatusBox();
        statusBox = new QMessageBox(QMessageBox::Warning, refusal.title, refusal.text);
        execStatusBox();
        return true;
    };

    production::FactorySeries series(input);
    if (refused(series.checkInput()))
        return;
    series.traceInput();
    if (!series.loadBootLoader(bootPath) || refused(series.checkBootLoader()))
        return;
    if (!series.loadFirmware(firmwarePath) || refused(series.checkFirmware()))
        return;

    const QString programFolder = QCoreApplication::applicationDirPath();
    QDir::setCurrent(programFolder);
    const QString folder = programSubfolder(QStringLiteral("BootBin"));
    QDir::setCurrent(folder);
    for (int i = 0; i < series.count(); ++i) {
        // After a failure the remaining devices are not produced.
        if (!series.writeDevice(folder, i))
            return;
    }
    QDir::setCurrent(programFolder);
}
