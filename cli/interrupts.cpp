#include "cli/interrupts.h"

#include "engine/nodeengine.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {

int pipeEnds[2] = {-1, -1};
volatile sig_atomic_t signalsSeen = 0;

// The last resort: whatever holds the program up, a second interrupt ends
// it within a second.
extern "C" void onAlarm(int)
{
    static const char said[] = "tarvo: interrupted twice; ended\n";
    // What was changed on the interface to reach a node goes with the run.
    NodeEngine::undoFromSignalHandler();
    (void)!::write(STDERR_FILENO, said, sizeof said - 1);
    ::_exit(130);
}

extern "C" void onSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Async-signal-safe; a full pipe already holds enough wake-ups.
    (void)!::write(pipeEnds[1], &byte, 1);
    if (++signalsSeen == 2)
        ::alarm(1);
    errno = saved;
}

} // namespace

Interrupts &Interrupts::instance()
{
    static Interrupts one;
    return one;
}

void Interrupts::install()
{
    if (notifier || ::pipe2(pipeEnds, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    notifier = new QSocketNotifier(pipeEnds[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &Interrupts::read);
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction alarmAction {};
    alarmAction.sa_handler = onAlarm;
    sigemptyset(&alarmAction.sa_mask);
    sigaction(SIGALRM, &alarmAction, nullptr);
}

int Interrupts::countNow()
{
    if (notifier)
        read();
    return count();
}

void Interrupts::read()
{
    char bytes[16];
    for (ssize_t n; (n = ::read(pipeEnds[0], bytes, sizeof bytes)) > 0;)
        for (ssize_t i = 0; i < n; ++i)
            stop();
}
