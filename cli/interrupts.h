#ifndef TARVO_CLI_INTERRUPTS_H
#define TARVO_CLI_INTERRUPTS_H

#include <QObject>

class QSocketNotifier;

// SIGINT and SIGTERM as events of the event loop: the signal handler only
// writes a byte into a pipe, and the loop reads it, so that the program can
// end what it is doing in order (and still print what it did) instead of
// dying at once. The second one also arms a one-second alarm that ends the
// process (exit code 130) should anything still hold it up.
class Interrupts : public QObject
{
    Q_OBJECT

public:
    static Interrupts &instance();
    // Installs the handlers; until then the signals end the process.
    void install();
    int count() const { return received; }
    // The count with the signals that arrived since the event loop last
    // ran taken in: for a wait that blocks the loop.
    int countNow();

signals:
    // The first one asks to stop starting anything new; a second one, to
    // stop at once.
    void interrupted(int count);

private:
    Interrupts() = default;
    void read();

    QSocketNotifier *notifier = nullptr;
    int received = 0;
};

#endif
