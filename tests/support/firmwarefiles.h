#ifndef TARVO_TEST_FIRMWAREFILES_H
#define TARVO_TEST_FIRMWAREFILES_H

#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <QDir>
#include <QFile>

namespace fw {

// A raw 128 KiB image with varied code bytes, a version, a brand and four
// zero bytes where the checksum goes.
inline QByteArray rawImage(const QByteArray &version, quint16 brand = 0, int seed = 1)
{
    QByteArray image(ImageInfo::ImageSize, '\0');
    for (int i = 0; i < ImageInfo::Offset; ++i)
        image[i] = char((i * 7 + seed * 13 + (i >> 9)) & 0xff);
    wire::putText(image, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, version);
    wire::putU16(image, ImageInfo::Offset + ImageInfo::BrandOffset, brand);
    return image;
}

inline QByteArray decoded(QByteArray data)
{
    decodeImage(bytes(data), data.size());
    return data;
}

inline QString writeFile(const QString &dir, const QString &name, const QByteArray &data)
{
    QFile f(QDir(dir).filePath(name));
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() ? f.fileName() : QString();
}

inline QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace fw

#endif
