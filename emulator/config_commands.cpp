#include "emulator.h"

#include "config/configrecord.h"

bool handleConfigCommand(Emulator &emu, Session &session, Node &node, const QByteArray &message)
{
    const quint32 word = wire::u32(message, 0);
    if (word == SetConfig) {
        node.config = message;
        emu.saveState(node, QStringLiteral("config"), node.config);
        emu.reply(session, message);
        return true;
    }
    if (word == DefaultConfig) {
        node.config = node.factoryConfig;
        emu.saveState(node, QStringLiteral("config"), node.config);
        QByteArray r = node.config;
        wire::putU32(r, 0, DefaultConfig);
        emu.reply(session, r);
        return true;
    }
    return false;
}
