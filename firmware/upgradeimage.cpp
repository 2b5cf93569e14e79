#include "firmware/upgradeimage.h"

#include "firmware/image.h"
#include "link/trace.h"

#include <QFile>
#include <QFileInfo>

namespace {

// An image as built, before scrambling, shows its information block in
// plain text: brand 0 and a printable version. Scrambled bytes read that
// way are noise.
bool looksRaw(const QByteArray &image)
{
    const QByteArray version = ImageInfo::versionText(image);
    if (ImageInfo::brand(image) != 0 || version.isEmpty())
        return false;
    for (const char c : version)
        if (c < 0x20 || c > 0x7e)
            return false;
    return true;
}

} // namespace

UpgradeImage UpgradeImage::read(const QString &path)
{
    UpgradeImage out;
    const QFileInfo info(path);
    // Opening a FIFO or a device could block for ever, or read without end.
    if (info.exists() && !info.isFile()) {
        trace(QStringLiteral("Error opening file!"));
        out.error = QStringLiteral("not a regular file");
        return out;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Error opening file!"));
        out.error = file.errorString();
        return out;
    }
    // One read, bounded: whatever the file turns into afterwards, these
    // bytes are the ones checked and sent.
    const QByteArray bytesRead = file.read(MaxFileSize + 1);
    if (file.error() != QFileDevice::NoError) {
        trace(QStringLiteral("Error opening file!"));
        out.error = file.errorString();
        return out;
    }
    const qint64 onDisk = file.size();
    file.close();
    out = check(bytesRead);
    if (out.status == TooLarge)
        trace(QStringLiteral("Upgrade file too large: ") + QString::number(qMax(out.size, onDisk)));
    return out;
}

UpgradeImage UpgradeImage::check(const QByteArray &bytesRead)
{
    UpgradeImage out;
    out.file = bytesRead;
    out.size = out.file.size();
    if (out.size < ImageInfo::ImageSize) {
        trace(QStringLiteral("Upgrade file too short: ") + QString::number(out.size));
        out.status = TooShort;
        return out;
    }
    if (out.size > MaxFileSize) {
        out.status = TooLarge;
        return out;
    }
    out.image = out.file;
    decodeImage(bytes(out.image), out.image.size());
    const QByteArray checked = out.image.left(ImageInfo::ImageSize);
    const quint32 stored = ImageInfo::checksum(checked);
    if (imageChecksum(bytes(checked), ImageInfo::VerifiedSize) != stored || ImageInfo::brand(checked) != 0) {
        trace(QStringLiteral("CRC error: ") + QString::number(stored));
        // Someone picked the production tool's input instead of its output.
        out.status = looksRaw(out.file.left(ImageInfo::ImageSize)) ? RawImage : Damaged;
        out.image.clear();
        return out;
    }
    out.version = ImageInfo::versionText(checked);
    out.status = Ok;
    return out;
}
