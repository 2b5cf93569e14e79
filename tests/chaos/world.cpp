#include "world.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <utility>

namespace {

using Value = std::function<QJsonValue(Rng &, const QVector<ChaosNode> &)>;

// A command word a node knows, or one it does not.
int word(Rng &r)
{
    return r.pick(QVector<int>{7, 8, 9, 11, 12, 13, 15, 16, 99});
}

Value flag()
{
    return [](Rng &, const QVector<ChaosNode> &) { return QJsonValue(true); };
}

Value ms(int most)
{
    return [most](Rng &r, const QVector<ChaosNode> &) { return QJsonValue(r.between(0, most)); };
}

Value packet()
{
    return [](Rng &r, const QVector<ChaosNode> &) { return QJsonValue(r.between(0, 255)); };
}

// Every fault of the emulator with a value bounded so that a command stays
// within seconds; tst_chaos checks that none is missing here.
const QVector<QPair<QString, Value>> &faultTable()
{
    using Nodes = const QVector<ChaosNode> &;
    static const QVector<QPair<QString, Value>> table{
        {"silent", flag()},
        {"no-discovery", flag()},
        {"discovery-delay-ms", ms(600)},
        {"duplicate-reply", flag()},
        {"extra-datagrams",
         [](Rng &r, Nodes) {
             QJsonArray kinds;
             for (const char *k : {"short", "tiny", "garbage"})
                 if (r.chance(0.5))
                     kinds.append(QLatin1String(k));
             return kinds.isEmpty() ? QJsonArray{"garbage"} : kinds;
         }},
        {"discovery-flood", [](Rng &r, Nodes) { return QJsonObject{{"rate", 1000}, {"count", r.between(1, 3)}}; }},
        {"no-reply", [](Rng &r, Nodes) { return QJsonArray{word(r)}; }},
        {"delay-ms",
         [](Rng &r, Nodes) {
             return r.chance(0.5) ? QJsonValue(r.between(0, 300))
                                  : QJsonObject{{QString::number(word(r)), r.between(0, 400)}};
         }},
        {"duplicate", flag()},
        {"append", [](Rng &r, Nodes) { return word(r); }},
        {"split", flag()},
        {"split-at", [](Rng &r, Nodes) { return r.between(1, 1100); }},
        {"split-pause-ms", ms(300)},
        {"short-replies", [](Rng &r, Nodes) { return r.pick(QVector<int>{0, 4, 12, 71, 80, 278, 300, 600}); }},
        {"close-after", [](Rng &r, Nodes) { return r.between(1, 400); }},
        {"close-after-reply", [](Rng &r, Nodes) { return word(r); }},
        {"send-on-connect", [](Rng &r, Nodes) { return QJsonArray{word(r)}; }},
        {"flood-after", [](Rng &r, Nodes) { return QJsonObject{{"word", word(r)}, {"megabytes", 1}}; }},
        {"no-ack", flag()},
        {"early-ack", flag()},
        {"late-ack-ms", ms(4000)},
        {"out-of-range", flag()},
        // The command word, port 1's BREAK and universe, the label, address, mask, gateway.
        {"config-words",
         [](Rng &r, Nodes) {
             const int offset = r.pick(QVector<int>{0, 84, 108, 196, 266, 270, 274});
             return QJsonObject{{QString::number(offset), r.pick(QVector<qint64>{0, 7, 8, 4294967295LL, r.between(0, 1 << 30)})}};
         }},
        {"factory-ip", [](Rng &r, Nodes nodes) { return freeAddress(r, nodes); }},
        {"move", flag()},
        {"wrong-crc", flag()},
        {"silent-after-packet", packet()},
        {"ack-packet",
         [](Rng &r, Nodes) {
             const int p = r.between(0, 255);
             return QJsonObject{{QString::number(p), r.pick(QVector<int>{p - 1, p + 1, -1, 300, p})}};
         }},
        {"ack-twice", flag()},
        {"refuse-packet", [](Rng &r, Nodes) { return QJsonObject{{QString::number(r.between(0, 255)), r.between(1, 3)}}; }},
        {"stale-acks", [](Rng &r, Nodes) { return QJsonObject{{"every", r.between(1, 16)}, {"back", r.between(0, 4)}}; }},
        {"erase-delay-ms", ms(3000)},
        {"drop-after-packet", packet()},
        {"restart-silently", flag()},
        {"reset-reply", [](Rng &r, Nodes) { return QJsonObject{{"word", r.pick(QVector<int>{7, 12, 13, 16, 99})}}; }},
        {"restart-ms", ms(3000)},
        {"keep-version", flag()},
    };
    return table;
}

// A signal to one process; never to a group, as kill() would for 0.
void sendSignal(qint64 pid, int sig)
{
    if (pid > 0)
        ::kill(pid_t(pid), sig);
}

QByteArray readFrom(const QString &path, qint64 offset)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly) || !f.seek(offset))
        return {};
    return f.readAll();
}

