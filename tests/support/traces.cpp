#include "traces.h"
#include "wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>
#include <cstdio>

namespace {

QStringList &store()
{
    static QStringList s;
    return s;
}

QtMessageHandler previous = nullptr;

void handler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    if (type == QtDebugMsg)
        store().append(msg);
    // The offscreen platform says this of every fixed-size window; it tells
    // nothing about the code under test.
    if (type == QtWarningMsg && msg == QLatin1String("This plugin does not support propagateSizeHints()"))
        return;
    // Warnings go on to QtTest's own handler, which reports them (and
    // honours QTest::ignoreMessage); traces only when asked for.
    if (type != QtDebugMsg || qEnvironmentVariableIsSet("TARVO_TRACE_ECHO")) {
        if (previous)
            previous(type, context, msg);
        else
            std::fprintf(stderr, "%s\n", qPrintable(msg));
    }
}

} // namespace

namespace Traces {

// QTest::qExec() installs its own handler when it starts, so this is called
// again from inside the tests (openWindow(), clear()); it keeps the handler
// it replaces for the messages it passes on.
void install()
{
    const QtMessageHandler old = qInstallMessageHandler(handler);
    if (old != handler)
        previous = old;
}
QStringList lines() { return store(); }
void clear()
{
    install();
    store().clear();
}
bool contains(const QString &line) { return store().contains(line); }
int count(const QString &line) { return int(store().count(line)); }

QStringList since(const QString &line)
{
    const auto i = store().indexOf(line);
    return i < 0 ? QStringList() : store().mid(i);
}

bool waitFor(const QString &line, int timeoutMs)
{
    return waitUntil([&] { return store().contains(line); }, timeoutMs);
}

} // namespace Traces
