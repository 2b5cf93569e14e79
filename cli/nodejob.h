#ifndef TARVO_CLI_NODEJOB_H
#define TARVO_CLI_NODEJOB_H

#include "cli/inventory.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <functional>

class ConfigExchange;
class NodeSession;

// How one node's part of a command ended.
struct Outcome {
    bool ok = false;
    QString result; // the word in the summary: "done", "failed", "verified", "skipped"...
    QString reason;
    qint64 ms = 0;
};

// One node's part of a command, on a session of its own (the engine's
// objects wire their own sockets and timers). Every exit goes through
// finish(), once; the connection is then dropped.
class NodeJob : public QObject
{
    Q_OBJECT

public:
    NodeJob(const NodeInfo &node, int timeoutMs, QObject *parent = nullptr);
    ~NodeJob() override;

    const NodeInfo &node() const { return info; }
    const Outcome &outcome() const { return result; }
    bool isFinished() const { return ended; }

    void start();

signals:
    void finished(NodeJob *job);

protected:
    // The connection is up.
    virtual void connected() = 0;
    // The connection closed after expectClose().
    virtual void disconnected();
    // The connection closed, or failed, when nothing asked for it.
    virtual void connectionLost(const QString &reason);

    // Waits at most timeoutMs for the next step; `what` says what did not come.
    void expect(const QString &what);
    void stopWaiting();
    void finish(bool ok, const QString &reason, const QString &word = QString());
    void expectClose() { closing = true; }

    NodeSession *session;
    int timeoutMs;

private:
    NodeInfo info;
    Outcome result;
    QTimer bound;
    QString awaited;
    QElapsedTimer clock;
    bool ended = false;
    bool closing = false;
};

// Reads the configuration (GetConfig) and, for what asks more, acts on it:
// writes a record built from it (one SetConfig), restores the factory
// configuration, or only keeps it.
class ConfigJob : public NodeJob
{
    Q_OBJECT

public:
    enum class Action { Read, Write, Default };
    // Builds the record to send from the node's current one; a refusal
    // ends the job with nothing sent.
    using Builder = std::function<QString(const QByteArray &current, QByteArray *record)>;

    ConfigJob(const NodeInfo &node, int timeoutMs, Action action, Builder build = {}, QObject *parent = nullptr);
    const QByteArray &record() const { return config; } // as read (Read), or as the node now applies it

protected:
    void connected() override;
    void disconnected() override;

private:
    void configReceived(const QByteArray &record);

    ConfigExchange *exchange;
    Action action;
    Builder build;
    QByteArray config;
    bool read = false;
};

// Starts the application of a node in its boot loader: RunApplication,
// then the connection closes.
class RunJob : public NodeJob
{
    Q_OBJECT

public:
    using NodeJob::NodeJob;

protected:
    void connected() override;
    void disconnected() override;
};

// Runs jobs in this thread's event loop, at most `parallel` at once, and
// returns when all are finished. `done` is called as each one finishes.
void runJobs(const QVector<NodeJob *> &jobs, int parallel, const std::function<void(NodeJob *)> &done = {});

#endif
