#ifndef TARVO_CLI_CHECK_H
#define TARVO_CLI_CHECK_H

#include "engine/sitecheck.h"

#include <QHostAddress>
#include <QString>

struct Request;

// tarvo check: one search, and every problem its replies show, each with
// what to do (docs/CLI.md).
int check(const Request &request);

// The workstation's address with its interface entry's mask (0 when no
// interface holds it) and the interface's name.
struct WorkstationNetwork {
    sitecheck::Workstation workstation;
    QString interface;
};
WorkstationNetwork workstationNetwork(const QHostAddress &address);

#endif
