#include "emulator.h"
#include "nodewire.h"

using namespace nodewire;

namespace {

// The "out-of-range" fault: values no form field accepts, to see that the
// tool shows them as sent and refuses to send them back.
void spoil(QByteArray &record)
{
    putU32(record, config::mergeMode(0), 2);
    putU32(record, config::portField(1, config::UniverseIndex), 299);
    putU32(record, config::portField(2, config::UniverseIndex), 0xffffffffu);
}

QByteArray outgoing(const Node &node, Command word)
{
    QByteArray r = node.config;
    putU32(r, config::CommandOffset, word);
    if (node.fault(QStringLiteral("out-of-range")).toBool())
        spoil(r);
    // Offsets and values were checked at start: every word lies inside.
    const QJsonObject words = node.fault(QStringLiteral("config-words")).toObject();
    for (auto it = words.begin(); it != words.end(); ++it)
        putU32(r, it.key().toInt(), quint32(it.value().toDouble()));
    return r;
}

} // namespace

bool handleConfigCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    const quint32 word = u32(message, 0);
    if (word == GetConfig) {
        emu.reply(session, outgoing(node, GetConfig));
        return true;
    }
    if (word == SetConfig) {
        node.config = message;
        emu.saveState(node, QStringLiteral("config"), node.config);
        if (node.fault(QStringLiteral("no-ack")).toBool())
            return true;
        const int late = node.fault(QStringLiteral("late-ack-ms")).toInt();
        emu.reply(session, outgoing(node, SetConfig), late > 0 ? late : -1);
        return true;
    }
    if (word == DefaultConfig) {
        node.config = node.factoryConfig;
        const QString ip = node.fault(QStringLiteral("factory-ip")).toString();
        // The factory settings put the node on another address.
        if (!ip.isEmpty())
            putAddress(node.config, config::IpOffset, ip);
        emu.saveState(node, QStringLiteral("config"), node.config);
        emu.reply(session, outgoing(node, DefaultConfig));
        return true;
    }
    return false;
}
