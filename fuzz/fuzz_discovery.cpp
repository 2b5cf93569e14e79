// Discovery replies: each input is a burst of datagrams (2-byte length, then
// the bytes), handed to the engine's discovery as its socket would deliver
// them from nodes answering a search.

#include "fuzzsupport.h"

#include "link/devicerecord.h"
#include "link/discovery.h"

#include <QSet>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::init();
    Discovery discovery;
    fuzz::Input in(data, size);
    const QHostAddress sender(QStringLiteral("192.0.2.10"));
    for (int sent = 0; sent < 32 && !in.empty(); ++sent)
        discovery.takeDatagram(in.chunk(1500), sender, DiscoveryPort);

    // What is kept is only what discovery may accept, and only its record.
    QSet<QByteArray> serials;
    for (const NodeInfo &node : discovery.nodes()) {
        const QByteArray &record = node.record;
        FUZZ_CHECK(record.size() >= DeviceRecord::UsedSize && record.size() <= DeviceRecord::Size);
        FUZZ_CHECK(DeviceRecord::command(record) == DiscoveryReply);
        FUZZ_CHECK(DeviceRecord::replyStatus(record) == 0);
        const quint32 type = DeviceRecord::deviceType(record);
        FUZZ_CHECK(type == DeviceRecord::DeviceTypeApplication || type == DeviceRecord::DeviceTypeBootLoader);
        FUZZ_CHECK(node.serial == DeviceRecord::serialNumber(record) && node.address == sender);
        FUZZ_CHECK(!serials.contains(node.serial));
        FUZZ_CHECK(discovery.isKnownDevice(record));
        serials.insert(node.serial);
        node.macText(); // what the details show reads only the record
    }
    return 0;
}
