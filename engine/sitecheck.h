#ifndef TARVO_SITECHECK_H
#define TARVO_SITECHECK_H

#include "link/nodeinfo.h"

#include <QByteArray>
#include <QPair>
#include <QString>
#include <QVector>

// A site's health as one search shows it: the problems its replies reveal,
// typed, with the facts a client needs to word them and say what to do.
// Pure: the nodes, the workstation's address and mask in; nothing sent.
namespace sitecheck {

// In the order problems are listed: errors, then warnings, then notes.
enum class Kind {
    AddressConflict,    // two nodes (other serial or MAC) hold one address: answer from it or claim it
    WorkstationAddress, // a node holds the workstation's own address
    Unreachable,        // a node answers from outside the workstation's network
    RecordAddress,      // a node's record names another address than its reply came from
    MaskMismatch,       // a node's mask is not the workstation's
    GatewayOutside,     // a node's gateway lies outside its own network (0.0.0.0 is none)
    SharedSerial,       // several nodes report one serial
    DuplicateMac,       // several nodes report one MAC address
    DuplicateLabel,     // several nodes carry one label
    BootLoader,         // a node runs its boot loader
    FirmwareVersions,   // the applications run several versions
    RepliesLost,        // the workstation dropped replies: nodes may be missing
};
enum class Severity { Error, Warning, Info };

// Every kind, in the order above.
const QVector<Kind> &kinds();
// "address-conflict", "workstation-address", ...: the names clients show,
// in JSON and in metrics.
QString kindName(Kind kind);
Severity severityOf(Kind kind);
// "error", "warning", "info".
QString severityName(Severity severity);

struct Problem {
    Kind kind = Kind::AddressConflict;
    Severity severity = Severity::Error;
    QVector<int> nodes;   // indexes into the nodes checked, by address
    quint32 address = 0;  // the address held twice, or the node's (the one its reply came from)
    quint32 recordAddress = 0; // record-address: what the record says
    quint32 mask = 0;          // mask-mismatch, gateway-outside, unreachable: the node's mask
    quint32 gateway = 0;       // gateway-outside
    // unreachable: the node's network by its mask (prefixLength -1: its mask
    // gives no network a workstation could join, /8 to /30), and the highest
    // address in it that no node and not the workstation holds (0: none).
    int prefixLength = -1;
    quint32 freeAddress = 0;
    QByteArray text; // shared-serial: the serial; duplicate-mac: the MAC's six bytes; duplicate-label: the label
    QVector<QPair<QByteArray, int>> versions; // firmware-versions: each version and how many nodes run it, most first
    quint64 repliesLost = 0;
};

struct Workstation {
    quint32 address = 0;
    quint32 mask = 0; // of the interface's address entry; 0 when unknown (then no network checks)
};

// The problems of one search's nodes, errors first; within a kind by the
// address of the first node concerned.
QVector<Problem> check(const QVector<NodeInfo> &nodes, const Workstation &workstation, quint64 repliesLost);

} // namespace sitecheck

#endif
