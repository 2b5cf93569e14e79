#ifndef TARVO_EMULATOR_WORKER_H
#define TARVO_EMULATOR_WORKER_H

#include "emulator.h"
#include "journal.h"

#include <QByteArray>
#include <deque>
#include <functional>
#include <memory>
#include <queue>
#include <thread>
#include <unordered_map>
#include <vector>

// One connection to a node.
struct Session {
    quint64 id = 0;
    int fd = -1;
    Node *node = nullptr;
    char partial[1024]; // a message not yet complete
    int have = 0;
    std::deque<QByteArray> out; // writes not yet taken by the system, each a write of its own
    qsizetype headSent = 0;     // of out.front()
    qsizetype queued = 0;       // bytes in out
    bool wantsOut = false;      // waits for room to write (EPOLLOUT)
    bool dead = false;          // closed; forgotten at the end of the turn
    bool muted = false;         // reset-reply: no more replies on this connection
    bool closing = false;       // close-after-reply: FIN once `out` is written
    bool finSent = false;
    // flood-after
    bool flooding = false;
    qint64 floodTotal = 0, floodHanded = 0;
};

// Serves the node protocol of its nodes on a thread of its own: one epoll
// loop over their listening sockets and connections, and timers for every
// latency a node shows (never a sleep). Each turn handles what is ready,
// runs the timers that are due, writes the turn's event lines, then the
// turn's replies.
class Worker
{
public:
    Worker(Emulator &emulator, int index);
    ~Worker();
    bool listen(Node &node, QString *error); // before start()
    void start();

    // Sends a reply as the node's faults say: cut short, doubled and
    // followed by another message, delayed, split over two segments, or not
    // at all. A delay of -1 takes the node's delay-ms.
    void reply(Session &session, const QByteArray &message, int delayMs = -1);
    void write(Session &session, const QByteArray &data); // a write of its own
    void closeNow(Session &session);                      // "closing", then closed at once
    void saveState(const Node &node, const char *suffix, const QByteArray &data) const
    {
        emulator.saveState(node, suffix, data);
    }
    // A node restarts after ResetDevice: no new connection for restart-ms.
    void restart(Node &node);
    // The "move" fault: the node listens at `to` instead, if it can.
    void move(Node &node, quint32 to);
    void after(int ms, std::function<void()> run);
    EventLines &events() { return lines; }
    JournalLines &journal() { return record; }
    // Journals a request not acted on, or one whose reply is withheld.
    void ignored(const Node &node, quint32 word, const char *why);
    void unanswered(const Node &node, quint32 word, const char *why);

private:
    struct Listener {
        Node *node;
        int fd = -1;
    };
    struct Timer {
        qint64 due;
        quint64 order;
        std::function<void()> run;
        bool operator>(const Timer &o) const { return due != o.due ? due > o.due : order > o.order; }
    };

    void loop();
    int listenAt(quint32 address, QString *error);
    bool openListener(Listener &listener, QString *error);
    void listenAgain(Listener &listener);
    void accept(Listener &listener);
    void readable(Session &session);
    void take(Session &session, const QByteArray &message);
    void handle(Session &session, const QByteArray &message);
    void push(Session &session);
    bool pumpFlood(Session &session);
    void endFlood(Session &session);
    void gone(Session &session, bool reset = false);
    void end(Session &session, events::Kind line);
    void want(Session &session, bool out);
    Session *find(quint64 id);
    void endTurn();

    Emulator &emulator;
    int index;
    int ep = -1;
    int timerFd = -1;
    qint64 armed = -1; // when timerFd fires next; -1: not armed
    std::thread thread;
    std::vector<Listener> listeners;
    std::unordered_map<quint64, std::unique_ptr<Session>> sessions;
    quint64 nextSession = quint64(1) << 32; // below are listeners
    std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers;
    quint64 timerOrder = 0;
    std::vector<quint64> dirty; // sessions with writes this turn
    std::vector<quint64> reaped;
    EventLines lines;
    JournalLines record;
    QByteArray flood;     // 64 messages of word 99, the unit of flood-after
    char input[64 * 1024]; // one read's worth
};

// Command handlers, each in its own file. They return false for a word
// they do not handle.
bool handleConfigCommand(Worker &worker, Session &session, Node &node, const QByteArray &message);
bool handleFirmwareCommand(Worker &worker, Session &session, Node &node, const QByteArray &message);

#endif
