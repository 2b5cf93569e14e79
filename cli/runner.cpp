#include "cli/runner.h"

#include "cli/interrupts.h"
#include "cli/output.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QTimer>

// An interrupt that came before (during the search, or while a plan was
// read) counts here too: nothing new starts after it.
Runner::Runner(int most) : parallel(qMax(1, most)), stopped(Interrupts::instance().count()) {}

Outcome Runner::judged(const NodeOperation::Result &r, const QString &word)
{
    using S = NodeOperation::Status;
    Outcome o;
    o.ok = r.ok();
    o.reason = r.reason;
    o.ms = r.elapsedMs;
    o.record = r.record;
    switch (r.status) {
    case S::Done:
        o.result = word.isEmpty() ? QStringLiteral("done") : word;
        break;
    case S::NotVerified:
        o.result = QStringLiteral("not verified");
        break;
    case S::Aborted:
        o.result = QStringLiteral("interrupted");
        break;
    default:
        o.result = QStringLiteral("failed");
        break;
    }
    return o;
}

QVector<Outcome> Runner::run(const QVector<NodeInfo> &nodes, const Start &start, const Judge &judge,
                             const Watchers &watchers)
{
    const Progress &progress = watchers.progress;
    const Finished &finished = watchers.finished;
    QVector<Outcome> outcomes(nodes.size());
    if (nodes.isEmpty())
        return outcomes;
    QEventLoop loop;
    int next = 0, running = 0, ended = 0;
    QVector<NodeOperation *> live;
    // When each live operation last moved, and whether its stall was told.
    struct Pace {
        QElapsedTimer since;
        bool told = false;
    };
    QHash<NodeOperation *, Pace> pace;
    QTimer stallCheck;
    if (watchers.stalled) {
        QObject::connect(&stallCheck, &QTimer::timeout, &loop, [&] {
            for (auto it = pace.begin(); it != pace.end(); ++it) {
                if (it->told || it->since.elapsed() < StallMs || it.key()->awaiting().isEmpty())
                    continue;
                it->told = true;
                watchers.stalled(it.key()->node(), it.key()->awaiting());
            }
        });
        stallCheck.start(StallMs / 20);
    }

    std::function<void()> startMore;
    const auto wrapUp = [&](int index, const Outcome &outcome) {
        outcomes[index] = outcome;
        ++ended;
        if (finished)
            finished(nodes.at(index), outcome);
        if (ended == nodes.size())
            loop.quit();
    };
    // Nodes never started once interrupted: nothing was sent to them.
    const auto skipRest = [&] {
        while (next < nodes.size()) {
            Outcome o;
            o.result = QStringLiteral("interrupted");
            o.reason = QStringLiteral("not started; nothing was sent to it");
            wrapUp(next++, o);
        }
    };
    startMore = [&] {
        if (stopped) {
            skipRest();
            return;
        }
        while (running < parallel && next < nodes.size()) {
            const int index = next++;
            NodeOperation *op = start(nodes.at(index));
            if (!op) { // an outcome all the same, or the loop would wait for it
                Outcome o;
                o.result = QStringLiteral("failed");
                o.reason = QStringLiteral("not started");
                wrapUp(index, o);
                continue;
            }
            ++running;
            live.append(op);
            pace[op].since.start();
            QObject::connect(op, &NodeOperation::progress, &loop,
                             [&progress, &nodes, &pace, op, index](qint64 done, qint64 total) {
                                 Pace &p = pace[op];
                                 p.since.restart();
                                 p.told = false;
                                 if (progress)
                                     progress(nodes.at(index), done, total);
                             });
            // Queued: the next node starts after the finished one's handler
            // has returned, not inside it.
            QObject::connect(
                op, &NodeOperation::finished, &loop,
                [&, op, index](const NodeOperation::Result &result) {
                    live.removeOne(op);
                    pace.remove(op);
                    --running;
                    Outcome o = judge(nodes.at(index), result);
                    if (result.status == NodeOperation::Status::Aborted && stopped)
                        o.result = QStringLiteral("interrupted");
                    op->deleteLater();
                    wrapUp(index, o);
                    startMore();
                },
                Qt::QueuedConnection);
        }
    };

    const QMetaObject::Connection onSignal =
        QObject::connect(&Interrupts::instance(), &Interrupts::interrupted, &loop, [&](int count) {
            stopped = count;
            if (count == 1) {
                out::message(QStringLiteral("tarvo: interrupted: no new node is started; the %1 in progress "
                                            "finish within their bounds (interrupt again to abort them)")
                                 .arg(running));
                skipRest();
                return;
            }
            out::message(QStringLiteral("tarvo: interrupted again: aborting the %1 in progress").arg(running));
            for (NodeOperation *op : QVector<NodeOperation *>(live))
                op->abort();
        });
    startMore();
    if (ended < nodes.size())
        loop.exec();
    QObject::disconnect(onSignal);
    // What the loop left to delete goes now, not at the program's end.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return outcomes;
}
