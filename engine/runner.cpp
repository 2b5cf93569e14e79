#include "engine/runner.h"

#include "engine/stopper.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QTimer>

Runner::Runner(int most, int stall, const Stopper *s) : parallel(qMax(1, most)), stallMs(stall), stopper(s) {}

int Runner::stops() const
{
    return stopper ? stopper->count() : 0;
}

void Runner::run(const QVector<NodeInfo> &nodes, const Start &start, const Watchers &watchers)
{
    if (nodes.isEmpty())
        return;
    QEventLoop loop;
    int next = 0, running = 0, ended = 0;
    QVector<NodeOperation *> live;
    // When each live operation last moved, and whether its stall was told.
    struct Pace {
        int index = 0;
        QElapsedTimer since;
        bool told = false;
    };
    QHash<NodeOperation *, Pace> pace;
    QTimer stallCheck;
    if (watchers.stalled) {
        QObject::connect(&stallCheck, &QTimer::timeout, &loop, [&] {
            for (auto it = pace.begin(); it != pace.end(); ++it) {
                if (it->told || it->since.elapsed() < stallMs || it.key()->awaiting().isEmpty())
                    continue;
                it->told = true;
                watchers.stalled(it->index, it.key()->awaiting());
            }
        });
        stallCheck.start(qMax(1, stallMs / 20));
    }

    const auto wrapUp = [&](int index, const NodeOperation::Result &result) {
        ++ended;
        if (watchers.finished)
            watchers.finished(index, result);
        if (ended == nodes.size())
            loop.quit();
    };
    // Nodes never started once stopped: nothing was sent to them.
    const auto skipRest = [&] {
        while (next < nodes.size()) {
            NodeOperation::Result never;
            never.reason = QStringLiteral("not started; nothing was sent to it");
            wrapUp(next++, never);
        }
    };
    std::function<void()> startMore = [&] {
        if (stops() > 0) {
            skipRest();
            return;
        }
        while (running < parallel && next < nodes.size()) {
            const int index = next++;
            NodeOperation *op = start(index, nodes.at(index));
            if (!op) { // an end all the same, or the loop would wait for it
                NodeOperation::Result none;
                none.status = NodeOperation::Status::Refused;
                none.reason = QStringLiteral("not started");
                wrapUp(index, none);
                continue;
            }
            ++running;
            live.append(op);
            pace[op].index = index;
            pace[op].since.start();
            QObject::connect(op, &NodeOperation::progress, &loop, [&, op, index](qint64 done, qint64 total) {
                Pace &p = pace[op];
                p.since.restart();
                p.told = false;
                if (watchers.progress)
                    watchers.progress(index, done, total);
            });
            // Queued: the next node starts after the finished one's handler
            // has returned, not inside it.
            QObject::connect(
                op, &NodeOperation::finished, &loop,
                [&, op, index](const NodeOperation::Result &result) {
                    live.removeOne(op);
                    pace.remove(op);
                    --running;
                    op->deleteLater();
                    wrapUp(index, result);
                    startMore();
                },
                Qt::QueuedConnection);
        }
    };

    QMetaObject::Connection onStop;
    if (stopper)
        onStop = QObject::connect(stopper, &Stopper::stopped, &loop, [&](int count) {
            emit stopping(count, running);
            if (count == 1) {
                skipRest();
                return;
            }
            for (NodeOperation *op : QVector<NodeOperation *>(live))
                op->abort();
        });
    startMore();
    if (ended < nodes.size())
        loop.exec();
    QObject::disconnect(onStop);
    // What the loop left to delete goes now, not at the program's end.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}
