#ifndef TARVO_TRACE_H
#define TARVO_TRACE_H

#include <QByteArray>
#include <QString>
#include <functional>

// Diagnostics are whole lines, label and value already joined, so that what
// is written is exactly the line a reader sees. They go to one sink: the Qt
// debug output unless a program chooses another (the command line keeps
// them for --verbose).
using TraceSink = std::function<void(const QString &line)>;

void trace(const QString &line);

// Replaces the sink; an empty one restores the Qt debug output. Returns the
// sink that was in place.
TraceSink setTraceSink(TraceSink sink);

// A text from a node or a file, made safe for a trace line, a list entry or
// a terminal: read as Latin-1, and every control character (C0, DEL, C1)
// written as \xNN, so that it can neither break a line nor drive a terminal.
QString printable(const QByteArray &text);

#endif
