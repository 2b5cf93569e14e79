#include "emulator.h"
#include "wait.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QThread>

EmulatorProcess::EmulatorProcess() = default;

EmulatorProcess::~EmulatorProcess() { stop(); }

bool EmulatorProcess::available()
{
    return qEnvironmentVariableIsSet("TARVO_NODES_NETNS") && qEnvironmentVariableIsSet("TARVO_EMULATOR");
}

bool EmulatorProcess::start(const QStringList &args)
{
    if (!available())
        return false;
    out.clear();
    partial.clear();
    QStringList all{QStringLiteral("--net=") + qEnvironmentVariable("TARVO_NODES_NETNS"), qEnvironmentVariable("TARVO_EMULATOR"),
                    QStringLiteral("--exit-with-parent"), QStringLiteral("--state-dir"), state.path()};
    all += args;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(QStringLiteral("nsenter"), all);
    if (!process.waitForStarted(5000))
        return false;
    QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        drain();
        for (const QString &l : out)
            if (l.startsWith(QLatin1String("ready ")))
                return true;
        if (process.state() == QProcess::NotRunning)
            return false;
        process.waitForReadyRead(50);
    }
    return false;
}

bool EmulatorProcess::startNodes(const QJsonArray &nodes, const QStringList &extraArgs)
{
    const QString path = QDir(state.path()).filePath(QStringLiteral("nodes.json"));
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    f.write(QJsonDocument(QJsonObject{{QStringLiteral("nodes"), nodes}}).toJson());
    f.close();
    return start(QStringList{QStringLiteral("--nodes-file"), path} + extraArgs);
}

void EmulatorProcess::stop()
{
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(5000);
    }
}

void EmulatorProcess::drain()
{
    partial += process.readAllStandardOutput();
    int nl;
    while ((nl = int(partial.indexOf('\n'))) >= 0) {
        out.append(QString::fromUtf8(partial.left(nl)));
        partial.remove(0, nl + 1);
    }
}

QStringList EmulatorProcess::lines()
{
    QCoreApplication::processEvents();
    drain();
    return out;
}

QStringList EmulatorProcess::received(const QString &address)
{
    QStringList words;
    const QString prefix = QStringLiteral("rx ") + address + QLatin1Char(' ');
    for (const QString &l : lines())
        if (l.startsWith(prefix))
            words.append(l.mid(prefix.size()));
    return words;
}

bool EmulatorProcess::waitForLine(const QString &line, int timeoutMs)
{
    // The emulator's output wakes the wait.
    return waitUntil([&] { return lines().contains(line); }, timeoutMs);
}

static QByteArray readState(const QString &dir, const QString &name)
{
    QFile f(QDir(dir).filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray EmulatorProcess::storedConfig(const QString &address) const
{
    return readState(state.path(), address + QStringLiteral(".config"));
}

QByteArray EmulatorProcess::storedFlash(const QString &address) const
{
    return readState(state.path(), address + QStringLiteral(".flash"));
}
