#include "engine/nodeengine.h"

#include <utility>

namespace {

// A refusal in words, with what a person would run instead.
QString reasonOf(const ReachResult &r)
{
    QString reason = r.reason;
    if (!r.commands.isEmpty())
        reason += QStringLiteral("; by hand: ") + r.commands.join(QStringLiteral("; "));
    if (!r.undoCommands.isEmpty())
        reason += QStringLiteral("; afterwards: ") + r.undoCommands.join(QStringLiteral("; "));
    return reason;
}

} // namespace

NodeEngine::NodeEngine(EngineOptions options, QObject *parent)
    : QObject(parent), opts(options),
      finder(new Discovery(this, Wiring::Internal, DiscoveryOptions{DiscoveryOptions::Keep::EachAddress})),
      verifier(new NodeVerifier(finder, options.operation.verifyFirstAskMs, options.operation.verifyIntervalMs, this))
{
}

NodeEngine::~NodeEngine()
{
    // Operations still running end now, before the discovery and the
    // verifier they may use go.
    abortAll();
}

bool NodeEngine::bind(const QHostAddress &local, QString *error)
{
    bound = finder->bind(local);
    if (!bound && error)
        *error = finder->bindError();
    if (bound && opts.reachEveryNode && !ways) {
        ways = new NodePaths(local, opts.reach, this);
        // A run killed before its end left its changes; they go before
        // this run makes its own.
        if (ways->isValid() && ways->right().ok) {
            const ReachResult r = ways->removeLeftovers(&leftovers);
            if (!r.ok)
                leftoverProblem = r.reason;
        }
    }
    return bound;
}

NodePaths::Way NodeEngine::wayTo(const NodeInfo &node) const
{
    return ways ? ways->wayTo(node, finder->nodes()) : NodePaths::Way::Direct;
}

ReachResult NodeEngine::canReach(const NodeInfo &node) const
{
    const NodePaths::Way way = wayTo(node);
    ReachResult r;
    r.ok = true;
    if (way == NodePaths::Way::Direct || ways->right().ok)
        return r;
    const ReachInterface &i = ways->interface();
    const QString why = way == NodePaths::Way::Pinned
        ? QStringLiteral("another node answers from %1 too: reaching this one pins the neighbour entry of %1 on %2")
              .arg(node.address.toString(), i.name)
        : QStringLiteral("%1 is outside the network of %2 (%3/%4): reaching it adds an address in its network to %2")
              .arg(node.address.toString(), i.name, i.address.toString())
              .arg(i.prefixLength);
    const ReachResult manual = ways->manual(node, way, finder->nodes());
    r = ways->right();
    r.reason = why + QStringLiteral(", and ") + r.reason + (manual.ok ? QString() : QStringLiteral("; ") + manual.reason);
    r.commands = manual.commands;
    r.undoCommands = manual.undoCommands;
    return r;
}

void NodeEngine::undoFromSignalHandler()
{
    Reach::undoFromSignalHandler();
}

// Unbound, discovery hears no node: an operation gets no verifier then, and
// one that must verify says it could not.
NodeVerifier *NodeEngine::usableVerifier() const
{
    return bound ? verifier : nullptr;
}

// Started on the next turn of the event loop: an operation that ends at
// once (no route to the node) must still reach the caller, who connects to
// finished() only once it has the operation in hand.
template <class Op> Op *NodeEngine::started(Op *op)
{
    QMetaObject::invokeMethod(
        this, [this, later = QPointer<NodeOperation>(op)] {
            if (later)
                launch(later);
        },
        Qt::QueuedConnection);
    return op;
}

// Starts the operation on its way to the node: at once, or once the
// interface is changed for it.
void NodeEngine::launch(NodeOperation *op)
{
    if (op->isFinished())
        return; // aborted before its turn came
    const NodeInfo node = op->node();
    const NodePaths::Way way = wayTo(node);
    if (way == NodePaths::Way::Direct) {
        op->start();
        return;
    }
    if (way == NodePaths::Way::Pinned) {
        launchPinned(op);
        return;
    }
    op->holdBack(QStringLiteral("an address in the network of %1").arg(node.address.toString()));
    ways->open(node, way, finder->nodes(),
               [this, later = QPointer<NodeOperation>(op), node](const ReachResult &r, const TemporaryAddress &source) {
                   if (!r.ok) {
                       if (later)
                           later->cannotStart(reasonOf(r));
                       return;
                   }
                   if (!later || later->isFinished()) {
                       ways->close(node, NodePaths::Way::Temporary, source);
                       return;
                   }
                   connect(later, &NodeOperation::finished, this,
                           [this, node, source] { ways->close(node, NodePaths::Way::Temporary, source); });
                   later->setSource(source.address);
                   later->start();
               });
}

