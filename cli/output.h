#ifndef TARVO_CLI_OUTPUT_H
#define TARVO_CLI_OUTPUT_H

#include <QElapsedTimer>
#include <QJsonValue>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>
#include <cstdio>

// What the command line prints: data on standard output, messages on
// standard error, always whole lines. Node texts reach these functions
// already made printable (printable() in link/trace.h), or inside JSON,
// whose writer escapes them.
namespace out {

void data(const QString &line);
// Data as it is, no line added (a configuration file on standard output).
void rawData(const QByteArray &bytes);
// An error, a warning or the answer to a question: always shown.
void message(const QString &line);
// Something for a person watching (a count, a step): not with --quiet.
void note(const QString &line);
void setQuiet(bool quiet);

// Standard output could not be written (a full disk, /dev/full): the
// system's reason, empty while every write went through. Checked once at
// the end, with a final flush.
QString dataError();

bool isTerminal(FILE *stream);
// A terminal that takes cursor movements: not TERM=dumb.
bool isSmartTerminal(FILE *stream);

// Indented JSON. Besides what JSON itself escapes, DEL and the C1 controls
// are written as \u escapes: a terminal may act on them, a reader loses
// nothing.
QString json(const QJsonValue &value);
// One JSON string literal, quotes included, escaped as above.
QString jsonString(const QString &text);

// One CSV field, quoted when it holds a separator, a quote or a line break.
// A field a spreadsheet would take for a formula (starting with =, +, -,
// @, a tab or a carriage return) gets a leading apostrophe.
QString csvField(const QString &text);

// Rows under a header, each column as wide as its widest cell; the last
// column is not padded.
QStringList table(const QStringList &header, const QVector<QStringList> &rows);

// The rows as CSV under one header row of the table's columns, written
// as names ("DEVICE NAME" is device_name); every field as csvField().
QStringList csv(const QStringList &header, const QVector<QStringList> &rows);
// The rows as data: the aligned table, or CSV.
void tableData(const QStringList &header, const QVector<QStringList> &rows, bool asCsv);

// A node's name ("Label (serial)") in at most `width` characters: the
// serial goes first, then the label is cut, with an ellipsis.
QString fitName(const QString &name, int width);

} // namespace out

// Progress of many nodes at once. On a terminal: a bar per node at work and
// an overall bar of the nodes done, redrawn in place below the lines
// already printed. Else: plain lines at the start, at each quarter and at
// the end of a node's transfer.
class ProgressDisplay
{
public:
    ProgressDisplay(bool terminal, int nodes);
    ~ProgressDisplay();

    void update(const QString &node, qint64 done, qint64 total);
    // What a node that made no progress for a while waits for; shown until
    // it moves again.
    void waiting(const QString &node, const QString &what);
    // A line that stays (a node's result); on a terminal it goes above the bars.
    void note(const QString &line);
    void nodeFinished(const QString &node);
    bool allDone() const { return finished >= nodeCount; }
    // Removes the bars, so that what follows starts on a clean line.
    void close();

private:
    struct Bar {
        qint64 done = 0, total = 0;
        int quarter = 0;
        QString waiting;
    };
    void redraw(bool force);
    QString bar(const QString &name, int nameWidth, qint64 done, qint64 total, const QString &tail) const;

    bool terminal;
    int nodeCount;
    int finished = 0;
    QMap<QString, Bar> bars;
    QStringList pendingNotes;
    int drawnLines = 0;
    QElapsedTimer sinceDraw;
};

#endif
