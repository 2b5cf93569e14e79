// The node's TCP messages, through the window's dispatcher, in every upgrade
// state. An input starts with the state to be in, which upgrade file the
// window holds (none, a valid one, one whose size is no multiple of a
// packet, one that has gone) and whether an image is already loaded; then
// come up to 24 steps: a message (its command word optionally forced to one
// the dispatcher knows, so that every handler is reached often) or the
// operation timer running out.

#include "fuzzsupport.h"

#include "firmware/image.h"
#include "firmware/upgradefile.h"

#include <cerrno>
#include <ctime>
#include <sys/syscall.h>
#include <unistd.h>

// After a node confirms its reset the window sleeps 5 s before searching
// again; the harness skips exactly that pause and no other sleep.
namespace {
bool settlingPause(const timespec *t) { return t && t->tv_sec == 5 && t->tv_nsec == 0; }
} // namespace

extern "C" int nanosleep(const timespec *request, timespec *remaining)
{
    if (settlingPause(request))
        return 0;
    return int(syscall(SYS_nanosleep, request, remaining));
}

extern "C" int clock_nanosleep(clockid_t clock, int flags, const timespec *request, timespec *remaining)
{
    if (flags == 0 && settlingPause(request))
        return 0;
    const long r = syscall(SYS_clock_nanosleep, clock, flags, request, remaining);
    return r < 0 ? errno : 0;
}

namespace {

const UpgradeState states[] = {Idle, EraseRequested, Programming, CrcRequested, ResetRequested};
const MessageCommand words[] = {GetConfig, SetConfig, DefaultConfig, ResetDevice, EraseSector, ProgramPacket, ReadCrc};

struct Files {
    QString valid, odd, gone;
    QByteArray decoded;

    Files()
    {
        QByteArray raw(ImageInfo::ImageSize, '\0');
        for (int i = 0; i < ImageInfo::Offset; ++i)
            raw[i] = char(i * 31 + 7);
        wire::putText(raw, ImageInfo::Offset + ImageInfo::VersionOffset, ImageInfo::VersionSize, "v2.05");
        const QByteArray file = buildUpgradeFile(raw).data;
        valid = fuzz::scratchFile(QStringLiteral("valid.upg"), file);
        odd = fuzz::scratchFile(QStringLiteral("odd.upg"), file + QByteArray(100, '\x5a'));
        gone = fuzz::scratchFile(QStringLiteral("gone.upg"), file) + QStringLiteral(".missing");
        decoded = file;
        decodeImage(bytes(decoded), decoded.size());

    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const Files files;
    MainWindowProbe &p = fuzz::window();
    fuzz::resetWindow();

    fuzz::Input in(data, size);
    const quint8 setup = in.byte();
    p.upgradeState() = states[setup % 5];
    const QString *file[] = {nullptr, &files.valid, &files.odd, &files.gone};
    if (const QString *chosen = file[(setup / 5) % 4])
        p.upgradeFileName() = *chosen;
    if (setup & 0x80)
        p.firmwareImage() = files.decoded;
    if (setup & 0x40) // a node listed and selected, as after "Connect"
        fuzz::listNode("15050001");

    for (int step = 0; step < 24 && !in.empty(); ++step) {
        const quint8 op = in.byte();
        if (op % 16 == 15) {
            p.invoke("timerTimeout");
            FUZZ_CHECK(!p.statusBox()); // the time-out box is gone once closed
            FUZZ_CHECK(p.upgradeState() == Idle);
            continue;
        }
        QByteArray message = in.chunk(DeviceMessageSize);
        if (op % 16 < 7)
            wire::putU32(message, CommandOffset, words[op % 16]); // only where the word fits
        p.handleMessage(message);
        const UpgradeState s = p.upgradeState();
        FUZZ_CHECK(s == Idle || s == EraseRequested || s == Programming || s == CrcRequested || s == ResetRequested);
        FUZZ_CHECK(p.packetNumber() >= 0);
    }
    return 0;
}
