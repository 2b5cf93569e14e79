#ifndef TARVO_STOPPER_H
#define TARVO_STOPPER_H

#include <QObject>

// How a client asks the engine's long calls (a search, a run of many
// nodes) to stop: the first request starts nothing new and lets what is at
// work end within its bounds, a second aborts it. A command line drives it
// from SIGINT and SIGTERM; a service would from its own shutdown.
class Stopper : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    int count() const { return requests; }

public slots:
    void stop()
    {
        ++requests;
        emit stopped(requests);
    }

signals:
    void stopped(int count);

private:
    int requests = 0;
};

#endif
