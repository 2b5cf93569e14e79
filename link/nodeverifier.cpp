#include "link/nodeverifier.h"

#include "link/discovery.h"

NodeVerifier::NodeVerifier(Discovery *d, int firstAsk, int interval, QObject *parent)
    : QObject(parent), discovery(d), firstAskMs(firstAsk), intervalMs(interval)
{
    soon.setSingleShot(true);
    connect(&soon, &QTimer::timeout, this, &NodeVerifier::ask);
    connect(&every, &QTimer::timeout, this, &NodeVerifier::ask);
    connect(discovery, &Discovery::nodeFound, this, &NodeVerifier::nodeFound);
}

int NodeVerifier::watch(const QByteArray &serial, const Test &is, const Test &shows, int boundMs)
{
    const int id = nextId++;
    watching.insert(id, {serial, is, shows, QDeadlineTimer(boundMs), NodeInfo()});
    bySerial.insert(serial, id);
    if (!soon.isActive())
        soon.start(firstAskMs);
    return id;
}

void NodeVerifier::cancel(int id)
{
    const auto it = watching.constFind(id);
    if (it == watching.constEnd())
        return;
    bySerial.remove(it->serial, id);
    watching.erase(it);
}

void NodeVerifier::ask()
{
    QList<QPair<int, NodeInfo>> expired;
    for (auto it = watching.begin(); it != watching.end();) {
        if (it->deadline.hasExpired()) {
            expired.append({it.key(), it->seen});
            bySerial.remove(it->serial, it.key());
            it = watching.erase(it);
        } else {
            ++it;
        }
    }
    // Signalled once the table is consistent: a receiver may watch again.
    for (const auto &e : expired)
        emit notVerified(e.first, e.second);
    if (watching.isEmpty()) {
        every.stop();
        return;
    }
    // Each request empties the list of the one before: a node that answered
    // with what it had before is heard again.
    discovery->search();
    every.start(intervalMs);
}

void NodeVerifier::nodeFound(int index)
{
    // A copy: a receiver of verified() may start a search, which empties the list.
    const NodeInfo node = discovery->nodes().at(index);
    QList<int> done;
    for (auto key = bySerial.constFind(node.serial); key != bySerial.constEnd() && key.key() == node.serial; ++key) {
        Watch &w = watching[key.value()];
        if (!w.is(node))
            continue;
        w.seen = node;
        if (w.shows(node))
            done.append(key.value());
    }
    for (const int id : done) {
        cancel(id);
        emit verified(id, node);
    }
}
