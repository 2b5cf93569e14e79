#ifndef TARVO_TST_CLIRUN_H
#define TARVO_TST_CLIRUN_H

#include "emulator.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>

// The command line as an operator runs it: a process in the test's own
// network namespace, with the workstation address 192.0.2.1.
struct CliRun {
    int code = -1;
    QString out, err;
};

// The emulator's output is read while the program runs: a node that prints
// more than a pipe holds would otherwise stall the exchange.
inline CliRun runProgram(const QString &program, const QStringList &args, EmulatorProcess *emu = nullptr,
                         int timeoutMs = 120000, const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment())
{
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    CliRun r;
    if (!p.waitForStarted(5000))
        return r;
    QDeadlineTimer deadline(timeoutMs);
    while (!p.waitForFinished(20) && !deadline.hasExpired())
        if (emu)
            emu->lines();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

inline CliRun tarvo(const QStringList &args, EmulatorProcess *emu = nullptr)
{
    return runProgram(QStringLiteral(TARVO_CLI), QStringList{"--interface", "192.0.2.1"} + args, emu);
}

// A shell script as an operator would type it, with $T the program and
// its --interface, $P the program alone, and the variables given.
inline CliRun shell(const QString &script, const QMap<QString, QString> &vars, EmulatorProcess *emu = nullptr)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("T", QStringLiteral(TARVO_CLI) + " --interface 192.0.2.1");
    env.insert("P", QStringLiteral(TARVO_CLI));
    for (auto it = vars.begin(); it != vars.end(); ++it)
        env.insert(it.key(), it.value());
    return runProgram("sh", {"-c", script}, emu, 120000, env);
}

inline QJsonValue parsedJson(const QString &text)
{
    const QJsonDocument doc = QJsonDocument::fromJson(text.toUtf8());
    return doc.isArray() ? QJsonValue(doc.array()) : QJsonValue(doc.object());
}

// A node description for the emulator's node file.
// The first object of an array whose `key` holds `value`; empty if none.
inline QJsonObject findIn(const QJsonArray &rows, const QString &key, const QString &value)
{
    for (const QJsonValue v : rows)
        if (v.toObject().value(key).toString() == value)
            return v.toObject();
    return {};
}

inline QJsonObject node(int i, const QString &serial, const QJsonObject &extra = {})
{
    QJsonObject n{{"ip", QStringLiteral("192.0.2.%1").arg(10 + i)}, {"serial", serial},
                  {"label", QStringLiteral("Rig-%1").arg(i + 1)}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        n.insert(it.key(), it.value());
    return n;
}

inline QString writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size() ? path : QString();
}

#endif
