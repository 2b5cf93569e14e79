// The configuration record: a reply the exchange keeps (as GetConfig), a
// second record as GetConfig, SetConfig or DefaultConfig reply and as the
// subject of the network comparison; then the values of a form (label,
// three addresses, 24 port fields as decimal texts, 4 merge modes) checked
// and built into a SetConfig record, which is sent on the session.

#include "fuzzsupport.h"

#include "config/configexchange.h"
#include "config/configvalues.h"
#include "link/nodesession.h"

namespace {

const MessageCommand replies[] = {GetConfig, SetConfig, DefaultConfig};

// A dotted address as four numbers, whatever leading zeros it was written with.
QString normalised(const QString &dotted)
{
    QByteArray r(4, '\0');
    return ConfigRecord::putAddress(r, 0, dotted) ? wire::dottedQuad(r, 0) : QString();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::init();
    NodeSession session;
    ConfigExchange config(&session);
    fuzz::Input in(data, size);
    const quint8 setup = in.byte();
    if (setup & 1)
        in.take(20); // a serial number, in the window's days

    QByteArray kept = in.chunk(DeviceMessageSize);
    wire::putU32(kept, CommandOffset, GetConfig);
    session.dispatch(kept);
    FUZZ_CHECK(config.lastConfigMessage().isEmpty() || ConfigRecord::complete(config.lastConfigMessage()));

    QByteArray reply = in.chunk(DeviceMessageSize);
    config.netInfoChanged(reply);
    wire::putU32(reply, CommandOffset, replies[(setup >> 1) % 3]);
    session.dispatch(reply);
    if (ConfigRecord::complete(config.lastConfigMessage())) {
        // What a record shows is what it holds.
        const ConfigValues shown = ConfigValues::fromRecord(config.lastConfigMessage());
        FUZZ_CHECK(shown.label.size() <= ConfigRecord::LabelSize);
    }

    ConfigValues values;
    values.label = in.chunk(80);
    values.ip = QString::fromLatin1(in.chunk(20));
    values.mask = QString::fromLatin1(in.chunk(20));
    values.gateway = QString::fromLatin1(in.chunk(20));
    for (PortValues &port : values.ports)
        for (quint32 &field : port.field) {
            bool ok = false;
            field = QString::fromLatin1(in.chunk(12)).toUInt(&ok, 10);
            if (!ok)
                field = 0xffffffffu;
        }
    for (PortValues &port : values.ports)
        port.mergeMode = in.byte() % 2;

    QByteArray record;
    if (configcheck::buildSetConfig(values, &record).refused())
        return 0;
    // An accepted record is whole and reads back as the values it was made of.
    FUZZ_CHECK(record.size() == DeviceMessageSize && wire::u32(record, CommandOffset) == SetConfig);
    const ConfigValues back = ConfigValues::fromRecord(record);
    const qsizetype nul = values.label.indexOf('\0'); // a label ends at its first NUL
    FUZZ_CHECK(back.label == (nul < 0 ? values.label : values.label.left(nul)));
    FUZZ_CHECK(back.ip == normalised(values.ip) && back.mask == normalised(values.mask) &&
               back.gateway == normalised(values.gateway));
    for (size_t port = 0; port < values.ports.size(); ++port) {
        FUZZ_CHECK(back.ports[port].field == values.ports[port].field);
        FUZZ_CHECK(back.ports[port].mergeMode == values.ports[port].mergeMode);
    }
    if (config.sendConfig(record) == ConfigExchange::Sent::AwaitingAcknowledgement)
        FUZZ_CHECK(config.guard().isActive() && config.writePending()); // a record sent is guarded
    return 0;
}