// The node's state as a journal line tells it.
void follow(ChaosNode &n, const Event &e)
{
    const QString event = e.value(QLatin1String("event")).toString();
    if (event == QLatin1String("start")) {
        n.at = n.key();
        n.version = e.value(QLatin1String("version")).toString();
        n.type = e.value(QLatin1String("type")).toInt();
    }
    if (e.contains(QLatin1String("config")) && event != QLatin1String("read"))
        n.config = e.value(QLatin1String("config")).toObject();
    if (event == QLatin1String("moved"))
        n.at = e.value(QLatin1String("to")).toString();
    if (event == QLatin1String("reset"))
        n.version = e.value(QLatin1String("version")).toString();
    if (event == QLatin1String("run") && n.type == 666)
        n.type = 421;
}

} // namespace

quint64 nextSeed(quint64 seed)
{
    // splitmix64: well spread, and any seed has a successor of its own.
    quint64 z = seed + 0x9e3779b97f4a7c15ULL;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return (z ^ (z >> 31)) % 1000000000000ULL;
}

QString compactJson(const QJsonValue &v)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray{v}).toJson(QJsonDocument::Compact)).mid(1).chopped(1);
}

QStringList faultNames()
{
    QStringList names;
    for (const auto &f : faultTable())
        names.append(f.first);
    return names;
}

QString freeAddress(Rng &rng, const QVector<ChaosNode> &nodes)
{
    if (rng.chance(0.1))
        return QStringLiteral("192.0.2.200"); // not in the nodes' network
    for (;;) {
        const QString a = QStringLiteral("192.0.2.%1").arg(rng.between(40, 73));
        if (std::none_of(nodes.cbegin(), nodes.cend(), [&a](const ChaosNode &n) { return n.at == a || n.key() == a; }))
            return a;
    }
}

QVector<ChaosNode> makeNodes(Rng &rng, int processes)
{
    QVector<ChaosNode> nodes(rng.between(8, 14));
    QVector<int> deck;
    for (int i = 0; i < nodes.size(); ++i) {
        ChaosNode &n = nodes[i];
        n.process = i % processes;
        n.at = QStringLiteral("192.0.2.%1").arg(10 + i);
        const QString label = rng.chance(0.2) ? QString::fromUtf8("Bühne %1").arg(i + 1) : QStringLiteral("Rig-%1").arg(i + 1);
        n.setup = {{"ip", n.at},
                  {"serial", QString::number(30000000 + rng.between(0, 999999))},
                  {"label", rng.chance(0.05) ? QStringLiteral("Shared") : label},
                  {"mac", QStringLiteral("02:54:41:52:00:%1").arg(i, 2, 16, QLatin1Char('0'))},
                  {"type", rng.chance(0.25) ? 666 : 421},
                  {"version", rng.pick(QVector<QString>{"v1.00", "v1.00", "v1.00", "v1.00", "v2.05", "v3.00"})}};
        QJsonObject faults;
        if (rng.chance(0.6))
            faults.insert("move", true);
        for (int k = rng.pick(QVector<int>{0, 1, 1, 2, 3}); k > 0; --k) {
            if (deck.isEmpty()) {
                for (int f = 0; f < faultTable().size(); ++f)
                    deck.append(f);
                std::shuffle(deck.begin(), deck.end(), rng.g);
            }
            const auto &fault = faultTable().at(deck.takeLast());
            faults.insert(fault.first, fault.second(rng, nodes));
        }
        n.setup.insert("faults", faults);
    }
    // Twins: two nodes that report one serial, sometimes one MAC too.
    if (nodes.size() > 2 && rng.chance(0.6)) {
        const int a = rng.between(0, int(nodes.size()) - 1), b = (a + 1 + rng.between(0, int(nodes.size()) - 2)) % int(nodes.size());
        nodes[b].setup.insert("serial", nodes[a].serial());
        if (rng.chance(0.5))
            nodes[b].setup.insert("mac", nodes[a].setup.value("mac"));
    }
    return nodes;
}

