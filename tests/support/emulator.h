#ifndef TARVO_TEST_EMULATOR_H
#define TARVO_TEST_EMULATOR_H

#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// Runs tarvo-emulator in the nodes' network namespace that netns-run made,
// and collects the lines it prints ("rx 192.0.2.10 7", ...).
class EmulatorProcess
{
public:
    EmulatorProcess();
    ~EmulatorProcess();

    // Starts with these arguments and waits for its "ready" line.
    bool start(const QStringList &args);
    // Starts with nodes described as JSON objects (keys as in --help).
    bool startNodes(const QJsonArray &nodes, const QStringList &extraArgs = {});
    void stop();

    QStringList lines();                  // everything printed so far
    QStringList received(const QString &address); // command words received, in order
    bool waitForLine(const QString &line, int timeoutMs = 5000);
    QString stateDir() const { return state.path(); }
    QByteArray storedConfig(const QString &address) const;
    QByteArray storedFlash(const QString &address) const;

    static bool available(); // false outside netns-run

private:
    void drain();
    QProcess process;
    QStringList out;
    QByteArray partial;
    QTemporaryDir state;
};

#endif
