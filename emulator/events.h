#ifndef TARVO_EMULATOR_EVENTS_H
#define TARVO_EMULATOR_EVENTS_H

// The event lines on standard output ("rx 192.0.2.10 7"), which the tests
// wait for. Each thread gathers its lines and writes them whole, in one
// write, serialised with the other threads: a worker before it sends the
// replies of the same turn, so that a line is out before the reply that
// follows from it.

#include <QByteArray>
#include <QString>
#include <type_traits>

namespace events {

enum Kind {
    Ready,
    Discovery,
    Burst,
    UdpError,
    Connected,
    Rx,
    Unhandled,
    Disconnected,
    Closing,
    Erase,
    Packet,
    BadPacket,
    Refused,
    Crc,
    Reset,
    Run,
    FloodDone,
    PeerReset, // the tool reset the connection instead of closing it
    Trouble, // the emulator's own trouble: a node that cannot listen again
    KindCount
};

// Leaves out the lines of these kinds, e.g. "rx,packet"; "none" leaves out
// nothing. False, with the reason, for a name it does not know.
bool omit(const QString &list, QString *error);
bool wanted(Kind kind);
QString names(); // the kinds that can be left out

} // namespace events

// Writes all of `lines` to `fd`, serialised with every other thread's lines.
void writeLines(int fd, const QByteArray &lines);

class EventLines
{
public:
    // immediate: write each line at once (a thread without turns).
    explicit EventLines(bool immediate = false) : immediate(immediate) {}

    // "<kind> <arg> <arg>...", the arguments as text or numbers.
    template <typename... Args>
    void add(events::Kind kind, const Args &...args)
    {
        if (!events::wanted(kind))
            return;
        begin(kind);
        (append(args), ...);
        end();
    }
    void flush();

private:
    void begin(events::Kind kind);
    void end();
    void text(const char *data, qsizetype size);
    void append(const QByteArray &s) { text(s.constData(), s.size()); }
    void append(const QString &s) { append(s.toUtf8()); }
    void append(const char *s) { append(QByteArray(s)); }
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    void append(T n)
    {
        if constexpr (std::is_signed_v<T>)
            append(QByteArray::number(qlonglong(n)));
        else
            append(QByteArray::number(qulonglong(n)));
    }

    QByteArray buffer;
    bool immediate;
};

#endif
