#include "engine/search.h"

#include "engine/stopper.h"
#include "link/discovery.h"

#include <QEventLoop>
#include <QTimer>
#include <algorithm>

SearchResult searchNodes(Discovery &discovery, int windowMs, int graceMs,
                         const std::function<bool(const NodeInfo &)> &enough, const Stopper *stopper)
{
    SearchResult result;
    QEventLoop loop;
    QTimer grace;
    grace.setSingleShot(true);
    QObject::connect(&grace, &QTimer::timeout, &discovery, &Discovery::endSearch);
    const QMetaObject::Connection ends = QObject::connect(&discovery, &Discovery::searchFinished, &loop, &QEventLoop::quit);
    const QMetaObject::Connection taken = QObject::connect(&discovery, &Discovery::nodeFound, &loop, [&](int index) {
        if (enough && !grace.isActive() && enough(discovery.nodes().at(index)))
            grace.start(qMin(graceMs, windowMs));
    });
    if (stopper)
        QObject::connect(stopper, &Stopper::stopped, &loop, [&] {
            result.stopped = true;
            loop.quit();
        });
    result.stopped = stopper && stopper->count() > 0;
    if (!result.stopped) {
        discovery.search(windowMs);
        loop.exec();
    }
    QObject::disconnect(taken);
    QObject::disconnect(ends);
    result.nodes = discovery.nodes();
    result.listFull = discovery.listFull();
    result.repliesLost = discovery.repliesLost();
    std::stable_sort(result.nodes.begin(), result.nodes.end(), [](const NodeInfo &a, const NodeInfo &b) {
        return a.address.toIPv4Address() < b.address.toIPv4Address();
    });
    return result;
}
