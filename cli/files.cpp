#include "cli/files.h"

#include "cli/interrupts.h"
#include "cli/output.h"
#include "firmware/upgradefile.h"

#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace files {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

QByteArray readAll(QFile &file, qint64 maxBytes, bool *tooLarge)
{
    QByteArray bytes;
    // A pipe gives what it has: read until its end, or one byte past the bound.
    while (bytes.size() <= maxBytes) {
        const QByteArray chunk = file.read(maxBytes + 1 - bytes.size());
        if (chunk.isEmpty())
            break;
        bytes += chunk;
    }
    *tooLarge = bytes.size() > maxBytes;
    return bytes;
}

} // namespace

bool isStdio(const QString &path)
{
    return path == QLatin1String("-");
}

QString shownName(const QString &path)
{
    return isStdio(path) ? QStringLiteral("standard input") : path;
}

QByteArray readBounded(const QString &path, qint64 maxBytes, QString *error, bool *tooLarge)
{
    QFile file;
    if (isStdio(path)) {
        file.open(STDIN_FILENO, QIODevice::ReadOnly);
    } else {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
            *error = path + QStringLiteral(": cannot be read: ") + systemError(errno);
            return {};
        }
        if (!S_ISREG(st.st_mode)) {
            *error = path + QStringLiteral(": cannot be read: not a regular file");
            return {};
        }
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = path + QStringLiteral(": cannot be read: ") + file.errorString();
            return {};
        }
    }
    bool larger = false;
    QByteArray bytes = readAll(file, maxBytes, &larger);
    if (file.error() != QFileDevice::NoError) {
        *error = shownName(path) + QStringLiteral(": cannot be read: ") + file.errorString();
        return {};
    }
    if (tooLarge)
        *tooLarge = larger;
    else if (larger) {
        *error = shownName(path) + QStringLiteral(": larger than %1 bytes").arg(maxBytes);
        return {};
    }
    return bytes;
}

bool writeWhole(const QString &path, const QByteArray &data, QString *error)
{
    if (isStdio(path)) {
        out::rawData(data);
        if (out::dataError().isEmpty())
            return true;
        *error = QStringLiteral("standard output cannot be written: ") + out::dataError();
        return false;
    }
    QString reason;
    if (writeFileWhole(path, data, &reason, [] { return Interrupts::instance().countNow() > 0; }))
        return true;
    *error = path + QStringLiteral(": cannot be written: ") + reason;
    return false;
}

bool writeInFolder(const QString &dir, const QString &name, const QByteArray &data, QString *error)
{
    const QString path = QDir(dir).filePath(name);
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode)) {
        *error = path + QStringLiteral(": is a symbolic link; not written through (remove it to write the file)");
        return false;
    }
    return writeWhole(path, data, error);
}

} // namespace files
