#include "firmware/upgradefile.h"

#include "link/trace.h"
#include "firmware/image.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <ctime>
#include <sys/stat.h>
#include <unistd.h>

bool isPlainFileName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
        !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\'));
}

UpgradeFile buildUpgradeFile(const QByteArray &raw)
{
    UpgradeFile out;
    QByteArray image(ImageInfo::ImageSize, '\0');
    std::memcpy(image.data(), raw.constData(), size_t(qMin<qsizetype>(raw.size(), ImageInfo::ImageSize)));

    // Producers sum the whole image as read, old checksum word included.
    const quint32 sum = imageChecksum(bytes(image), ImageInfo::ImageSize);
    wire::putU32(image, ImageInfo::ChecksumImageOffset, sum);

    // The name part before the version already ends in "_v", so the
    // version's own leading character is dropped.
    out.fileName = QStringLiteral("Tarvo_v") + QString::fromLatin1(ImageInfo::versionText(image).mid(1)) +
        QStringLiteral(".upg");
    trace(QStringLiteral("Filename: \"") + out.fileName + QLatin1Char('"'));

    if (ImageInfo::brand(image) != 0) {
        out.result = UpgradeFile::BrandError;
        return out;
    }
    encodeImage(bytes(image), ImageInfo::ImageSize);
    if (!isPlainFileName(out.fileName)) {
        out.result = UpgradeFile::UnsafeName;
        return out;
    }
    out.data = image;
    return out;
}

bool saveWhole(const QString &folder, const QString &name, const QByteArray &data)
{
    if (!isPlainFileName(name))
        return false;
    return writeFileWhole(QDir(folder).filePath(name), data);
}

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Into a character device, FIFO or socket that is already there, as a
// shell's redirection writes: QSaveFile would rename a regular file over
// it (as root, /dev/null would become a file). Opened without O_CREAT, so
// that nothing is made where it went meanwhile; a FIFO waits for its
// reader, polled rather than in a blocking open(), which the signal
// handlers would restart: an interruption could never end the wait.
bool writeInto(const QByteArray &name, bool fifo, const QByteArray &data, QString *why,
               const std::function<bool()> &interrupted)
{
    int fd, error;
    while ((fd = ::open(name.constData(), O_WRONLY | O_NOCTTY | O_CLOEXEC | O_NONBLOCK)) < 0) {
        error = errno;
        if (error == EINTR)
            continue;
        if (!fifo || error != ENXIO) {
            *why = systemReason(error);
            return false;
        }
        if (interrupted && interrupted()) {
            *why = QStringLiteral("interrupted while waiting for a program to read it");
            return false;
        }
        const timespec pause{0, 20 * 1000 * 1000};
        ::nanosleep(&pause, nullptr);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode) ||
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(fd);
        *why = QStringLiteral("changed while it was opened; not written");
        return false;
    }
    error = 0;
    for (qsizetype written = 0; error == 0 && written < data.size();) {
        const ssize_t n = ::write(fd, data.constData() + written, size_t(data.size() - written));
        if (n > 0)
            written += n;
        else if (n == 0 || errno != EINTR)
            error = n == 0 ? EIO : errno;
    }
    if (::close(fd) != 0 && error == 0 && errno != EINTR)
        error = errno;
    if (error != 0)
        *why = systemReason(error);
    return error == 0;
}

} // namespace

bool writeFileWhole(const QString &path, const QByteArray &data, QString *reason, const std::function<bool()> &interrupted)
{
    QString why;
    const QByteArray name = QFile::encodeName(path);
    struct stat st {};
    // What the path leads to, through symbolic links, as a shell sees it;
    // QSaveFile refuses a folder itself.
    if (::stat(name.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        bool written = false;
        if (S_ISCHR(st.st_mode) || S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
            written = writeInto(name, S_ISFIFO(st.st_mode), data, &why, interrupted);
        else // a block device: a disk is never anyone's output file
            why = QStringLiteral("a block device; not written");
        if (!written && reason)
            *reason = why;
        return written;
    }
    QSaveFile file(path);
    bool whole = file.open(QIODevice::WriteOnly);
    for (qint64 written = 0; whole && written < data.size();) {
        // A disk that fills up may take part of a write without an error;
        // the write of the rest then fails with the reason.
        const qint64 n = file.write(data.constData() + written, data.size() - written);
        whole = n > 0;
        written += qMax<qint64>(n, 0);
    }
    whole = whole && file.flush() && file.error() == QFileDevice::NoError;
    if (whole && file.commit())
        return true;
    if (reason)
        *reason = file.errorString();
    file.cancelWriting();
    return false;
}

QString programSubfolder(const QString &name)
{
    QDir program(QCoreApplication::applicationDirPath());
    program.mkpath(name);
    return program.filePath(name);
}
