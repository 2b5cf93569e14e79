#ifndef TARVO_EMULATOR_JOURNAL_H
#define TARVO_EMULATOR_JOURNAL_H

// What each node really did, for a judge outside the tool (--journal FILE):
// one JSON object a line, appended as it happens. Every line names the node
// by its serial, the address it started at and its MAC, with the time on
// the monotonic clock in ms. A worker gathers the lines of one turn and
// writes them with its event lines, before the replies of that turn, so a
// line is on disk before the reply that follows from it leaves.
//
// The events: start (its records at start), read (a GetConfig reply, as
// sent), config (a SetConfig record stored), default (the factory record
// applied), moved and stayed (the address a configuration gave it, taken or
// not), erase, packet, crc (the sum of what it holds and the sum it
// answered), reset (the version it announces from then on), run, and the
// requests it dropped: unanswered (acted on or not, its reply withheld) and
// ignored (not acted on).

#include <QByteArray>
#include <QJsonObject>
#include <QString>

struct Node;

namespace journal {

bool open(const QString &path, QString *error);
bool enabled();
// The fields of a configuration record as the node holds or sends them:
// label, ip, mask, gateway and per port its raw words.
QJsonObject configFields(const QByteArray &record);
// What names a node in every line: its serial, start address and MAC.
QJsonObject identity(const QByteArray &discoveryRecord, const QByteArray &startAddress);
// The "start" line's details: version, type and configuration.
QJsonObject start(const Node &node);

} // namespace journal

class JournalLines
{
public:
    // immediate: write each line at once (a thread without turns).
    explicit JournalLines(bool immediate = false) : immediate(immediate) {}

    void add(const Node &node, const char *event, const QJsonObject &details = {});
    void flush();

private:
    QByteArray buffer;
    bool immediate;
};

#endif
