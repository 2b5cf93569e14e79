// The configuration record: a reply the window keeps and shows (through
// the dispatcher, as GetConfig), a second record as GetConfig, SetConfig or
// DefaultConfig reply and as the subject of the network comparison, and
// then the form, filled with the input's texts, sent with "Set" over a
// connection to a listener in this process.

#include "fuzzsupport.h"

#include <QComboBox>
#include <QLineEdit>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

const char *const fields[] = {
    "DeviceLabelLine", "IPLine",        "SubnetLine",    "GatewayLine",    "UniverseLine",  "BREAKLine",
    "MABLine",         "MBFLine",       "WAITLine",      "ChannelsLine",   "UniverseLine_2", "BREAKLine_2",
    "MABLine_2",       "MBFLine_2",     "WAITLine_2",    "ChannelsLine_2", "UniverseLine_3", "BREAKLine_3",
    "MABLine_3",       "MBFLine_3",     "WAITLine_3",    "ChannelsLine_3", "UniverseLine_4", "BREAKLine_4",
    "MABLine_4",       "MBFLine_4",     "WAITLine_4",    "ChannelsLine_4",
};
const MessageCommand replies[] = {GetConfig, SetConfig, DefaultConfig};

QTcpServer *server = nullptr;

// "Set" needs a live connection; the node end here only swallows what comes.
bool connected(MainWindowProbe &p)
{
    if (!server) {
        server = new QTcpServer;
        server->listen(p.udpSocket()->localAddress(), 0);
    }
    if (p.tcpSocket()->state() == QAbstractSocket::ConnectedState)
        return true;
    p.tcpSocket()->abort();
    p.tcpSocket()->connectToHost(server->serverAddress(), server->serverPort());
    if (!p.tcpSocket()->waitForConnected(1000) || !server->waitForNewConnection(1000))
        return false;
    while (QTcpSocket *peer = server->nextPendingConnection()) {
        QObject::connect(peer, &QTcpSocket::readyRead, peer, [peer] { peer->readAll(); });
        QObject::connect(peer, &QTcpSocket::disconnected, peer, &QObject::deleteLater);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    MainWindowProbe &p = fuzz::window();
    fuzz::resetWindow();
    fuzz::Input in(data, size);
    const quint8 setup = in.byte();

    if (setup & 1) // the connected node listed and selected
        fuzz::listNode(in.take(20));

    QByteArray kept = in.chunk(DeviceMessageSize);
    wire::putU32(kept, CommandOffset, GetConfig);
    p.handleMessage(kept);
    FUZZ_CHECK(p.lastConfigMessage().isEmpty() || p.lastConfigMessage().size() >= 278);
    FUZZ_CHECK(qstrnlen(p.connectedSerialRaw(), 16) < 16);

    QByteArray reply = in.chunk(DeviceMessageSize);
    p.netInfoChanged(reply);
    wire::putU32(reply, CommandOffset, replies[(setup >> 1) % 3]);
    p.handleMessage(reply);
    if (setup & 1)
        p.invoke("displayDevice"); // the connected node's entry shows the kept record again

    if (setup & 0x80 && connected(p)) {
        for (const char *name : fields)
            p.line(name)->setText(QString::fromLatin1(in.chunk(80)));
        for (const char *name : {"MergeModeBox", "MergeModeBox_2", "MergeModeBox_3", "MergeModeBox_4"})
            p.combo(name)->setCurrentIndex(in.byte() % 2);
        p.invoke("sendConfig");
        if (p.upgradeState() == Idle && p.statusBox()) // a record went out and is awaited
            FUZZ_CHECK(p.operationTimer().isActive());
    }
    return 0;
}
