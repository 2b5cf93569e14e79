#ifndef TARVO_REACHHOLDS_H
#define TARVO_REACHHOLDS_H

#include "link/rtnl.h"

#include <sys/types.h>

// What a process holds on an interface, for Reach: leases that other tarvo
// processes can see, and the undo of each change, ready for a signal
// handler. Everything here is plain system calls on fixed buffers, so that
// undoAll() is async-signal-safe.
namespace reachholds {

// A lease is an abstract Unix socket bound to a name, in the network
// namespace of the interface, for as long as the process holds what the
// name says; the kernel drops it however the process ends.
enum Kind { Neighbour, Address, Lock };
// Processes that may share one temporary address at once.
constexpr int AddressSlots = 32;

// The lease's fd, or -1: errno EADDRINUSE when another holds it.
int take(Kind kind, int index, quint32 address, int slot = 0);
bool isHeld(Kind kind, int index, quint32 address, int slot = 0);
// The process that holds it (0 when unknown).
pid_t holder(Kind kind, int index, quint32 address, int slot = 0);
void drop(int fd);
// Any slot of the address held by a process, other than `except`.
bool othersHold(int index, quint32 address, int except);

// The interface's lock, serialising the changes of temporary addresses
// between tarvo processes: waits up to waitMs for it.
int lock(int index, int waitMs);
void unlock(int fd);

// The table of changes to undo. arm() keeps `undo` (a prepared request)
// for a change just made; -1 when the table is full. claim() hands it to
// the caller that undoes it now, false when a signal handler did already;
// release() frees the entry. An Address entry is undone only when no other
// process holds the address.
int arm(const rtnl::Message &undo, Kind kind, int index, quint32 address, int ownSlot);
bool claim(int entry);
const rtnl::Message &undoOf(int entry);
void release(int entry);
void undoAll();

} // namespace reachholds

#endif
