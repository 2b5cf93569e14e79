// The node's TCP bytes, through a node session's framing and dispatch, with
// the configuration exchange and the firmware upgrade attached, in every
// upgrade state. An input starts with the state to be in, which checked
// upgrade file the upgrade holds (none, a valid one, one whose size is no
// multiple of a packet) and whether an image is already loaded; then come
// up to 24 steps: bytes as they arrived (the command word at their start
// optionally forced to one the dispatcher knows, so that every handler is
// reached often), the pause that hands on a waiting rest, the connection's
// end, or the guard timer running out.

#include "fuzzsupport.h"

#include "config/configexchange.h"
#include "config/configrecord.h"
#include "firmware/firmwareupgrade.h"
#include "firmware/image.h"
#include "firmware/upgradefile.h"
#include "link/nodesession.h"

namespace {

const UpgradeState states[] = {Idle, EraseRequested, Programming, CrcRequested, ResetRequested};
const MessageCommand words[] = {GetConfig, SetConfig, DefaultConfig, ResetDevice, EraseSector, ProgramPacket, ReadCrc};

struct Files {
    QByteArray valid, odd, decoded;

    Files()
    {
        QByteArray raw(ImageInfo::ImageSize, '\0');
        for (int i = 0; i < ImageInfo::Offset; ++i)
            raw[i] = char(i * 31 + 7);
        wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
        valid = buildUpgradeFile(raw).data;
        odd = valid + QByteArray(100, '\x5a');
        decoded = valid;
        decodeImage(bytes(decoded), decoded.size());
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::init();
    static const Files files;
    NodeSession session;
    ConfigExchange config(&session);
    FirmwareUpgrade upgrade(&session);

    fuzz::Input in(data, size);
    const quint8 setup = in.byte();
    const QByteArray *file[] = {nullptr, &files.valid, &files.odd, nullptr};
    if (const QByteArray *chosen = file[(setup / 5) % 4])
        upgrade.start(*chosen);
    session.upgradeState() = states[setup % 5];
    if (setup & 0x80)
        upgrade.firmwareImage() = files.decoded;

    for (int step = 0; step < 24 && !in.empty(); ++step) {
        const quint8 op = in.byte();
        switch (op % 16) {
        case 15:
            session.handleTimeout();
            FUZZ_CHECK(session.upgradeState() == Idle);
            continue;
        case 14:
            session.flushRest();
            break;
        case 13:
            session.handleDisconnected();
            FUZZ_CHECK(session.upgradeState() != ResetRequested);
            break;
        default: {
            QByteArray bytes = in.chunk(2 * DeviceMessageSize);
            if (op % 16 < 7)
                wire::putU32(bytes, CommandOffset, words[op % 16]); // only where the word fits
            session.receive(bytes);
            break;
        }
        }
        const UpgradeState s = session.upgradeState();
        FUZZ_CHECK(s == Idle || s == EraseRequested || s == Programming || s == CrcRequested || s == ResetRequested);
        FUZZ_CHECK(upgrade.packetNumber() >= 0);
        FUZZ_CHECK(config.lastConfigMessage().isEmpty() || ConfigRecord::complete(config.lastConfigMessage()));
    }
    return 0;
}
