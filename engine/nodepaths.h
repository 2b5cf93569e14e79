#ifndef TARVO_NODEPATHS_H
#define TARVO_NODEPATHS_H

#include "link/nodeinfo.h"
#include "link/reach.h"

#include <QObject>
#include <QThread>
#include <QVector>
#include <functional>
#include <memory>

// How the engine reaches a node that discovery heard. Most nodes are
// reached as they are; a node whose address another node answers from too
// is reached by pinning the workstation's neighbour entry for the address
// to its MAC, and a node outside the workstation's network from an
// address added in its network (Reach). Reach's calls run on a thread of
// their own, in the order they were asked for: its duplicate-address check
// waits half a second, which the operations under way must not.
class NodePaths : public QObject
{
    Q_OBJECT

public:
    enum class Way { Direct, Pinned, Temporary };

    NodePaths(const QHostAddress &workstation, const ReachOptions &options, QObject *parent = nullptr);
    // Undoes whatever is still held, and ends the thread.
    ~NodePaths() override;

    // False when the workstation's address is on no Ethernet interface:
    // every node is then reached as it is.
    bool isValid() const { return iface.index > 0; }
    QString error() const { return failure; }
    const ReachInterface &interface() const { return iface; }
    // Whether this process may change the interface, as it was at the start.
    const ReachResult &right() const { return mayChange; }

    // `heard`: every node discovery heard, for the ones sharing its address.
    Way wayTo(const NodeInfo &node, const QVector<NodeInfo> &heard) const;
    // What a person with the right to change the interface would run to
    // reach the node that way, and afterwards (waits for the thread).
    ReachResult manual(const NodeInfo &node, Way way, const QVector<NodeInfo> &heard) const;
    // What a run killed before its end left on the interface, removed
    // where no living process holds it (waits for the thread).
    ReachResult removeLeftovers(QStringList *removed) const;

    // Takes the way for one operation; `done` runs in this object's thread,
    // with the address to connect from for a temporary one. Each open that
    // succeeded is matched by one close() with what it gave.
    using Opened = std::function<void(const ReachResult &result, const TemporaryAddress &source)>;
    void open(const NodeInfo &node, Way way, const QVector<NodeInfo> &heard, Opened done);
    void close(const NodeInfo &node, Way way, const TemporaryAddress &source);

private:
    // Runs `work` on the thread and waits for it.
    void onThread(const std::function<void()> &work) const;

    QThread thread;
    QObject *worker = nullptr; // lives on the thread; Reach is used only there
    std::unique_ptr<Reach> reach;
    ReachInterface iface;
    ReachResult mayChange;
    QString failure;
};

#endif
