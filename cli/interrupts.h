#ifndef TARVO_CLI_INTERRUPTS_H
#define TARVO_CLI_INTERRUPTS_H

#include "engine/stopper.h"

class QSocketNotifier;

// SIGINT and SIGTERM as events of the event loop: the signal handler only
// writes a byte into a pipe, and the loop reads it, so that the program can
// end what it is doing in order (and still print what it did) instead of
// dying at once. Each one is a request to the engine's Stopper: the first
// starts nothing new, a second stops at once. The second one also arms a
// one-second alarm that ends the process (exit code 130) should anything
// still hold it up.
class Interrupts : public Stopper
{
    Q_OBJECT

public:
    static Interrupts &instance();
    // Installs the handlers; until then the signals end the process.
    void install();
    // The count with the signals that arrived since the event loop last
    // ran taken in: for a wait that blocks the loop.
    int countNow();

private:
    Interrupts() = default;
    void read();

    QSocketNotifier *notifier = nullptr;
};

#endif