Fleet::~Fleet()
{
    for (Emulator &e : emulators) {
        if (!e.process)
            continue;
        sendSignal(e.process->processId(), SIGCONT);
        e.process->kill();
        e.process->waitForFinished(5000);
    }
}

bool Fleet::start(const QVector<ChaosNode> &all, int count)
{
    nodes = all;
    emulators.resize(size_t(count));
    for (int p = 0; p < count; ++p) {
        QJsonArray mine;
        for (const ChaosNode &n : std::as_const(nodes))
            if (n.process == p)
                mine.append(n.setup);
        QFile f(QDir(dir).filePath(QStringLiteral("nodes-%1.json").arg(p)));
        if (!f.open(QIODevice::WriteOnly) || f.write(QJsonDocument(QJsonObject{{"nodes", mine}}).toJson()) <= 0)
            return false;
        f.close();
        emulators[size_t(p)].journal = QDir(dir).filePath(QStringLiteral("journal-%1.jsonl").arg(p));
        if (!launch(p))
            return false;
    }
    return settle();
}

// Starts the process and waits until its nodes have journaled their start.
bool Fleet::launch(int p)
{
    Emulator &e = emulators[size_t(p)];
    e.process = std::make_unique<QProcess>();
    e.process->setStandardOutputFile(QDir(dir).filePath(QStringLiteral("emulator-%1.out").arg(p)), QIODevice::Append);
    e.process->setStandardErrorFile(QDir(dir).filePath(QStringLiteral("emulator-%1.out").arg(p)), QIODevice::Append);
    e.process->start(QStringLiteral("nsenter"),
                     {"--net=" + qEnvironmentVariable("TARVO_NODES_NETNS"), qEnvironmentVariable("TARVO_EMULATOR"),
                      "--exit-with-parent", "--threads", "2", "--omit-events", "rx,packet,discovery,connected,disconnected",
                      "--nodes-file", QDir(dir).filePath(QStringLiteral("nodes-%1.json").arg(p)), "--journal", e.journal});
    e.paused = e.killed = false;
    for (ChaosNode &n : nodes)
        if (n.process == p)
            n.at.clear();
    const QDeadlineTimer deadline(10000);
    while (!deadline.hasExpired()) {
        readJournals();
        if (std::all_of(nodes.cbegin(), nodes.cend(), [p](const ChaosNode &n) { return n.process != p || !n.at.isEmpty(); }))
            return true;
        if (e.process->state() == QProcess::NotRunning)
            break;
        QThread::msleep(10);
    }
    QFile out(QDir(dir).filePath(QStringLiteral("emulator-%1.out").arg(p)));
    if (out.open(QIODevice::ReadOnly))
        qWarning("emulator %d did not start: %s", p, out.readAll().right(2000).constData());
    return false;
}

qint64 Fleet::pid(int p) const
{
    return emulators[size_t(p)].process->processId();
}

void Fleet::pause(int p)
{
    Emulator &e = emulators[size_t(p)];
    if (!e.killed) {
        sendSignal(pid(p), SIGSTOP);
        e.paused = true;
    }
}

void Fleet::kill(int p)
{
    Emulator &e = emulators[size_t(p)];
    if (e.killed)
        return;
    e.process->kill();
    e.process->waitForFinished(5000);
    e.killed = true;
}

void Fleet::cut(bool down)
{
    QProcess::execute(QStringLiteral("nsenter"), {"--net=" + qEnvironmentVariable("TARVO_NODES_NETNS"), "ip", "link", "set",
                                                  "v1", down ? "down" : "up"});
    isCut = down;
}

