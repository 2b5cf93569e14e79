#ifndef TARVO_CLI_FILES_H
#define TARVO_CLI_FILES_H

#include <QByteArray>
#include <QString>

// Files the command line reads and writes. "-" names standard input or
// output wherever a file is named. Whatever is read is bounded in size and
// must be a regular file (a FIFO would block for ever); whatever is written
// replaces the old file only once the new one is complete, and a write
// that failed says why with the system's words.
namespace files {

bool isStdio(const QString &path);
// "standard input" for "-", else the path.
QString shownName(const QString &path);

// At most maxBytes; a larger file, another kind of file or one that cannot
// be opened sets `error` (naming it) and returns nothing. With `tooLarge`,
// a larger file is no error: its first maxBytes + 1 bytes come back, for a
// caller that judges the size itself.
QByteArray readBounded(const QString &path, qint64 maxBytes, QString *error, bool *tooLarge = nullptr);

// The whole of `data` to `path` or, for "-", to standard output.
bool writeWhole(const QString &path, const QByteArray &data, QString *error);

// DIR/NAME, where NAME is one of ours: a symbolic link there could lead out
// of DIR, so it is refused rather than followed.
bool writeInFolder(const QString &dir, const QString &name, const QByteArray &data, QString *error);

} // namespace files

#endif
