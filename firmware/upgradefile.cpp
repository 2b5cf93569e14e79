#include "firmware/upgradefile.h"

#include "base/wholefile.h"
#include "link/trace.h"
#include "firmware/image.h"

#include <QCoreApplication>
#include <QDir>

#include <cstring>

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
        !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

UpgradeFile buildUpgradeFile(const QByteArray &raw)
{
    UpgradeFile out;
    QByteArray image(ImageInfo::ImageSize, '\0');
    std::memcpy(image.data(), raw.constData(), size_t(qMin<qsizetype>(raw.size(), ImageInfo::ImageSize)));

    // Producers sum the whole image as read, old checksum word included.
    const quint32 sum = imageChecksum(bytes(image), ImageInfo::ImageSize);
    wire::putU32(image, ImageInfo::ChecksumImageOffset, sum);

    // The name part before the version already ends in "_v", so the
    // version's own leading character is dropped.
    out.fileName = QStringLiteral("Tarvo_v") + QString::fromLatin1(ImageInfo::versionText(image).mid(1)) +
        QStringLiteral(".upg");
    trace(QStringLiteral("Filename: \"") + out.fileName + QLatin1Char('"'));

    if (ImageInfo::brand(image) != 0) {
        out.result = UpgradeFile::BrandError;
        return out;
    }
    encodeImage(bytes(image), ImageInfo::ImageSize);
    if (!isPlainFileName(out.fileName)) {
        out.result = UpgradeFile::UnsafeName;
        return out;
    }
    out.data = image;
    return out;
}

bool saveWhole(const QString &folder, const QString &name, const QByteArray &data)
{
    if (!isPlainFileName(name))
        return false;
    return writeFileWhole(QDir(folder).filePath(name), data);
}

QString programSubfolder(const QString &name)
{
    QDir program(QCoreApplication::applicationDirPath());
    program.mkpath(name);
    return program.filePath(name);
}
