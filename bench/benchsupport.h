#ifndef TARVO_BENCHSUPPORT_H
#define TARVO_BENCHSUPPORT_H

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QVector>
#include <functional>

// What every benchmark program shares: a clock, statistics, the result
// lines that scripts/bench collects, trace lines with their time, and the
// node emulator in the nodes' namespace that netns-run made.
namespace bench {

qint64 nowNs(); // CLOCK_MONOTONIC, comparable across processes

struct Stats {
    int n = 0;
    double min = 0, median = 0, p90 = 0, p99 = 0, max = 0, mean = 0;
    static Stats of(QVector<double> values);
};

// "RESULT <key> <value> <unit>": one figure, machine-readable.
void result(const QString &key, double value, const QString &unit);
// A free-text line for the reader of the run's log.
void note(const QString &line);
// Stops the program with a message when a benchmark cannot be run.
[[noreturn]] void fail(const QString &why);

// Refuses to go on outside scripts/netns-run, where a search or a bind
// would reach this machine's real network.
void requirePrivateNetwork();
QString workstationAddress(int index = 0); // from netns-run's --ws list

// A plain UDP socket on address:49999 that may broadcast and asks for
// `receiveBuffer` bytes (forcing them where `force` and allowed): the
// baselines' discovery, as a minimal program would search. Fails the
// benchmark when it cannot bind.
int discoverySocket(const QString &address, int receiveBuffer, bool force = false);

// Trace lines of the code under test, each with the time it was written.
// Lines still go on to the standard error, as in the real program, unless
// `echo` is false.
namespace traces {
struct Line {
    qint64 ns;
    QString text;
};
void install(bool echo);
void clear();
const QVector<Line> &lines();
qint64 timeOf(const QString &text); // first occurrence, or -1
}

// Runs the event loop until done() holds (false after timeoutMs). It
// sleeps only in the wait for the next event, so it adds no latency.
bool waitUntil(const std::function<bool()> &done, int timeoutMs);
// Runs the event loop for a while, sleeping between events.
void settle(int ms);

// Peak and current resident memory of this process, in KiB.
qint64 peakRssKb();
qint64 rssKb();

// tarvo-emulator in the nodes' namespace, its output in a file (a pipe that
// nobody reads would stall it under load).
class Emulator
{
public:
    ~Emulator();
    bool start(const QStringList &args, int timeoutMs = 30000);
    void stop();
    QString log() const;

private:
    QProcess process;
    QTemporaryDir dir;
};

// Before the QApplication of a program that opens the window: Qt's own
// dialogs (the scripted operator answers those) on the offscreen platform
// unless another is asked for.
void prepareWindowApp();

// A raw 128 KiB firmware image of version "v2.05" with varied code bytes,
// so that what is sent and written is not all zeros.
QByteArray firmwareImage();

// Integer options of the form --name value.
int intArg(const QStringList &args, const QString &name, int fallback);
QString stringArg(const QStringList &args, const QString &name, const QString &fallback);

} // namespace bench

#endif