qint64 Fleet::journalBytes() const
{
    qint64 bytes = 0;
    for (const Emulator &e : emulators)
        bytes += QFileInfo(e.journal).size();
    return bytes;
}

bool Fleet::settle(int quietMs)
{
    if (isCut)
        cut(false);
    for (int p = 0; p < processes(); ++p) {
        Emulator &e = emulators[size_t(p)];
        if (e.paused)
            sendSignal(pid(p), SIGCONT);
        e.paused = false;
        if (e.killed && !launch(p))
            return false;
    }
    // Quiet for a while: what was sent before the command ended has been handled.
    qint64 bytes = journalBytes();
    QElapsedTimer quiet;
    quiet.start();
    const QDeadlineTimer deadline(quietMs + 3000);
    while (quiet.elapsed() < quietMs && !deadline.hasExpired()) {
        QThread::msleep(30);
        if (const qint64 now = journalBytes(); now != bytes) {
            bytes = now;
            quiet.restart();
        }
    }
    return true;
}

Journal Fleet::collect()
{
    readJournals();
    return std::exchange(lines, {});
}

void Fleet::readJournals()
{
    for (Emulator &e : emulators) {
        if (e.journal.isEmpty())
            continue;
        QByteArray fresh = readFrom(e.journal, e.read);
        fresh.truncate(fresh.lastIndexOf('\n') + 1); // whole lines only
        e.read += fresh.size();
        for (const QByteArray &line : fresh.split('\n')) {
            const Event event = QJsonDocument::fromJson(line).object();
            const QString key = event.value(QLatin1String("node")).toString();
            if (key.isEmpty())
                continue; // a line a killed process left unfinished
            lines[key].append(event);
            for (ChaosNode &n : nodes)
                if (n.key() == key)
                    follow(n, event);
        }
    }
}

Run runTarvo(const QString &program, const QStringList &args, const QVector<Action> &actions, Fleet &fleet)
{
    Run run;
    QProcess p;
    QElapsedTimer clock;
    clock.start();
    p.start(program, args);
    if (!p.waitForStarted(5000))
        return run;
    const QString status = QStringLiteral("/proc/%1/status").arg(p.processId());
    QVector<Action> due = actions;
    QVector<QPair<qint64, int>> resume; // when, which process (-1: the link)
    while (!p.waitForFinished(10) && clock.elapsed() < 300000) {
        // The peak resident size so far, as the kernel counts it.
        for (const QByteArray &l : readFrom(status, 0).split('\n'))
            if (l.startsWith("VmHWM:"))
                run.peakKb = qMax(run.peakKb, l.mid(6).trimmed().split(' ').first().toLongLong());
        for (int i = 0; i < due.size(); ++i) {
            const Action a = due.at(i);
            if (a.atMs > clock.elapsed())
                continue;
            due.removeAt(i--);
            if (a.kind == Action::Interrupt) {
                sendSignal(p.processId(), SIGINT);
            } else if (a.kind == Action::Kill) {
                fleet.kill(a.process);
            } else if (a.kind == Action::Cut) {
                fleet.cut(true);
                resume.append({clock.elapsed() + a.forMs, -1});
            } else {
                fleet.pause(a.process);
                resume.append({clock.elapsed() + a.forMs, a.process});
            }
        }
        for (int i = 0; i < resume.size(); ++i) {
            if (resume.at(i).first > clock.elapsed())
                continue;
            const int process = resume.takeAt(i--).second;
            if (process < 0)
                fleet.cut(false);
            else
                sendSignal(fleet.pid(process), SIGCONT);
        }
    }
    run.ms = clock.elapsed();
    if (p.state() != QProcess::NotRunning) {
        p.kill();
        p.waitForFinished();
    }
    run.crashed = p.exitStatus() != QProcess::NormalExit;
    run.code = run.crashed ? -1 : p.exitCode();
    run.out = QString::fromUtf8(p.readAllStandardOutput());
    run.err = QString::fromUtf8(p.readAllStandardError());
    return run;
}
