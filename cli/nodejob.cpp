#include "cli/nodejob.h"

#include "config/configexchange.h"
#include "config/configrecord.h"
#include "firmware/runapplication.h"
#include "link/nodesession.h"

#include <QEventLoop>
#include <cstring>

NodeJob::NodeJob(const NodeInfo &node, int timeout, QObject *parent)
    : QObject(parent), session(new NodeSession(this)), timeoutMs(timeout), info(node)
{
    bound.setSingleShot(true);
    connect(&bound, &QTimer::timeout, this, [this] { finish(false, awaited); });
}

NodeJob::~NodeJob() = default;

// The session's signals reach the job after those of the exchanges attached
// to it: a restart that drops the connection is first the upgrade's to see.
void NodeJob::start()
{
    clock.start();
    connect(session, &NodeSession::connected, this, [this] {
        bound.stop();
        connected();
    });
    // Queued: a reply handled in the same turn, before the close it caused,
    // decides first.
    connect(
        session, &NodeSession::disconnected, this,
        [this] {
            if (ended)
                return;
            if (closing)
                disconnected();
            else
                connectionLost(QStringLiteral("connection lost"));
        },
        Qt::QueuedConnection);
    connect(session, &NodeSession::connectionFailed, this, [this](const QString &reason) {
        if (!ended && !closing)
            connectionLost(QStringLiteral("connection failed: ") + reason);
    });
    session->connectToNode(info.address);
    expect(QStringLiteral("no connection"));
}

void NodeJob::disconnected() {}

void NodeJob::connectionLost(const QString &reason)
{
    finish(false, reason);
}

void NodeJob::expect(const QString &what)
{
    awaited = what + QStringLiteral(" within %1 ms").arg(timeoutMs);
    bound.start(timeoutMs);
}

void NodeJob::stopWaiting()
{
    bound.stop();
}

void NodeJob::finish(bool ok, const QString &reason, const QString &word)
{
    if (ended)
        return;
    ended = true;
    bound.stop();
    session->operationTimer().stop();
    result = {ok, word.isEmpty() ? QString::fromLatin1(ok ? "done" : "failed") : word, reason, clock.elapsed()};
    // What was written still goes out after a success; after a failure the
    // connection is cut at once.
    if (ok)
        session->close();
    else
        session->drop();
    emit finished(this);
}

ConfigJob::ConfigJob(const NodeInfo &node, int timeout, Action what, Builder builder, QObject *parent)
    : NodeJob(node, timeout, parent), exchange(new ConfigExchange(session)), action(what), build(std::move(builder))
{
    connect(exchange, &ConfigExchange::configReceived, this, &ConfigJob::configReceived);
    connect(exchange, &ConfigExchange::writeAcknowledged, this, [this] { finish(true, QStringLiteral("written")); });
    connect(exchange, &ConfigExchange::writeTimedOut, this,
            [this] { finish(false, QStringLiteral("Setting new config timeout!")); });
    // The exchange has seen the factory record first, and has closed the
    // session when the node is about to move.
    connect(session, &NodeSession::messageReceived, this, [this](quint32 word, const QByteArray &message) {
        if (word != DefaultConfig || action != Action::Default || !read || !ConfigRecord::complete(message))
            return;
        const bool moved = std::memcmp(message.constData() + ConfigRecord::IpOffset,
                                       config.constData() + ConfigRecord::IpOffset, ConfigRecord::NetworkSize) != 0;
        config = message;
        finish(true, moved ? QStringLiteral("factory configuration applied; the node now answers at ") +
                                 wire::dottedQuad(config, ConfigRecord::IpOffset)
                           : QStringLiteral("factory configuration applied"));
    });
}

void ConfigJob::connected()
{
    exchange->requestConfig();
    expect(QStringLiteral("no configuration"));
}

void ConfigJob::configReceived(const QByteArray &record)
{
    if (read)
        return; // a SetConfig acknowledgement: writeAcknowledged() has ended the job
    read = true;
    config = record;
    stopWaiting();
    switch (action) {
    case Action::Read:
        finish(true, QString());
        return;
    case Action::Default:
        exchange->requestDefault();
        expect(QStringLiteral("no answer to DefaultConfig"));
        return;
    case Action::Write:
        break;
    }
    QByteArray out;
    const QString refusal = build ? build(record, &out) : QStringLiteral("nothing to write");
    if (!refusal.isEmpty()) {
        finish(false, refusal);
        return;
    }
    config = out;
    // The acknowledgement is awaited on the session's own guard timer.
    if (exchange->sendConfig(out) == ConfigExchange::Sent::NetworkChanged) {
        expectClose();
        expect(QStringLiteral("connection not closed"));
    }
}

void ConfigJob::disconnected()
{
    // Only a write that moves the node closes the connection itself.
    if (action == Action::Write)
        finish(true, QStringLiteral("written; the node now answers at ") +
                         wire::dottedQuad(config, ConfigRecord::IpOffset));
}

void RunJob::connected()
{
    expectClose();
    runApplication(*session);
    expect(QStringLiteral("connection not closed"));
}

void RunJob::disconnected()
{
    finish(true, QStringLiteral("application started"));
}

void runJobs(const QVector<NodeJob *> &jobs, int parallel, const std::function<void(NodeJob *)> &done)
{
    if (jobs.isEmpty())
        return;
    QEventLoop loop;
    int next = 0, running = 0, ended = 0;
    const auto startMore = [&] {
        while (running < parallel && next < jobs.size()) {
            ++running;
            jobs.at(next++)->start();
        }
    };
    for (NodeJob *job : jobs) {
        // Queued: the next job starts after the finished one's handler has
        // returned, not inside it.
        QObject::connect(
            job, &NodeJob::finished, &loop,
            [&](NodeJob *j) {
                --running;
                ++ended;
                if (done)
                    done(j);
                if (ended == jobs.size())
                    loop.quit();
                else
                    startMore();
            },
            Qt::QueuedConnection);
    }
    startMore();
    loop.exec();
}
