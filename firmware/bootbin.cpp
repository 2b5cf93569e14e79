#include "app/mainwindow.h"

#include "firmware/production.h"
#include "firmware/upgradefile.h"

#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

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
