#ifndef TARVO_CHAOS_WORLD_H
#define TARVO_CHAOS_WORLD_H

// The chaos test's world: emulated nodes with random faults in several
// emulator processes, each with a journal of what its nodes really did, and
// tarvo run against them while processes are paused or killed and tarvo
// itself is interrupted.

#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QVector>
#include <memory>
#include <random>

struct Rng {
    explicit Rng(quint64 seed) : g(seed) {}
    int between(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(g); }
    bool chance(double p) { return std::uniform_real_distribution<double>(0, 1)(g) < p; }
    template <typename T>
    T pick(const QVector<T> &from) { return from.at(between(0, int(from.size()) - 1)); }
    std::mt19937_64 g;
};

quint64 nextSeed(quint64 seed); // the seed of the round after
QString compactJson(const QJsonValue &value);

// One line of a journal.
using Event = QJsonObject;
using Journal = QHash<QString, QVector<Event>>; // by the node's start address

struct ChaosNode {
    QJsonObject setup; // as the node file has it: ip, serial, label, mac, type, version, faults
    int process = 0;
    // As its journal last told.
    QString at;         // where it answers now
    QJsonObject config; // what it applies (the journal's "config" fields)
    QString version;
    int type = 421;

    QString key() const { return setup.value(QLatin1String("ip")).toString(); }
    QString serial() const { return setup.value(QLatin1String("serial")).toString(); }
};

// The faults the chaos test deals, each with values of its own.
QStringList faultNames();
// Random nodes for one round: faults dealt from a shuffled deck of every
// fault the emulator has, so that each comes round; twins; boot loaders.
QVector<ChaosNode> makeNodes(Rng &rng, int processes);
// An address in the nodes' network that no node holds now, or one off it.
QString freeAddress(Rng &rng, const QVector<ChaosNode> &nodes);

class Fleet
{
public:
    explicit Fleet(QString dir) : dir(std::move(dir)) {}
    ~Fleet();
    bool start(const QVector<ChaosNode> &nodes, int processes);
    qint64 pid(int process) const;
    int processes() const { return int(emulators.size()); }
    void pause(int process);
    void kill(int process);
    void cut(bool down); // the nodes' end of the link, in their namespace
    // Resumes what is paused, starts again what was killed (its nodes back
    // as they started), and waits until every journal has been quiet for
    // `quietMs`.
    bool settle(int quietMs = 150);
    // The journal lines since the last call, by node; the nodes' state
    // follows them.
    Journal collect();
    QVector<ChaosNode> nodes;

private:
    struct Emulator {
        std::unique_ptr<QProcess> process;
        QString journal;
        qint64 read = 0;
        bool paused = false, killed = false;
    };
    bool isCut = false;
    bool launch(int process);
    void readJournals(); // into `lines`
    qint64 journalBytes() const;
    Journal lines;
    QString dir;
    std::vector<Emulator> emulators;
};

// What happens to a run while it goes, at a time after its start: an
// interrupt, a process of nodes paused or killed, or the nodes' end of the
// link down (a cut).
struct Action {
    enum Kind { Interrupt, Pause, Kill, Cut } kind;
    int atMs;
    int process = 0;
    int forMs = 0; // Pause, Cut
};

struct Run {
    int code = -1;
    bool crashed = false; // ended by a signal
    QString out, err;
    qint64 ms = 0;
    qint64 peakKb = 0; // VmHWM
};

Run runTarvo(const QString &program, const QStringList &args, const QVector<Action> &actions, Fleet &fleet);

#endif