void NodeEngine::launchPinned(NodeOperation *op)
{
    const quint32 a = op->node().address.toIPv4Address();
    Pin &p = pins[a];
    const bool idle = p.users == 0 && !p.opening;
    if (!idle && p.mac == op->node().mac && p.waiting.isEmpty()) {
        op->holdBack(QStringLiteral("the pin of %1").arg(op->node().address.toString()));
        if (p.opening) {
            p.starting.append(op);
        } else {
            ++p.users;
            const NodeInfo node = op->node();
            connect(op, &NodeOperation::finished, this, [this, a, node] { unpinned(a, node); });
            op->start();
        }
        return;
    }
    op->holdBack(QStringLiteral("its turn at %1, which another node answers from too").arg(op->node().address.toString()));
    p.waiting.append(op);
    if (idle)
        openPin(a);
}

// Pins the address to the MAC of the first operation waiting for it, and
// starts every waiting one of that node.
void NodeEngine::openPin(quint32 a)
{
    Pin &p = pins[a];
    while (!p.waiting.isEmpty() && (!p.waiting.first() || p.waiting.first()->isFinished()))
        p.waiting.removeFirst();
    if (p.waiting.isEmpty()) {
        pins.remove(a);
        return;
    }
    const NodeInfo node = p.waiting.first()->node();
    p.mac = node.mac;
    p.opening = true;
    for (auto it = p.waiting.begin(); it != p.waiting.end();) {
        if (*it && (*it)->node().mac == node.mac) {
            (*it)->holdBack(QStringLiteral("the pin of %1").arg(node.address.toString()));
            p.starting.append(*it);
            it = p.waiting.erase(it);
        } else {
            ++it;
        }
    }
    ways->open(node, NodePaths::Way::Pinned, finder->nodes(), [this, a, node](const ReachResult &r, const TemporaryAddress &) {
        Pin &p = pins[a];
        p.opening = false;
        const QList<QPointer<NodeOperation>> starting = std::exchange(p.starting, {});
        // Every user is counted before any starts: one that ends at once
        // must not unpin the address under the others.
        QList<QPointer<NodeOperation>> go;
        for (const QPointer<NodeOperation> &op : starting) {
            if (!op || op->isFinished())
                continue;
            if (!r.ok) {
                op->cannotStart(reasonOf(r));
                continue;
            }
            ++p.users;
            connect(op, &NodeOperation::finished, this, [this, a, node] { unpinned(a, node); });
            go.append(op);
        }
        if (go.isEmpty()) {
            if (r.ok)
                ways->close(node, NodePaths::Way::Pinned, TemporaryAddress());
            openPin(a);
            return;
        }
        for (const QPointer<NodeOperation> &op : std::as_const(go))
            if (op)
                op->start();
    });
}

void NodeEngine::unpinned(quint32 a, const NodeInfo &node)
{
    Pin &p = pins[a];
    if (--p.users > 0)
        return;
    ways->close(node, NodePaths::Way::Pinned, TemporaryAddress());
    openPin(a);
}

ReadConfigOperation *NodeEngine::readConfig(const NodeInfo &node)
{
    return started(new ReadConfigOperation(node, opts.operation, opts.config, usableVerifier(), this));
}

WriteConfigOperation *NodeEngine::writeConfig(const NodeInfo &node, WriteConfigOperation::Builder build)
{
    return started(new WriteConfigOperation(node, opts.operation, opts.config, usableVerifier(), std::move(build), this));
}

DefaultConfigOperation *NodeEngine::restoreDefaults(const NodeInfo &node)
{
    return started(new DefaultConfigOperation(node, opts.operation, opts.config, usableVerifier(), this));
}

RunApplicationOperation *NodeEngine::runApplication(const NodeInfo &node)
{
    return started(new RunApplicationOperation(node, opts.operation, usableVerifier(), this));
}

UpgradeOperation *NodeEngine::upgrade(const NodeInfo &node, const UpgradeImage &image)
{
    return started(new UpgradeOperation(node, opts.operation, opts.upgrade, usableVerifier(), image, false, this));
}

UpgradeOperation *NodeEngine::upgradeAndVerify(const NodeInfo &node, const UpgradeImage &image)
{
    return started(new UpgradeOperation(node, opts.operation, opts.upgrade, usableVerifier(), image, true, this));
}

void NodeEngine::abortAll()
{
    for (NodeOperation *op : findChildren<NodeOperation *>(QString(), Qt::FindDirectChildrenOnly))
        op->abort();
}
