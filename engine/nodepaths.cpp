#include "engine/nodepaths.h"

namespace {

// Every address a node answers from or claims: never one to add.
QList<QHostAddress> takenBy(const QVector<NodeInfo> &heard)
{
    QList<QHostAddress> taken;
    for (const NodeInfo &n : heard) {
        taken.append(n.address);
        if (n.ip)
            taken.append(QHostAddress(n.ip));
    }
    return taken;
}

quint32 maskOf(int prefixLength)
{
    return prefixLength <= 0 ? 0 : prefixLength >= 32 ? 0xffffffffu : ~((1u << (32 - prefixLength)) - 1);
}

} // namespace

NodePaths::NodePaths(const QHostAddress &workstation, const ReachOptions &options, QObject *parent) : QObject(parent)
{
    thread.setObjectName(QStringLiteral("reach"));
    thread.start();
    worker = new QObject;
    worker->moveToThread(&thread);
    onThread([&] {
        reach = std::make_unique<Reach>(workstation, options);
        iface = reach->interface();
        failure = reach->error();
        mayChange = reach->canChange();
    });
}

NodePaths::~NodePaths()
{
    onThread([this] { reach.reset(); });
    thread.quit();
    thread.wait();
    delete worker;
}

void NodePaths::onThread(const std::function<void()> &work) const
{
    QMetaObject::invokeMethod(worker, work, Qt::BlockingQueuedConnection);
}

NodePaths::Way NodePaths::wayTo(const NodeInfo &node, const QVector<NodeInfo> &heard) const
{
    const quint32 a = node.address.toIPv4Address();
    if (!isValid() || a == 0)
        return Way::Direct;
    const quint32 m = maskOf(iface.prefixLength);
    if ((a & m) != (iface.address.toIPv4Address() & m))
        return Way::Temporary;
    if (node.mac.size() == 6)
        for (const NodeInfo &other : heard)
            if (other.address == node.address && other.mac.size() == 6 && other.mac != node.mac)
                return Way::Pinned;
    return Way::Direct;
}

ReachResult NodePaths::manual(const NodeInfo &node, Way way, const QVector<NodeInfo> &heard) const
{
    ReachResult r;
    r.ok = true;
    const QList<QHostAddress> taken = takenBy(heard);
    onThread([&] {
        if (way == Way::Pinned)
            r = reach->manualPin(node.address, node.mac);
        else if (way == Way::Temporary)
            r = reach->manualAddress(node.address, node.mask, taken);
    });
    return r;
}

ReachResult NodePaths::removeLeftovers(QStringList *removed) const
{
    ReachResult r;
    onThread([&] { r = reach->removeLeftovers(removed); });
    return r;
}

void NodePaths::open(const NodeInfo &node, Way way, const QVector<NodeInfo> &heard, Opened done)
{
    const QList<QHostAddress> taken = takenBy(heard);
    QMetaObject::invokeMethod(worker, [this, node, way, taken, done = std::move(done)] {
        ReachResult r;
        TemporaryAddress source;
        if (way == Way::Pinned)
            r = reach->pin(node.address, node.mac);
        else if (way == Way::Temporary)
            r = reach->temporaryAddressFor(node.address, node.mask, taken, &source);
        else
            r.ok = true;
        // Back to the engine's thread; gone with the engine, whose end
        // undoes everything on this thread anyway.
        QMetaObject::invokeMethod(this, [r, source, done] { done(r, source); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

void NodePaths::close(const NodeInfo &node, Way way, const TemporaryAddress &source)
{
    QMetaObject::invokeMethod(worker, [this, node, way, source] {
        if (way == Way::Pinned)
            reach->unpin(node.address);
        else if (way == Way::Temporary && source.held)
            reach->releaseAddress(source.address);
    }, Qt::QueuedConnection);
}
