#ifndef TARVO_IMAGE_H
#define TARVO_IMAGE_H

#include "link/trace.h"
#include "link/messages.h"

#include <QByteArray>
#include <QtEndian>
#include <cstdint>

// Layout of a raw firmware image: 128 KiB with the ImageInfo block at its end.
struct ImageInfo {
    enum : int {
        ImageSize = 0x20000,
        Offset = 0x1FFC0, // of the block within the image
        Size = 64,
        VersionOffset = 16, // within the block
        VersionSize = 24,
        BrandOffset = 40,
        ChecksumOffset = 60,
        ChecksumImageOffset = Offset + ChecksumOffset, // 0x1FFFC
        VerifiedSize = ChecksumImageOffset,             // bytes a verifier sums
    };

    // Field readers over an image; none of them reads past the block, nor
    // past the end of a shorter buffer.
    static QByteArray versionText(const QByteArray &image)
    {
        // Ends at its first zero byte; without one it stops at the block's end.
        return wire::text(image, Offset + VersionOffset, Size - VersionOffset);
    }
    static quint16 brand(const QByteArray &image) { return wire::u16(image, Offset + BrandOffset); }
    static quint32 checksum(const QByteArray &image) { return wire::u32(image, ChecksumImageOffset); }
};

static_assert(ImageInfo::Offset + ImageInfo::Size == ImageInfo::ImageSize, "info block ends the image");
static_assert(ImageInfo::VersionOffset + ImageInfo::VersionSize == ImageInfo::BrandOffset, "version ends at brand");
static_assert(ImageInfo::ChecksumImageOffset == 0x1FFFC, "checksum at the last word");

// The product's fixed scrambling table (docs/FIRMWARE.md). The nodes' boot
// loaders and the emulator hold the same 32 words; changing one makes every
// upgrade file unreadable to them.
inline constexpr quint32 scrambleKey[32] = {
    0x6A09E667u, 0xBB67AE85u, 0x3C6EF372u, 0xA54FF53Au, 0x510E527Fu, 0x9B05688Cu, 0x1F83D9ABu, 0x5BE0CD19u,
    0x428A2F98u, 0x71374491u, 0xB5C0FBCFu, 0xE9B5DBA5u, 0x3956C25Bu, 0x59F111F1u, 0x923F82A4u, 0xAB1C5ED5u,
    0xD807AA98u, 0x12835B01u, 0x243185BEu, 0x550C7DC3u, 0x72BE5D74u, 0x80DEB1FEu, 0x9BDC06A7u, 0xC19BF174u,
    0xE49B69C1u, 0xEFBE4786u, 0x0FC19DC6u, 0x240CA1CCu, 0x2DE92C6Fu, 0x4A7484AAu, 0x5CB0A9DCu, 0x76F988DAu,
};

// Byte sum modulo 2^32; producers sum the whole image, verifiers all but
// the checksum word.
inline quint32 imageChecksumQuiet(const unsigned char *data, qint64 length)
{
    quint32 sum = 0;
    for (qint64 i = 0; i < length; ++i)
        sum += data[i];
    return sum;
}

inline quint32 imageChecksum(const unsigned char *data, qint64 length)
{
    const quint32 sum = imageChecksumQuiet(data, length);
    trace(QStringLiteral("Calculated CRC: ") + QString::number(sum));
    return sum;
}

inline int encodeImage(unsigned char *data, qint64 length)
{
    const qint64 words = length / 4;
    trace(QString::asprintf("Encoding started @ 0x%08llx", static_cast<unsigned long long>(reinterpret_cast<quintptr>(data))));
    for (qint64 i = 0; i < words; ++i) {
        unsigned char *p = data + i * 4;
        const quint32 k = scrambleKey[i % 32];
        qToLittleEndian<quint32>((qFromLittleEndian<quint32>(p) ^ k) + k, p);
    }
    trace(QString::asprintf("Encoding end @ 0x%08llx",
                            static_cast<unsigned long long>(reinterpret_cast<quintptr>(data + words * 4))));
    return 0;
}

inline int decodeImage(unsigned char *data, qint64 length)
{
    const qint64 words = length / 4;
    for (qint64 i = 0; i < words; ++i) {
        unsigned char *p = data + i * 4;
        const quint32 k = scrambleKey[i % 32];
        qToLittleEndian<quint32>((qFromLittleEndian<quint32>(p) - k) ^ k, p);
    }
    return 0;
}

inline unsigned char *bytes(QByteArray &data)
{
    return reinterpret_cast<unsigned char *>(data.data());
}

inline const unsigned char *bytes(const QByteArray &data)
{
    return reinterpret_cast<const unsigned char *>(data.constData());
}

#endif
