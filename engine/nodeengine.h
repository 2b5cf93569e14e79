#ifndef TARVO_NODEENGINE_H
#define TARVO_NODEENGINE_H

#include "config/configoperations.h"
#include "engine/engineoptions.h"
#include "engine/nodepaths.h"
#include "firmware/upgradeoperation.h"
#include "link/discovery.h"
#include "link/nodeverifier.h"

#include <QHash>
#include <QObject>
#include <QPointer>

// What a program without a window drives nodes with, in the way of
// QNetworkAccessManager: it holds the limits and a discovery socket, and
// each call starts one operation on one node and returns it at once. The
// operation reports by its signals and ends with exactly one finished();
// the caller deletes it once its result is read (what is left goes with the
// engine). Any number run side by side in one event loop.
//
//   NodeEngine engine;
//   engine.bind(QHostAddress("192.0.2.1"));
//   UpgradeOperation *op = engine.upgradeAndVerify(node, UpgradeImage::read(path));
//   QObject::connect(op, &NodeOperation::finished, [op](const NodeOperation::Result &r) {
//       ... r.status, r.reason, r.version ...
//       op->deleteLater();
//   });
class NodeEngine : public QObject
{
    Q_OBJECT

public:
    explicit NodeEngine(EngineOptions options = {}, QObject *parent = nullptr);
    ~NodeEngine() override;

    const EngineOptions &options() const { return opts; }
    // The engine's discovery: it keeps each address's reply, so that two
    // nodes with one serial are both seen; searches and verifications use it.
    Discovery *discovery() const { return finder; }
    // Binds the discovery socket to the workstation's address; without it,
    // nothing can be verified. With reachEveryNode, it also finds the
    // interface to change and removes what a killed run left on it.
    bool bind(const QHostAddress &local, QString *error = nullptr);

    // How each node is reached (with reachEveryNode, once bound; else as
    // it is), and whether this process may: a way that changes the
    // interface needs the right to (root, or CAP_NET_ADMIN), and without it
    // the result carries what a person would run instead.
    NodePaths::Way wayTo(const NodeInfo &node) const;
    ReachResult canReach(const NodeInfo &node) const;
    const NodePaths *paths() const { return ways; }
    // What bind() removed of a killed run's changes, and what it could not.
    const QStringList &leftoversRemoved() const { return leftovers; }
    const QString &leftoversProblem() const { return leftoverProblem; }
    // Undoes every change of the interface this process holds, with system
    // calls only: for a signal handler that ends the process next.
    static void undoFromSignalHandler();

    ReadConfigOperation *readConfig(const NodeInfo &node);
    WriteConfigOperation *writeConfig(const NodeInfo &node, WriteConfigOperation::Builder build);
    DefaultConfigOperation *restoreDefaults(const NodeInfo &node);
    RunApplicationOperation *runApplication(const NodeInfo &node);
    // `image` must have passed UpgradeImage's checks.
    UpgradeOperation *upgrade(const NodeInfo &node, const UpgradeImage &image);
    UpgradeOperation *upgradeAndVerify(const NodeInfo &node, const UpgradeImage &image);

    // Ends every operation still running, each with Aborted.
    void abortAll();

private:
    template <class Op> Op *started(Op *op);
    void launch(NodeOperation *op);
    void launchPinned(NodeOperation *op);
    void openPin(quint32 address);
    void unpinned(quint32 address, const NodeInfo &node);
    NodeVerifier *usableVerifier() const;

    EngineOptions opts;
    Discovery *finder;
    NodeVerifier *verifier;
    NodePaths *ways = nullptr;
    QStringList leftovers;
    QString leftoverProblem;
    bool bound = false;
    // An address two nodes answer from is pinned to one MAC at a time: the
    // operations on that node run, the others wait for their turn.
    struct Pin {
        QByteArray mac;
        int users = 0;
        bool opening = false;
        QList<QPointer<NodeOperation>> starting, waiting;
    };
    QHash<quint32, Pin> pins;
};

#endif
