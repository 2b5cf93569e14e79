#ifndef TARVO_WHOLEFILE_H
#define TARVO_WHOLEFILE_H

#include <QByteArray>
#include <QString>
#include <functional>

// The one writer of whole files, for every program: configuration files,
// backups, metrics, upgrade files and factory images.
//
// Replaces the file at `path` only by a complete new one (QSaveFile), or
// leaves it as it was and gives the system's reason. Every byte is written
// and flushed, and checked, before the new file takes the old one's place:
// Qt 6.4's commit() renames a file whose last write failed (a full disk)
// and still reports success. An existing character device, FIFO or socket
// is written into instead, never replaced; a FIFO is waited on until a
// program opens it to read, or until `interrupted` (asked every 20 ms)
// says to give up.
bool writeFileWhole(const QString &path, const QByteArray &data, QString *reason = nullptr,
                    const std::function<bool()> &interrupted = {});

#endif
