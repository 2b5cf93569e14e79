#ifndef TARVO_NODEENGINE_H
#define TARVO_NODEENGINE_H

#include "config/configoperations.h"
#include "engine/engineoptions.h"
#include "firmware/upgradeoperation.h"
#include "link/discovery.h"
#include "link/nodeverifier.h"

#include <QObject>

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
    // nothing can be verified.
    bool bind(const QHostAddress &local, QString *error = nullptr);

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
    NodeVerifier *usableVerifier() const;

    EngineOptions opts;
    Discovery *finder;
    NodeVerifier *verifier;
    bool bound = false;
};

#endif
