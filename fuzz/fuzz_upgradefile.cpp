// Upgrade files: the checks an upgrade file passes before any node hears of
// it, and what follows for a file that passes them (the node's erase reply
// starts the transfer of the checked bytes, acknowledgements walk through
// them, the checksum reply ends it). The first byte of an input says how the rest makes the
// file:
//   0  the bytes are the file, whatever their length;
//   1  patches (offset, byte) to a raw image, then built into an upgrade file
//      as "Create Upg" builds one, so that the checksum is right;
//   2  patches to a valid upgrade file as it lies on disk;
//   3  the bytes are a raw image for the builder itself.
// Patches lie mostly in the image's last 256 bytes, where its information
// block is. Then come the acknowledged packet numbers.
//

#include "fuzzsupport.h"

#include "firmware/firmwareupgrade.h"
#include "firmware/image.h"
#include "firmware/upgradefile.h"
#include "firmware/upgrademessage.h"
#include "link/nodesession.h"

namespace {

QByteArray baseImage()
{
    QByteArray raw(ImageInfo::ImageSize, '\0');
    for (int i = 0; i < ImageInfo::Offset; ++i)
        raw[i] = char(i * 13 + 1);
    wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
    return raw;
}

void patch(QByteArray &image, fuzz::Input &in)
{
    for (int i = 0; i < 16 && !in.empty(); ++i) {
        const quint16 where = in.u16();
        // Low half: the last 256 bytes; high half: anywhere in the image.
        const int offset = where < 0x8000 ? int(image.size()) - 256 + (where & 0xff) : int((where & 0x7fff) * 4);
        const char value = char(in.byte());
        if (offset >= 0 && offset < image.size())
            image[offset] = value;
    }
    const quint8 resize = in.byte();
    if (resize >= 0xf0) // a file cut short, or one with a tail
        image.resize(image.size() + (resize - 0xf8) * 300);
}

QByteArray fileFor(fuzz::Input &in)
{
    static const QByteArray raw = baseImage();
    static const QByteArray valid = buildUpgradeFile(raw).data;
    switch (in.byte() % 4) {
    case 0:
        return in.take(2 * ImageInfo::ImageSize);
    case 1: {
        QByteArray image = raw;
        patch(image, in);
        const UpgradeFile built = buildUpgradeFile(image);
        return built.result == UpgradeFile::Ok ? built.data : image;
    }
    case 2: {
        QByteArray file = valid;
        patch(file, in);
        return file;
    }
    default: {
        const UpgradeFile built = buildUpgradeFile(in.take(ImageInfo::ImageSize + 64));
        FUZZ_CHECK(built.result != UpgradeFile::Ok || built.data.size() == ImageInfo::ImageSize);
        FUZZ_CHECK(built.result != UpgradeFile::Ok || isPlainFileName(built.fileName));
        return built.data;
    }
    }
}

QByteArray reply(MessageCommand word, int offset = 0, quint32 value = 0)
{
    QByteArray m = wire::message(word);
    if (offset)
        wire::putU32(m, offset, value);
    return m;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::init();
    NodeSession session;
    FirmwareUpgrade upgrade(&session);
    fuzz::Input in(data, size);

    const QByteArray file = fileFor(in);
    const UpgradeImage image = UpgradeImage::read(fuzz::scratchFile(QStringLiteral("input.upg"), file));
    if (image.status != UpgradeImage::Ok)
        return 0; // refused before anything was sent

    // Passed: the file was whole and not too large, its checksum right,
    // its brand 0, and the bytes kept are the file's.
    FUZZ_CHECK(image.file == file);
    FUZZ_CHECK(file.size() >= ImageInfo::ImageSize && file.size() <= UpgradeImage::MaxFileSize);
    QByteArray decoded = file;
    decodeImage(bytes(decoded), decoded.size());
    FUZZ_CHECK(ImageInfo::brand(decoded) == 0);
    FUZZ_CHECK(imageChecksumQuiet(bytes(decoded), ImageInfo::VerifiedSize) == ImageInfo::checksum(decoded));

    FUZZ_CHECK(image.image == decoded);
    upgrade.start(image);
    FUZZ_CHECK(upgrade.guard().isActive() && upgrade.state() == EraseRequested);
    session.dispatch(reply(EraseSector));
    FUZZ_CHECK(upgrade.firmwareImage() == decoded);
    for (int i = 0; i < 8 && !in.empty(); ++i)
        session.dispatch(reply(ProgramPacket, UpgradeMessage::PacketNumberOffset, in.u16() | (quint32(in.byte()) << 24)));
    const quint32 sum = imageChecksumQuiet(bytes(upgrade.firmwareImage()), ImageInfo::VerifiedSize);
    session.dispatch(reply(ReadCrc, UpgradeMessage::CrcOffset, in.byte() & 1 ? sum : sum + 1));
    return 0;
}
