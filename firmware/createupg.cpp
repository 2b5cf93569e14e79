#include "app/mainwindow.h"

#include "link/trace.h"
#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>

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
