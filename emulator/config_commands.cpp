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

// Stores the record the node now applies; its discovery record follows, and
// with "move" the address it listens at.
void apply(Worker &worker, Node &node, const QByteArray &record, const char *event)
{
    node.config = QByteArray(record.constData(), record.size()); // a copy: the message lives in a read buffer
    worker.saveState(node, "config", node.config);
    worker.journal().add(node, event, {{"config", journal::configFields(node.config)}});
    node.editIdentity([&](QByteArray &identity) { followConfig(identity, node.config); });
    if (node.faults.move)
        worker.move(node, qFromBigEndian<quint32>(node.config.constData() + config::IpOffset));
}

} // namespace

bool handleConfigCommand(Worker &worker, Session &session, Node &node, const QByteArray &message)
{
    const quint32 word = u32(message, 0);
    if (word == GetConfig) {
        const QByteArray reply = outgoing(node, GetConfig);
        worker.journal().add(node, "read", {{"config", journal::configFields(reply)}});
        worker.reply(session, reply);
        return true;
    }
    if (word == SetConfig) {
        apply(worker, node, message, "config");
        if (node.faults.noAck) {
            worker.unanswered(node, word, "no-ack");
            return true;
        }
        const int late = node.faults.lateAckMs;
        worker.reply(session, outgoing(node, SetConfig), late > 0 ? late : -1);
        return true;
    }
    if (word == DefaultConfig) {
        QByteArray record = node.factoryConfig;
        // The factory settings put the node on another address.
        if (!node.faults.factoryIp.isEmpty())
            putAddress(record, config::IpOffset, node.faults.factoryIp);
        apply(worker, node, record, "default");
        worker.reply(session, outgoing(node, DefaultConfig));
        return true;
    }
    return false;
}
