#include "engine/nodeengine.h"


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
    return bound;
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
    QMetaObject::invokeMethod(op, &NodeOperation::start, Qt::QueuedConnection);
    return op;
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
