#include "events.h"

#include <QStringList>
#include <array>
#include <atomic>
#include <mutex>
#include <cerrno>
#include <unistd.h>

namespace {

const std::array<const char *, events::KindCount> kindNames{
    "ready", "discovery", "burst", "udp-error", "connected", "rx", "unhandled", "disconnected", "closing", "erase",
    "packet", "bad-packet", "refused", "crc", "reset", "run", "flood-done", "peer-reset", "trouble"};

std::array<std::atomic<bool>, events::KindCount> &left()
{
    static std::array<std::atomic<bool>, events::KindCount> out{};
    return out;
}

std::mutex &output()
{
    static std::mutex m;
    return m;
}

} // namespace

namespace events {

bool omit(const QString &list, QString *error)
{
    for (const QString &name : list.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (name == QLatin1String("none"))
            continue;
        int k = 0;
        // "ready" stays: whoever started the emulator waits for it.
        while (k < KindCount && (k == Ready || name != QLatin1String(kindNames[size_t(k)])))
            ++k;
        if (k == KindCount) {
            *error = QStringLiteral("no event \"%1\" to leave out; there are %2").arg(name, names());
            return false;
        }
        left()[size_t(k)] = true;
    }
    return true;
}

bool wanted(Kind kind)
{
    return !left()[size_t(kind)].load(std::memory_order_relaxed);
}

QString names()
{
    QStringList all;
    for (int k = Ready + 1; k < KindCount; ++k)
        all.append(QString::fromLatin1(kindNames[size_t(k)]));
    return all.join(QStringLiteral(", "));
}

} // namespace events

void EventLines::begin(events::Kind kind)
{
    buffer += kindNames[size_t(kind)];
}

void EventLines::text(const char *data, qsizetype size)
{
    buffer += ' ';
    buffer.append(data, size);
}

void EventLines::end()
{
    buffer += '\n';
    if (immediate)
        flush();
}

void writeLines(int fd, const QByteArray &lines)
{
    const std::lock_guard<std::mutex> lock(output());
    const char *p = lines.constData();
    qsizetype left = lines.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, size_t(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break; // nobody reads any more, or a full disk: the lines have nowhere to go
        p += n;
        left -= n;
    }
}

void EventLines::flush()
{
    if (buffer.isEmpty())
        return;
    writeLines(STDOUT_FILENO, buffer);
    buffer.resize(0); // keeps its capacity for the next turn
}
