#ifndef TARVO_BOOTIMAGE_H
#define TARVO_BOOTIMAGE_H

#include "firmware/image.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QtGlobal>

// Layout of a boot loader image: 128 KiB with the BootInfo block at its end.
// Production writes each device's serial number and MAC address into it.
struct BootInfo {
    enum : int {
        ImageSize = 0x20000,
        Offset = 0x1FF80, // of the block within the boot loader image
        Size = 128,
        TextOffset = 0, // within the block; traced only
        TextSize = 16,
        DescriptionOffset = 16, // traced only
        DescriptionSize = 32,
        SerialOffset = 48,
        SerialSize = 16,
        SerialDigits = 8,
        CheckWordOffset = 68,
        MacOffset = 70,
        MacSize = 6,
    };
};

static_assert(BootInfo::Offset + BootInfo::Size == BootInfo::ImageSize, "boot info ends the boot loader image");
static_assert(int(BootInfo::ImageSize) == int(ImageInfo::ImageSize), "boot loader and firmware halves are the same size");
static_assert(BootInfo::TextOffset + BootInfo::TextSize == BootInfo::DescriptionOffset, "texts are adjacent");
static_assert(BootInfo::DescriptionOffset + BootInfo::DescriptionSize == BootInfo::SerialOffset, "serial follows");
static_assert(BootInfo::SerialOffset + BootInfo::SerialSize == 64, "serial field ends at 64");
static_assert(BootInfo::MacOffset + BootInfo::MacSize == 76, "MAC ends at 76");
static_assert(BootInfo::Offset + BootInfo::SerialOffset == 0x1FFB0, "serial at 0x1FFB0");
static_assert(BootInfo::Offset + BootInfo::CheckWordOffset == 0x1FFC4, "check word at 0x1FFC4");
static_assert(BootInfo::Offset + BootInfo::MacOffset == 0x1FFC6, "MAC at 0x1FFC6");

// Factory image: boot loader, then the firmware with its checksum, unscrambled.
enum : int { FactoryImageSize = int(BootInfo::ImageSize) + int(ImageInfo::ImageSize) };
static_assert(FactoryImageSize == 0x40000, "factory image is 256 KiB");

// The base of the product's block of 4096 MAC addresses (02:54:41:52:70:00).
// Locally administered unicast: bit 1 of the first byte set, bit 0 clear.
// Each device adds its 12-bit offset, so the low 12 bits must stay free.
inline constexpr quint64 macBase = Q_UINT64_C(0x025441527000);
inline constexpr int macBlockSize = 4096;

static_assert((macBase & 0xFFF) == 0, "low 12 bits of the MAC base are the device offset");
static_assert((macBase >> 48) == 0, "a MAC address has 48 bits");
static_assert(((macBase >> 40) & 0x03) == 0x02, "locally administered unicast");

// The operator's MAC offset text: an unsigned hexadecimal number.
inline quint64 parseMacOffset(const QString &text, bool *ok)
{
    return text.toUInt(ok, 16);
}

// Serial text (year, week, counter: "YYWWNNNN") and MAC address of the
// device at `index` of a series. Returns false, leaving the MAC untouched,
// when the offset text is not hexadecimal.
inline bool makeSerialAndMac(QByteArray &serialText, unsigned char *mac, int year, int week, int startNumber,
                             const QString &macOffsetText, int index)
{
    serialText = QString::asprintf("%02d%02d%04d", year, week, startNumber + index).toLatin1();
    bool ok = false;
    const quint64 offset = parseMacOffset(macOffsetText, &ok);
    if (!ok)
        return false;
    // Only the low 12 bits move; the rest of the address is the product's.
    const quint64 address = macBase | ((offset + quint64(index)) & 0xFFF);
    QStringList bytesText;
    for (int i = 0; i < BootInfo::MacSize; ++i) {
        mac[i] = static_cast<unsigned char>(address >> (8 * (BootInfo::MacSize - 1 - i)));
        bytesText.append(QString::number(mac[i], 16));
    }
    trace(QStringLiteral("Serial: \"") + QString::fromLatin1(serialText) + QStringLiteral("\" | MAC addr: ")
          + bytesText.join(QLatin1Char(' ')));
    return true;
}

#endif
