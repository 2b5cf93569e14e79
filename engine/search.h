#ifndef TARVO_SEARCH_H
#define TARVO_SEARCH_H

#include "link/nodeinfo.h"

#include <QVector>
#include <functional>

class Discovery;
class Stopper;

// What one search found: the nodes, sorted by the address they answered
// from (twins marked), and how complete that is.
struct SearchResult {
    QVector<NodeInfo> nodes;
    bool listFull = false;
    quint64 repliesLost = 0;
    bool stopped = false; // the stopper asked before the search ended
};

// One search: a request, and the replies taken for windowMs. Once `enough`
// holds (it is told each node as it answers), graceMs more for a twin or a
// namesake that answers a moment later. A stopper's request ends it at once.
SearchResult searchNodes(Discovery &discovery, int windowMs, int graceMs,
                         const std::function<bool(const NodeInfo &newest)> &enough = {},
                         const Stopper *stopper = nullptr);

#endif
