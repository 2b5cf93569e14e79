// The node's TCP bytes, through a node session's framing and dispatch, with
// the configuration exchange and the firmware upgrade attached. An input
// starts with which checked upgrade file the upgrade is started with (none,
// a valid one, one whose size is no multiple of a packet) and whether its
// replies count only in the step that awaits them; then come up to 24
// steps: bytes as they arrived (the command word at their start optionally
// forced to one the dispatcher knows, so that every handler is reached
// often), the connection's end, or a guard running out. Whatever the node
// sends, no packet goes out more than the bound allows.

#include "fuzzsupport.h"

#include "config/configexchange.h"
#include "config/configrecord.h"
#include "firmware/firmwareupgrade.h"
#include "firmware/image.h"
#include "firmware/upgradefile.h"
#include "link/nodesession.h"

namespace {

const MessageCommand words[] = {GetConfig, SetConfig, DefaultConfig, ResetDevice, EraseSector, ProgramPacket, ReadCrc};

struct Files {
    UpgradeImage valid, odd;

    Files()
    {
        QByteArray raw(ImageInfo::ImageSize, '\0');
        for (int i = 0; i < ImageInfo::Offset; ++i)
            raw[i] = char(i * 31 + 7);
        wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
        const QByteArray file = buildUpgradeFile(raw).data;
        valid = UpgradeImage::check(file);
        odd = UpgradeImage::check(file + QByteArray(100, '\x5a'));
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::init();
    static const Files files;
    fuzz::Input in(data, size);
    const quint8 setup = in.byte();
    UpgradeOptions options;
    options.strict = setup & 0x80;
    NodeSession session;
    ConfigExchange config(&session);
    FirmwareUpgrade upgrade(&session, options);
    const UpgradeImage *file[] = {nullptr, &files.valid, &files.odd, nullptr};
    if (const UpgradeImage *chosen = file[setup % 4])
        upgrade.start(*chosen);

    for (int step = 0; step < 24 && !in.empty(); ++step) {
        const quint8 op = in.byte();
        switch (op % 16) {
        case 15:
            upgrade.handleTimeout();
            FUZZ_CHECK(upgrade.state() == Idle);
            continue;
        case 12:
            config.handleWriteTimeout();
            FUZZ_CHECK(!config.writePending());
            break;
        case 13:
            session.handleDisconnected();
            FUZZ_CHECK(upgrade.state() != ResetRequested);
            break;
        default: {
            QByteArray bytes = in.chunk(2 * DeviceMessageSize);
            if (op % 16 < 7)
                wire::putU32(bytes, CommandOffset, words[op % 16]); // only where the word fits
            session.receive(bytes);
            break;
        }
        }
        const UpgradeState s = upgrade.state();
        FUZZ_CHECK(s == Idle || s == EraseRequested || s == Programming || s == CrcRequested || s == ResetRequested);
        FUZZ_CHECK(upgrade.packetNumber() >= 0);
        FUZZ_CHECK(upgrade.packetsSent() <= qint64(options.maxSendsPerPacket) * (upgrade.packetTotal() + 1));
        FUZZ_CHECK(s != ResetRequested || !upgrade.guard().isActive());
        FUZZ_CHECK(config.lastConfigMessage().isEmpty() || ConfigRecord::complete(config.lastConfigMessage()));
    }
    return 0;
}
