// Discovery replies: each input is a burst of datagrams (2-byte length, then
// the bytes) sent to the window's discovery socket, as nodes would answer a
// search. The window's own slot reads and judges them; then every listed
// node is shown as an operator's click would show it.

#include "fuzzsupport.h"

#include "link/devicerecord.h"

#include <QListWidget>
#include <QSet>
#include <QUdpSocket>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int sender = -1;
sockaddr_in target{};

void openSender(const MainWindowProbe &p)
{
    sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    target.sin_family = AF_INET;
    target.sin_port = htons(DiscoveryPort);
    target.sin_addr.s_addr = htonl(p.udpSocket()->localAddress().toIPv4Address());
}

bool pending(const MainWindowProbe &p)
{
    pollfd fd{int(p.udpSocket()->socketDescriptor()), POLLIN, 0};
    return ::poll(&fd, 1, 0) > 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MainWindowProbe &p = fuzz::window();
    if (sender < 0)
        openSender(p);
    fuzz::resetWindow();

    fuzz::Input in(data, size);
    int sent = 0;
    while (!in.empty() && sent < 32) {
        const QByteArray datagram = in.chunk(1500);
        if (::sendto(sender, datagram.constData(), size_t(datagram.size()), 0, reinterpret_cast<sockaddr *>(&target),
                     sizeof target) >= 0)
            ++sent;
    }
    // Local delivery is complete when sendto() returns; the loop is for
    // the odd datagram that is not.
    for (int round = 0; round < 100 && pending(p); ++round) {
        p.invoke("discoveryResponseMessage");
        if (pending(p))
            ::usleep(100);
    }
    FUZZ_CHECK(!pending(p));

    // What the list keeps is only what discovery may accept.
    FUZZ_CHECK(p.devices().size() == p.deviceAddresses().size());
    FUZZ_CHECK(p.devices().size() == p.list()->count());
    QSet<QByteArray> serials;
    for (const QByteArray &record : p.devices()) {
        FUZZ_CHECK(record.size() >= DeviceRecord::UsedSize);
        FUZZ_CHECK(DeviceRecord::command(record) == DiscoveryReply);
        FUZZ_CHECK(DeviceRecord::replyStatus(record) == 0);
        const quint32 type = DeviceRecord::deviceType(record);
        FUZZ_CHECK(type == DeviceRecord::DeviceTypeApplication || type == DeviceRecord::DeviceTypeBootLoader);
        const QByteArray serial = DeviceRecord::serialNumber(record);
        FUZZ_CHECK(!serials.contains(serial));
        serials.insert(serial);
    }

    for (int row = 0; row < p.list()->count(); ++row) {
        p.list()->setCurrentRow(row);
        p.invoke("displayDevice");
    }
    return 0;
}
