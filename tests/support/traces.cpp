#include "traces.h"

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

void handler(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtDebugMsg)
        store().append(msg);
    if (type != QtDebugMsg || qEnvironmentVariableIsSet("TARVO_TRACE_ECHO")) {
        std::fprintf(stderr, "%s\n", qPrintable(msg));
        std::fflush(stderr);
    }
}

} // namespace

namespace Traces {

void install() { qInstallMessageHandler(handler); }
QStringList lines() { return store(); }
void clear() { store().clear(); }
bool contains(const QString &line) { return store().contains(line); }
int count(const QString &line) { return int(store().count(line)); }

QStringList since(const QString &line)
{
    const auto i = store().indexOf(line);
    return i < 0 ? QStringList() : store().mid(i);
}

bool waitFor(const QString &line, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (!store().contains(line)) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

} // namespace Traces
