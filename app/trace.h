#ifndef TARVO_TRACE_H
#define TARVO_TRACE_H

#include <QDebug>
#include <QString>

// Diagnostics go to the Qt debug output as whole lines, label and value
// already joined, so that what is written is exactly the line a reader sees.
inline void trace(const QString &line)
{
    qDebug().noquote() << line;
}

#endif
