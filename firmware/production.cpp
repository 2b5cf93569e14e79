#include "firmware/production.h"

#include "firmware/upgradefile.h"

#include <QFile>
#include <cstring>

namespace production {

namespace {

const char *const serialRangeText = "POZOR! Serial number poza zakresem! Stay focused!";

QString fieldText(const QByteArray &data, int offset, int size)
{
    return QString::fromLatin1(wire::text(data, offset, size));
}

} // namespace

bool readImageFile(const QString &path, QByteArray &image, qint64 *fileSize)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    if (fileSize)
        *fileSize = file.size();
    image = QByteArray(ImageInfo::ImageSize, '\0');
    qint64 filled = 0;
    while (filled < image.size()) {
        const qint64 n = file.read(image.data() + filled, image.size() - filled);
        if (n <= 0)
            break;
        filled += n;
    }
    return true;
}

Refusal FactorySeries::checkInput() const
{
    // The serial counter has four digits; 9999 itself stays unused.
    if (in.startNumber + in.deviceCount > 9999)
        return {QStringLiteral("Device number error"), QString::fromLatin1(serialRangeText)};
    bool ok = false;
    const quint64 offset = parseMacOffset(in.macText, &ok);
    // Compared in 64 bits: a huge offset must not wrap round into the block.
    if (!ok || offset + quint64(in.deviceCount) > quint64(macBlockSize))
        return {QStringLiteral("MAC Address error"), QStringLiteral("ACHTUNG! Adresy MAC poza zakresem!")};
    return {};
}

void FactorySeries::traceInput() const
{
    trace(QStringLiteral("Week: %1\nYear: %2\nStart num: %3").arg(in.week).arg(in.year).arg(in.startNumber));
    trace(QStringLiteral("Iterations: %1\nMAC: \"%2\"").arg(in.deviceCount).arg(in.macText));
    QByteArray serial;
    unsigned char mac[BootInfo::MacSize];
    makeSerialAndMac(serial, mac, in.year, in.week, in.startNumber, in.macText, 0);
}

bool FactorySeries::loadBootLoader(const QString &path)
{
    qint64 size = 0;
    if (!readImageFile(path, bootLoader, &size)) {
        trace(QStringLiteral("Error opening file!"));
        return false;
    }
    trace(QStringLiteral("Bootloader size: ") + QString::number(size));
    trace(QStringLiteral("Bootloader info:"));
    trace(fieldText(bootLoader, BootInfo::Offset + BootInfo::TextOffset, BootInfo::TextSize));
    trace(fieldText(bootLoader, BootInfo::Offset + BootInfo::DescriptionOffset, BootInfo::DescriptionSize));
    trace(fieldText(bootLoader, BootInfo::Offset + BootInfo::SerialOffset, BootInfo::SerialSize));
    return true;
}

Refusal FactorySeries::checkBootLoader() const
{
    if (wire::u16(bootLoader, BootInfo::Offset + BootInfo::CheckWordOffset) != 0)
        return {QString(), QString::fromLatin1(serialRangeText)};
    return {};
}

bool FactorySeries::loadFirmware(const QString &path)
{
    QByteArray firmware;
    qint64 size = 0;
    if (!readImageFile(path, firmware, &size)) {
        trace(QStringLiteral("Error opening file!"));
        return false;
    }
    trace(QStringLiteral("Program size: ") + QString::number(size));
    // The producer's rule: the sum of all bytes as read, stored in the last word.
    wire::putU32(firmware, ImageInfo::ChecksumImageOffset, imageChecksum(bytes(firmware), firmware.size()));
    factory = bootLoader + firmware;
    version = QString::fromLatin1(ImageInfo::versionText(firmware));
    trace(QStringLiteral("BootBin file size: ") + QString::number(factory.size()));
    return true;
}

Refusal FactorySeries::checkFirmware() const
{
    trace(QStringLiteral("Firmware version: ") + version);
    if (wire::u16(factory, BootInfo::ImageSize + ImageInfo::Offset + ImageInfo::BrandOffset) != 0)
        return {QStringLiteral("Brand error"), QStringLiteral("WNIMANJE, WNIMANJE: ZLY BRAND!")};
    return {};
}

QString FactorySeries::prepareDevice(int index)
{
    QByteArray serial;
    unsigned char mac[BootInfo::MacSize];
    makeSerialAndMac(serial, mac, in.year, in.week, in.startNumber, in.macText, index);
    // The block is rewritten whole for every device, so no earlier device's
    // numbers survive into this one's image.
    char *info = factory.data() + BootInfo::Offset;
    std::memset(info + BootInfo::SerialOffset, 0, BootInfo::SerialSize);
    std::memcpy(info + BootInfo::SerialOffset, serial.constData(), size_t(qMin<qsizetype>(serial.size(), BootInfo::SerialDigits)));
    std::memcpy(info + BootInfo::MacOffset, mac, BootInfo::MacSize);
    return QStringLiteral("Tarvo_Boot_") + QString::fromLatin1(serial) + QStringLiteral("_v") + version.mid(1)
        + QStringLiteral(".bin");
}

bool FactorySeries::writeDevice(const QString &folder, int index, QString *fileName)
{
    const QString name = prepareDevice(index);
    if (fileName)
        *fileName = name;
    if (saveWhole(folder, name, factory))
        return true;
    trace(QStringLiteral("BootBin file creating failed!"));
    return false;
}

} // namespace production
