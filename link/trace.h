#ifndef TARVO_TRACE_H
#define TARVO_TRACE_H

#include <QByteArray>
#include <QString>
#include <functional>

// Diagnostics are whole lines, label and value already joined, so that what
// is written is exactly the line a reader sees. Each carries a level and the
// node it concerns (its label or serial, empty when none), so that a program
// running many nodes at once can tell them apart and show warnings without
// every detail. They go to one sink: the Qt debug output (the text alone)
// unless a program chooses another.
enum class TraceLevel {
    Info,    // the step-by-step diagnostics
    Warning, // something an operator should hear of: replies lost, a list full
};

struct TraceLine {
    TraceLevel level = TraceLevel::Info;
    QString node;
    QString text;
};

using TraceSink = std::function<void(const TraceLine &line)>;

void trace(const QString &text);
void trace(TraceLevel level, const QString &node, const QString &text);

// Replaces the sink; an empty one restores the Qt debug output. Returns the
// sink that was in place.
TraceSink setTraceSink(TraceSink sink);

// A text from a node or a file, made safe for a trace line, a list entry or
// a terminal: read as Latin-1, every control character (C0, DEL, C1)
// written as \xNN and the backslash itself as \\, so that it can neither
// break a line nor drive a terminal, and a shown \x01 is never ambiguous.
QString printable(const QByteArray &text);
// A text from a node as the window shows it: as the node sent it (a
// backslash is a backslash), read as Latin-1, only its control characters
// written as \xNN, so that it stays on one line.
QString shownText(const QByteArray &text);

#endif
