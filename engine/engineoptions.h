#ifndef TARVO_ENGINEOPTIONS_H
#define TARVO_ENGINEOPTIONS_H

#include "config/configexchange.h"
#include "firmware/firmwareupgrade.h"
#include "link/operation.h"
#include "link/reach.h"

// Every limit of the engine, given once to it: each room's own options,
// gathered. A client sets what it needs and derives nothing itself.
struct EngineOptions {
    OperationOptions operation; // the connection, replies, verification (link/)
    ConfigOptions config;       // the SetConfig acknowledgement: 3000 ms (config/)
    UpgradeOptions upgrade;     // the upgrade's guards and per-packet limit (firmware/)
    // Once the nodes a search looks for have all answered, it waits this
    // much longer for a twin or a namesake that answers a moment later.
    int searchGraceMs = 250;
    // A run of many nodes tells of one that made no progress for this long.
    int stallMs = 5000;
    // Reach the nodes that share an address, or sit outside the
    // workstation's network, by changing its interface for the length of
    // each operation (NodePaths). Off, they are connected to as they are.
    bool reachEveryNode = false;
    ReachOptions reach;

    // The bounds for one reply bound: the connection, every reply and a
    // search wait `ms`; a node has VerifyFactor times as long to show in
    // discovery what was done to it (an upgraded node restarts, a moved one
    // takes its new address). The other bounds are the window's.
    enum : int { VerifyFactor = 30 };
    static EngineOptions forReplyTimeout(int ms)
    {
        EngineOptions o;
        o.operation.connectTimeoutMs = o.operation.replyTimeoutMs = ms;
        o.operation.verifyTimeoutMs = ms * VerifyFactor;
        return o;
    }
};

#endif
