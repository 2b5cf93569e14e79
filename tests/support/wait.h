#ifndef TARVO_TEST_WAIT_H
#define TARVO_TEST_WAIT_H

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>
#include <functional>

// Waits until `done` holds, without polling: each turn sleeps until the
// next event (a socket, a timer, a process's output) and handles it; a
// timer at the deadline ends the wait when nothing else comes.
inline bool waitUntil(const std::function<bool()> &done, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    QTimer end;
    end.setSingleShot(true);
    end.start(timeoutMs);
    while (!done()) {
        if (deadline.hasExpired())
            return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

#endif
