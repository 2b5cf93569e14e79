#include "cli/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <sys/ioctl.h>
#include <unistd.h>

namespace out {

namespace {

void write(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

} // namespace

void data(const QString &line)
{
    write(stdout, line);
}

void message(const QString &line)
{
    write(stderr, line);
}

bool isTerminal(FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

namespace {

// DEL and the C1 controls, which JSON leaves as they are, as \u escapes.
QString escapeControls(const QString &text)
{
    QString safe;
    safe.reserve(text.size());
    for (const QChar c : text) {
        if (c.unicode() >= 0x7f && c.unicode() < 0xa0)
            safe += QString::asprintf("\\u%04x", unsigned(c.unicode()));
        else
            safe += c;
    }
    return safe;
}

} // namespace

QString json(const QJsonValue &value)
{
    QJsonDocument doc;
    if (value.isArray())
        doc.setArray(value.toArray());
    else
        doc.setObject(value.toObject());
    return escapeControls(QString::fromUtf8(doc.toJson(QJsonDocument::Indented)).trimmed());
}

QString jsonString(const QString &text)
{
    const QString array = QString::fromUtf8(QJsonDocument(QJsonArray{text}).toJson(QJsonDocument::Compact));
    return escapeControls(array.mid(1, array.size() - 2));
}

QString csvField(const QString &text)
{
    if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n')) &&
        !text.contains(QLatin1Char('\r')))
        return text;
    QString quoted = text;
    quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

QStringList table(const QStringList &header, const QVector<QStringList> &rows)
{
    QVector<int> width(header.size(), 0);
    const auto measure = [&](const QStringList &row) {
        for (int c = 0; c < row.size() && c < width.size(); ++c)
            width[c] = qMax(width[c], int(row.at(c).size()));
    };
    measure(header);
    for (const QStringList &row : rows)
        measure(row);
    const auto format = [&](const QStringList &row) {
        QString line;
        for (int c = 0; c < row.size(); ++c)
            line += c + 1 < row.size() ? row.at(c).leftJustified(width[c] + 2) : row.at(c);
        return line;
    };
    QStringList lines{format(header)};
    for (const QStringList &row : rows)
        lines.append(format(row));
    return lines;
}

} // namespace out

namespace {

enum : int { BarWidth = 30, NameWidth = 16, RedrawMs = 100 };

int terminalRows()
{
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row > 0)
        return size.ws_row;
    return 24;
}

} // namespace

ProgressDisplay::ProgressDisplay(bool onTerminal, int nodes) : terminal(onTerminal), nodeCount(qMax(1, nodes))
{
    sinceDraw.start();
}

ProgressDisplay::~ProgressDisplay()
{
    close();
}

QString ProgressDisplay::bar(const QString &name, qint64 done, qint64 total, const QString &tail) const
{
    const int filled = total > 0 ? int(qBound<qint64>(0, done * BarWidth / total, BarWidth)) : 0;
    return name.left(NameWidth).leftJustified(NameWidth + 1) + QLatin1Char('[') +
        QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('-')) + QStringLiteral("] ") + tail;
}

void ProgressDisplay::update(const QString &node, qint64 done, qint64 total)
{
    Bar &b = bars[node];
    b.done = done;
    b.total = total;
    perNode = qMax(perNode, total);
    if (!terminal) {
        const int quarter = total > 0 ? int(done * 4 / total) : 0;
        if (done == 1 || quarter > b.quarter)
            out::message(QStringLiteral("%1: %2/%3 packets").arg(node).arg(done).arg(total));
        b.quarter = quarter;
        return;
    }
    redraw(false);
}

void ProgressDisplay::note(const QString &line)
{
    if (!terminal) {
        out::message(line);
        return;
    }
    pendingNotes.append(line);
    redraw(true);
}

void ProgressDisplay::nodeFinished(const QString &node)
{
    bars.remove(node);
    ++finished;
    if (terminal)
        redraw(true);
}

void ProgressDisplay::close()
{
    if (!terminal)
        return;
    if (drawnLines == 0 && pendingNotes.isEmpty()) {
        terminal = false; // nothing on the screen to take back
        return;
    }
    bars.clear();
    nodeCount = 0; // no overall bar any more
    redraw(true);
    terminal = false;
}

// Moves up over the bars drawn last, clears to the end of the screen, prints
// the lines that stay, then the bars again. Bars beyond the terminal's height
// are summed up in one line, so that the cursor never has to leave it.
void ProgressDisplay::redraw(bool force)
{
    if (!force && sinceDraw.elapsed() < RedrawMs)
        return;
    sinceDraw.restart();
    QString text;
    if (drawnLines > 0)
        text += QStringLiteral("\x1b[%1A\r").arg(drawnLines);
    text += QStringLiteral("\x1b[J");
    for (const QString &line : std::as_const(pendingNotes))
        text += line + QLatin1Char('\n');
    pendingNotes.clear();

    QStringList lines;
    qint64 activeDone = 0;
    const int room = qMax(1, terminalRows() - 3);
    int shown = 0;
    for (auto it = bars.constBegin(); it != bars.constEnd(); ++it) {
        activeDone += it->done;
        if (shown++ < room)
            lines.append(bar(it.key(), it->done, it->total, QStringLiteral("%1/%2").arg(it->done).arg(it->total)));
    }
    if (shown > room)
        lines.append(QStringLiteral("... and %1 more").arg(shown - room));
    if (nodeCount > 0) {
        // A node that is done, whatever its result, counts as a full bar.
        const qint64 done = finished * perNode + activeDone;
        lines.append(bar(QStringLiteral("all"), done, perNode * nodeCount,
                         QStringLiteral("%1/%2 nodes done").arg(finished).arg(nodeCount)));
    }
    for (const QString &line : std::as_const(lines))
        text += line + QLatin1Char('\n');
    drawnLines = int(lines.size());
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
