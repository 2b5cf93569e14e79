#include "link/nodeverifier.h"

#include "link/discovery.h"

#include <algorithm>

NodeVerifier::NodeVerifier(Discovery *d, int firstAsk, int interval, QObject *parent)
    : QObject(parent), discovery(d), firstAskMs(firstAsk), intervalMs(interval)
{
    soon.setSingleShot(true);
    connect(&soon, &QTimer::timeout, this, &NodeVerifier::ask);
    connect(&every, &QTimer::timeout, this, &NodeVerifier::ask);
    connect(discovery, &Discovery::nodeFound, this, &NodeVerifier::nodeFound);
}

bool NodeVerifier::fits(const Watch &w, const NodeInfo &node) const
{
    return node.serial == w.target.serial && (w.target.mac.isEmpty() || node.mac == w.target.mac) && w.target.is(node);
}

int NodeVerifier::watch(const Target &target, int boundMs)
{
    const int id = nextId++;
    Watch w{target, QDeadlineTimer(boundMs), NodeInfo(), NodeInfo(), QHostAddress()};
    // Twins already known from the search: two senders that both fit can
    // never be told apart by a later reply.
    QList<NodeInfo> fitting;
    for (const NodeInfo &n : discovery->nodes())
        if (fits(w, n) && std::none_of(fitting.cbegin(), fitting.cend(), [&n](const NodeInfo &f) { return f.address == n.address; }))
            fitting.append(n);
    if (fitting.size() > 1)
        w.twin = fitting.first().address != target.at ? fitting.first() : fitting.at(1);
    watching.insert(id, w);
    bySerial.insert(target.serial, id);
    if (!soon.isActive())
        soon.start(firstAskMs);
    return id;
}

void NodeVerifier::cancel(int id)
{
    const auto it = watching.constFind(id);
    if (it == watching.constEnd())
        return;
    bySerial.remove(it->target.serial, id);
    watching.erase(it);
}

void NodeVerifier::ask()
{
    QList<QPair<int, NodeInfo>> expired, twins;
    for (auto it = watching.begin(); it != watching.end();) {
        const bool twin = it->twin.isValid();
        if (twin || it->deadline.hasExpired()) {
            (twin ? twins : expired).append({it.key(), twin ? it->twin : it->seen});
            bySerial.remove(it->target.serial, it.key());
            it = watching.erase(it);
        } else {
            it->matched.clear(); // a new round
            ++it;
        }
    }
    // Signalled once the table is consistent: a receiver may watch again.
    for (const auto &t : twins)
        emit unsettled(t.first, t.second);
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
    // A copy: a receiver of a signal may start a search, which empties the list.
    const NodeInfo node = discovery->nodes().at(index);
    QList<int> done;
    QList<QPair<int, NodeInfo>> twins;
    for (auto key = bySerial.constFind(node.serial); key != bySerial.constEnd() && key.key() == node.serial; ++key) {
        Watch &w = watching[key.value()];
        if (!fits(w, node))
            continue;
        if (!w.matched.isNull() && w.matched != node.address) {
            twins.append({key.value(), node.address != w.target.at ? node : w.seen});
            continue;
        }
        w.matched = node.address;
        w.seen = node;
        if (w.target.shows(node))
            done.append(key.value());
    }
    for (const auto &t : twins) {
        cancel(t.first);
        emit unsettled(t.first, t.second);
    }
    for (const int id : done) {
        cancel(id);
        emit verified(id, node);
    }
}
