#include "nodewire.h"
#include "worker.h"

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
    if (node.faults.outOfRange)
        spoil(r);
    // Offsets and values were checked at start: every word lies inside.
    for (const auto &[offset, value] : node.faults.configWords)
        putU32(r, offset, value);
    return r;
}

// Stores the record the node now applies; its discovery record follows.
void apply(Worker &worker, Node &node, const QByteArray &record)
{
    node.config = QByteArray(record.constData(), record.size()); // a copy: the message lives in a read buffer
    worker.saveState(node, "config", node.config);
    node.editIdentity([&](QByteArray &identity) { followConfig(identity, node.config); });
}

} // namespace

bool handleConfigCommand(Worker &worker, Session &session, Node &node, const QByteArray &message)
{
    const quint32 word = u32(message, 0);
    if (word == GetConfig) {
        worker.reply(session, outgoing(node, GetConfig));
        return true;
    }
    if (word == SetConfig) {
        apply(worker, node, message);
        if (node.faults.noAck)
            return true;
        const int late = node.faults.lateAckMs;
        worker.reply(session, outgoing(node, SetConfig), late > 0 ? late : -1);
        return true;
    }
    if (word == DefaultConfig) {
        QByteArray record = node.factoryConfig;
        // The factory settings put the node on another address.
        if (!node.faults.factoryIp.isEmpty())
            putAddress(record, config::IpOffset, node.faults.factoryIp);
        apply(worker, node, record);
        worker.reply(session, outgoing(node, DefaultConfig));
        return true;
    }
    return false;
}
