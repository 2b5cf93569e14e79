#ifndef TARVO_TEST_PROBERUN_H
#define TARVO_TEST_PROBERUN_H

#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

// One run of startup_probe (the real main() with the scripted operator) in
// the test's own network namespace, and what it reported.
struct ProbeRun {
    bool finished = false;
    QProcess::ExitStatus exitStatus = QProcess::CrashExit;
    int exitCode = -1;
    QList<QStringList> records; // report lines split at tabs
    QByteArray errors;

    // Records of one kind ("dialog", "box", "trace", ...) without the kind.
    QList<QStringList> of(const QString &kind) const
    {
        QList<QStringList> out;
        for (const QStringList &r : records)
            if (r.value(0) == kind)
                out.append(r.mid(1));
        return out;
    }
    QStringList traces() const
    {
        QStringList out;
        for (const QStringList &r : of(QStringLiteral("trace")))
            out.append(r.value(0));
        return out;
    }
    int shown() const { return of(QStringLiteral("shown")).value(0).value(0, QStringLiteral("-1")).toInt(); }
};

inline ProbeRun runStartupProbe(const QStringList &environment)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.remove(QStringLiteral("TARVO_TRACE_ECHO"));
    for (const QString &entry : environment)
        env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral(STARTUP_PROBE), {});
    ProbeRun run;
    run.finished = process.waitForFinished(30000);
    if (!run.finished) {
        process.kill();
        process.waitForFinished();
    }
    run.exitStatus = process.exitStatus();
    run.exitCode = process.exitCode();
    run.errors = process.readAllStandardError();
    const QStringList lines = QString::fromUtf8(process.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &line : lines)
        run.records.append(line.split(QLatin1Char('\t')));
    return run;
}

#endif
