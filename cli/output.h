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
void message(const QString &line);
bool isTerminal(FILE *stream);

// Indented JSON. Besides what JSON itself escapes, DEL and the C1 controls
// are written as \u escapes: a terminal may act on them, a reader loses
// nothing.
QString json(const QJsonValue &value);
// One JSON string literal, quotes included, escaped as above.
QString jsonString(const QString &text);

// One CSV field, quoted when it holds a separator, a quote or a line break.
QString csvField(const QString &text);

// Rows under a header, each column as wide as its widest cell; the last
// column is not padded.
QStringList table(const QStringList &header, const QVector<QStringList> &rows);

} // namespace out

// Progress of many nodes at once. On a terminal: a bar per node at work and
// an overall bar, redrawn in place below the lines already printed. Else:
// plain lines at the start, at each quarter and at the end of a node's
// transfer.
class ProgressDisplay
{
public:
    ProgressDisplay(bool terminal, int nodes);
    ~ProgressDisplay();

    void update(const QString &node, qint64 done, qint64 total);
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
    };
    void redraw(bool force);
    QString bar(const QString &name, qint64 done, qint64 total, const QString &tail) const;

    bool terminal;
    int nodeCount;
    int finished = 0;
    qint64 perNode = 0; // packets of one node's transfer
    QMap<QString, Bar> bars;
    QStringList pendingNotes;
    int drawnLines = 0;
    QElapsedTimer sinceDraw;
};

#endif
