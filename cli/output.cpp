#include "cli/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace out {

namespace {

bool quietMode = false;
QString stdoutError;

bool write(FILE *stream, const QByteArray &bytes)
{
    errno = 0;
    const bool ok = std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream) == size_t(bytes.size()) &&
        std::fflush(stream) == 0;
    if (!ok && stream == stdout && stdoutError.isEmpty())
        stdoutError = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
    return ok;
}

} // namespace

void data(const QString &line)
{
    write(stdout, line.toUtf8() + '\n');
}

void rawData(const QByteArray &bytes)
{
    write(stdout, bytes);
}

void message(const QString &line)
{
    write(stderr, line.toUtf8() + '\n');
}

void note(const QString &line)
{
    if (!quietMode)
        message(line);
}

void setQuiet(bool q)
{
    quietMode = q;
}

QString dataError()
{
    if (stdoutError.isEmpty() && std::fflush(stdout) != 0)
        stdoutError = QString::fromLocal8Bit(std::strerror(errno ? errno : EIO));
    return stdoutError;
}

bool isTerminal(FILE *stream)
{
    return isatty(fileno(stream)) == 1;
}

bool isSmartTerminal(FILE *stream)
{
    return isTerminal(stream) && qEnvironmentVariable("TERM") != QLatin1String("dumb");
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
    // A spreadsheet runs a cell that starts like a formula; the apostrophe
    // makes it text, as spreadsheets themselves write such cells.
    static const QString formulaStart = QStringLiteral("=+-@\t\r");
    QString field = text;
    if (!field.isEmpty() && formulaStart.contains(field.at(0)))
        field.prepend(QLatin1Char('\''));
    if (!field.contains(QLatin1Char(',')) && !field.contains(QLatin1Char('"')) && !field.contains(QLatin1Char('\n')) &&
        !field.contains(QLatin1Char('\r')))
        return field;
    field.replace(QLatin1String("\""), QLatin1String("\"\""));
    return QLatin1Char('"') + field + QLatin1Char('"');
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

QStringList csv(const QStringList &header, const QVector<QStringList> &rows)
{
    const auto line = [](const QStringList &row) {
        QStringList fields;
        for (const QString &f : row)
            fields.append(csvField(f));
        return fields.join(QLatin1Char(','));
    };
    QStringList names;
    for (const QString &h : header)
        names.append(h.toLower().replace(QLatin1Char(' '), QLatin1Char('_')));
    QStringList lines{line(names)};
    for (const QStringList &row : rows)
        lines.append(line(row));
    return lines;
}

void tableData(const QStringList &header, const QVector<QStringList> &rows, bool asCsv)
{
    for (const QString &l : asCsv ? csv(header, rows) : table(header, rows))
        data(l);
}

} // namespace out

namespace {

enum : int { BarWidth = 30, MinNameWidth = 8, TailWidth = 9, RedrawMs = 100 };

winsize terminalSize()
{
    // A terminal may know one of its sizes and not the other.
    winsize size{};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
        size = {};
    if (size.ws_row == 0)
        size.ws_row = 24;
    if (size.ws_col == 0)
        size.ws_col = 80;
    return size;
}

} // namespace

namespace out {

QString fitName(const QString &name, int width)
{
    if (name.size() <= width)
        return name;
    // "Label (serial)": the serial goes before the label is cut.
    const qsizetype serial = name.endsWith(QLatin1Char(')')) ? name.lastIndexOf(QStringLiteral(" (")) : -1;
    const QString label = serial > 0 ? name.left(serial) : name;
    return label.size() <= width ? label : label.left(qMax(1, width - 1)) + QChar(0x2026);
}

} // namespace out

ProgressDisplay::ProgressDisplay(bool onTerminal, int nodes) : terminal(onTerminal), nodeCount(qMax(1, nodes))
{
    sinceDraw.start();
}

ProgressDisplay::~ProgressDisplay()
{
    close();
}

QString ProgressDisplay::bar(const QString &name, int nameWidth, qint64 done, qint64 total, const QString &tail) const
{
    const int filled = total > 0 ? int(qBound<qint64>(0, done * BarWidth / total, BarWidth)) : 0;
    return out::fitName(name, nameWidth).leftJustified(nameWidth + 1) + QLatin1Char('[') +
        QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('-')) + QStringLiteral("] ") + tail;
}

void ProgressDisplay::update(const QString &node, qint64 done, qint64 total)
{
    Bar &b = bars[node];
    b.done = done;
    b.total = total;
    b.waiting.clear();
    if (!terminal) {
        const int quarter = total > 0 ? int(done * 4 / total) : 0;
        if (done == 1 || quarter > b.quarter)
            out::note(QStringLiteral("%1: %2/%3 packets").arg(node).arg(done).arg(total));
        b.quarter = quarter;
        return;
    }
    redraw(false);
}

void ProgressDisplay::waiting(const QString &node, const QString &what)
{
    bars[node].waiting = what;
    if (!terminal) {
        out::note(QStringLiteral("%1: waiting for %2").arg(node, what));
        return;
    }
    redraw(true);
}

void ProgressDisplay::note(const QString &line)
{
    if (!terminal) {
        out::note(line);
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
    const winsize size = terminalSize();
    const int room = qMax(1, size.ws_row - 3);
    // The names get what the bars leave of the line; a line never wraps,
    // or the cursor would not find the bars again.
    int longest = MinNameWidth;
    for (auto it = bars.constBegin(); it != bars.constEnd(); ++it)
        longest = qMax(longest, int(it.key().size()));
    const int nameWidth = qBound(int(MinNameWidth), longest, qMax(int(MinNameWidth), size.ws_col - BarWidth - 4 - TailWidth));
    int shown = 0;
    for (auto it = bars.constBegin(); it != bars.constEnd(); ++it) {
        if (shown++ < room)
            lines.append(bar(it.key(), nameWidth, it->done, it->total,
                             it->waiting.isEmpty() ? QStringLiteral("%1/%2").arg(it->done).arg(it->total)
                                                   : QStringLiteral("waiting for ") + it->waiting));
    }
    if (shown > room)
        lines.append(QStringLiteral("... and %1 more").arg(shown - room));
    // The overall bar counts nodes, as its text does.
    if (nodeCount > 0)
        lines.append(bar(QStringLiteral("all"), nameWidth, finished, nodeCount,
                         QStringLiteral("%1/%2 nodes done").arg(finished).arg(nodeCount)));
    for (const QString &line : std::as_const(lines))
        text += line.left(qMax(1, size.ws_col - 1)) + QLatin1Char('\n');
    drawnLines = int(lines.size());
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
