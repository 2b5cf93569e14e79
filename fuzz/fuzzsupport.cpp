#include "fuzzsupport.h"

#include "link/trace.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace fuzz {

namespace {

// Qt's warnings (writes to a socket that is not connected) would drown the
// fuzzer's own output.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg || type == QtCriticalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

struct Harness {
    Harness()
    {
        app = new QCoreApplication(argc, argv);
        qInstallMessageHandler(quiet);
        setTraceSink([](const TraceLine &) {});
    }

    int argc = 1;
    char name[8] = "fuzzer";
    char *argv[2] = {name, nullptr};
    QCoreApplication *app = nullptr;
    QTemporaryDir scratch;
};

Harness &harness()
{
    static Harness *h = new Harness; // lives until the process ends
    return *h;
}

} // namespace

void init()
{
    harness();
}

QString scratchFile(const QString &name, const QByteArray &contents)
{
    const QString path = QDir(harness().scratch.path()).filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(contents) != contents.size())
        violated("cannot write a scratch file");
    return path;
}

void violated(const char *what)
{
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

quint8 Input::byte()
{
    if (!left)
        return 0;
    --left;
    return *data++;
}

quint16 Input::u16()
{
    const quint16 low = byte();
    return quint16(low | (byte() << 8));
}

QByteArray Input::take(size_t n)
{
    n = qMin(n, left);
    QByteArray out(reinterpret_cast<const char *>(data), qsizetype(n));
    data += n;
    left -= n;
    return out;
}

QByteArray Input::chunk(size_t max)
{
    return take(u16() % (max + 1));
}

} // namespace fuzz
