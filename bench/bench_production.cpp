// Factory images: a production run of N devices through the building code
// that the window and tarvo-production share (production::FactorySeries:
// both images read and checked, then one file per device), against a plain
// loop of open/write/close writing the same bytes under the same names.
// Three more variants of that loop tell where the difference goes and what
// would close it: fdatasync() on each file, which is what the tool's
// whole-or-nothing saving (QSaveFile) does; each file written under a
// temporary name and renamed into place (whole or nothing, no flush); and
// that with one syncfs() at the end of the series.
//
//   bench_production [--count 1000] [--runs 5] [--dir FOLDER] [--label NAME]
// The figures are named production.* or, with --label, production.NAME.*.

#include "benchsupport.h"

#include "firmware/image.h"
#include "firmware/production.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

QByteArray bootLoaderImage()
{
    QByteArray image(BootInfo::ImageSize, '\0');
    for (int i = 0; i < BootInfo::Offset; ++i)
        image[i] = char((i * 5 + 3) & 0xff);
    wire::putText(image, BootInfo::Offset + BootInfo::TextOffset, BootInfo::TextSize, "Tarvo boot");
    return image;
}

bool writeFile(const QString &path, const QByteArray &data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

production::SeriesInput seriesInput(int count)
{
    production::SeriesInput in;
    in.year = 25;
    in.week = 10;
    in.startNumber = 0;
    in.deviceCount = count;
    in.macText = QStringLiteral("0");
    return in;
}

// The whole run as the tool makes it, from reading the inputs to the last file.
qint64 toolRun(const QString &boot, const QString &firmware, const QString &out, int count)
{
    const qint64 start = bench::nowNs();
    production::FactorySeries series(seriesInput(count));
    if (series.checkInput().refused() || !series.loadBootLoader(boot) || series.checkBootLoader().refused() ||
        !series.loadFirmware(firmware) || series.checkFirmware().refused())
        bench::fail(QStringLiteral("the production run was refused"));
    for (int i = 0; i < series.count(); ++i)
        if (!series.writeDevice(out, i))
            bench::fail(QStringLiteral("writing device %1 failed").arg(i));
    return bench::nowNs() - start;
}

// What each device's file holds, worked out before the baseline's clock runs.
struct Device {
    QByteArray name;
    QByteArray info; // the BootInfo block with its serial number and MAC
};

QVector<Device> devicesOf(const QString &boot, const QString &firmware, int count, QByteArray &image)
{
    production::FactorySeries series(seriesInput(count));
    series.loadBootLoader(boot);
    series.loadFirmware(firmware);
    QVector<Device> devices;
    for (int i = 0; i < count; ++i) {
        const QString name = series.prepareDevice(i);
        devices.append({QFile::encodeName(name), series.image().mid(BootInfo::Offset, BootInfo::Size)});
    }
    image = series.image();
    return devices;
}

enum class Saving { Plain, SyncEach, Rename, RenameSyncOnce };

qint64 plainRun(const QVector<Device> &devices, const QString &folder, QByteArray image, Saving saving)
{
    const QByteArray prefix = QFile::encodeName(folder) + '/';
    const qint64 start = bench::nowNs();
    for (const Device &d : devices) {
        const QByteArray target = prefix + d.name;
        std::memcpy(image.data() + BootInfo::Offset, d.info.constData(), size_t(BootInfo::Size));
        const bool rename = saving == Saving::Rename || saving == Saving::RenameSyncOnce;
        const QByteArray path = rename ? target + ".part" : target;
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0)
            bench::fail(QStringLiteral("cannot create %1").arg(QString::fromLocal8Bit(path)));
        for (qint64 done = 0; done < image.size();) {
            const ssize_t n = ::write(fd, image.constData() + done, size_t(image.size() - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                bench::fail(QStringLiteral("write failed"));
            done += n;
        }
        if (saving == Saving::SyncEach)
            ::fdatasync(fd);
        ::close(fd);
        if (rename && ::rename(path.constData(), target.constData()) != 0)
            bench::fail(QStringLiteral("rename failed"));
    }
    if (saving == Saving::RenameSyncOnce) {
        const int fd = ::open(prefix.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        ::syncfs(fd);
        ::close(fd);
    }
    return bench::nowNs() - start;
}

QByteArray contents(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Each variant writes into a new folder, with earlier runs' data out of the
// page cache's dirty list, so that one does not pay for another's writeback
// or deletions.
QString freshFolder(const QString &parent, const QString &name)
{
    const QString path = QDir(parent).filePath(name);
    QDir().mkpath(path);
    ::sync();
    return path;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = bench::intArg(args, QStringLiteral("--count"), 1000);
    const int runs = bench::intArg(args, QStringLiteral("--runs"), 5);
    const QString label = bench::stringArg(args, QStringLiteral("--label"), QString());
    const QString key = label.isEmpty() ? QStringLiteral("production.") : QStringLiteral("production.%1.").arg(label);
    QTemporaryDir dir(QDir(bench::stringArg(args, QStringLiteral("--dir"), QDir::tempPath()))
                          .filePath(QStringLiteral("tarvo-bench-XXXXXX")));
    if (!dir.isValid())
        bench::fail(QStringLiteral("no temporary folder"));
    bench::traces::install(false); // tarvo-production shows trace lines only when asked

    const QString boot = dir.filePath(QStringLiteral("boot.bin"));
    const QString firmware = dir.filePath(QStringLiteral("fw.bin"));
    if (!writeFile(boot, bootLoaderImage()) || !writeFile(firmware, bench::firmwareImage()))
        bench::fail(QStringLiteral("cannot write the input images"));
    QByteArray image;
    const QVector<Device> devices = devicesOf(boot, firmware, count, image);

    struct Variant {
        const char *key;
        Saving saving;
        QVector<double> ns;
    };
    QVector<Variant> plain = {{"plain", Saving::Plain, {}},
                              {"plain_fdatasync", Saving::SyncEach, {}},
                              {"plain_rename", Saving::Rename, {}},
                              {"plain_rename_syncfs", Saving::RenameSyncOnce, {}}};
    QVector<double> tool;
    QString toolOut, plainOut;
    for (int i = 0; i < runs; ++i) {
        const QString round = dir.filePath(QStringLiteral("run%1").arg(i));
        toolOut = freshFolder(round, QStringLiteral("tool"));
        tool.append(double(toolRun(boot, firmware, toolOut, count)));
        bench::traces::clear();
        for (Variant &v : plain) {
            plainOut = freshFolder(round, QString::fromLatin1(v.key));
            v.ns.append(double(plainRun(devices, plainOut, image, v.saving)));
        }
        // The last round's files stay for the comparison below.
        if (i + 1 < runs) {
            QDir(round).removeRecursively();
            ::sync();
        }
    }
    // Same names, same bytes.
    for (int i : {0, count / 2, count - 1}) {
        const QString name = QFile::decodeName(devices.at(i).name);
        const QByteArray a = contents(QDir(toolOut).filePath(name));
        if (a.size() != 2 * ImageInfo::ImageSize || a != contents(QDir(plainOut).filePath(name)))
            bench::fail(QStringLiteral("%1 differs between the tool and the plain loop").arg(name));
    }

    bench::note(QStringLiteral("production: %1 factory images of 256 KiB, %2 runs per variant, in %3")
                    .arg(count).arg(runs).arg(dir.path()));
    const double toolMs = bench::Stats::of(tool).median / 1e6;
    const double plainMs = bench::Stats::of(plain.first().ns).median / 1e6;
    bench::result(key + QStringLiteral("tool.total_ms.median"), toolMs, QStringLiteral("ms"));
    for (const Variant &v : plain) {
        const double ms = bench::Stats::of(v.ns).median / 1e6;
        bench::result(key + QLatin1String(v.key) + QStringLiteral(".total_ms.median"), ms, QStringLiteral("ms"));
        if (v.saving != Saving::Plain)
            bench::result(key + QLatin1String(v.key) + QStringLiteral(".ratio"), ms / plainMs, QStringLiteral("x"));
    }
    bench::result(key + QStringLiteral("ratio"), toolMs / plainMs, QStringLiteral("x"));
    return 0;
}
