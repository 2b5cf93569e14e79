// tarvo-production: the window's two production operations for scripted
// runs. Same checks, texts, names and bytes as the slots, through the same
// building code; refusals go to standard error with a non-zero exit code.
// Where the window only traces that a file failed, this program also names
// the file and the system's reason.

#include "firmware/production.h"
#include "base/wholefile.h"
#include "firmware/upgradefile.h"
#include "tarvo_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

enum ExitCode { Done = 0, Refused = 1, Usage = 2 };

bool verbose = false;

// The building code traces as the window does; those lines are shown only
// on request, so that a run's own output stays readable.
void messageHandler(QtMsgType type, const QMessageLogContext &, const QString &message)
{
    if (type == QtDebugMsg && !verbose)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(message));
    std::fflush(stderr);
}

// False when the line could not be written (a full disk behind a
// redirection, a closed pipe); errno says why.
bool printLine(FILE *stream, const QString &line)
{
    return std::fprintf(stream, "%s\n", line.toLocal8Bit().constData()) >= 0 && std::fflush(stream) == 0;
}

// A path as shown: names come from the command line and from version texts
// inside images, so control characters are written as \xNN and cannot drive
// the terminal.
QString shown(const QString &path)
{
    QString out;
    for (const QChar c : path) {
        const ushort u = c.unicode();
        out += u < 0x20 || (u >= 0x7f && u < 0xa0) ? QString::asprintf("\\x%02x", u) : QString(c);
    }
    return out;
}

int refuse(const production::Refusal &refusal)
{
    printLine(stderr, refusal.title.isEmpty() ? refusal.text : refusal.title + QStringLiteral(": ") + refusal.text);
    return Refused;
}

int fail(const QString &text)
{
    printLine(stderr, text);
    return Refused;
}

// The window's text, then the file and the reason.
int failOn(const QString &text, const QString &path, const QString &reason)
{
    return fail(text + QLatin1Char(' ') + shown(path) + QStringLiteral(": ") + reason);
}

int failOpening(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly); // again, for the reason it failed
    return failOn(QStringLiteral("Error opening file!"), path, file.errorString());
}

// A progress line that cannot be written ends the run as failed: whoever
// reads standard output would miss the files that follow.
int failOutput()
{
    const int error = errno;
    return fail(QStringLiteral("standard output: ") + QString::fromLocal8Bit(std::strerror(error)));
}

// The output folder: the one chosen, else the program folder's subfolder as
// the slots use. An installed program's folder (/usr/bin) is not the user's
// to write to; then the subfolder of the current folder is used, and said.
QString outputFolder(const QCommandLineParser &parser, const QString &subfolder)
{
    QString folder;
    if (parser.isSet(QStringLiteral("output"))) {
        folder = QDir(parser.value(QStringLiteral("output"))).absolutePath();
    } else {
        const QString program = QCoreApplication::applicationDirPath();
        const QFileInfo beside(QDir(program).filePath(subfolder));
        if (beside.exists() ? beside.isDir() && beside.isWritable() : QFileInfo(program).isWritable())
            return programSubfolder(subfolder);
        folder = QDir::current().absoluteFilePath(subfolder);
        printLine(stderr, QStringLiteral("The program's folder %1 is not writable: writing to %2")
                              .arg(shown(program), shown(folder)));
    }
    QDir().mkpath(folder); // when this fails, so does the first write, with its reason
    return folder;
}

int buildUpgrade(const QCommandLineParser &parser, const QStringList &args)
{
    QByteArray raw;
    if (!production::readImageFile(args.at(0), raw))
        return failOpening(args.at(0));
    const UpgradeFile upgrade = buildUpgradeFile(raw);
    if (upgrade.result == UpgradeFile::BrandError)
        return refuse({QStringLiteral("Brand error"), QStringLiteral("ACHTUNG! Wybrales zly brand!")});
    const QString failed = QStringLiteral("Upg file creating failed!");
    const QString folder = outputFolder(parser, QStringLiteral("Upgrade"));
    const QString path = QDir(folder).filePath(upgrade.fileName);
    if (upgrade.result != UpgradeFile::Ok)
        return failOn(failed, path, QStringLiteral("the version text is not a plain file name"));
    QString reason;
    if (!writeFileWhole(path, upgrade.data, &reason))
        return failOn(failed, path, reason);
    return printLine(stdout, shown(path)) ? Done : failOutput();
}

// An option's whole number within the range its dialog offers.
bool intOption(const QCommandLineParser &parser, const QString &name, int low, int high, int &value)
{
    if (!parser.isSet(name))
        return true;
    bool ok = false;
    value = parser.value(name).toInt(&ok);
    if (ok && value >= low && value <= high)
        return true;
    printLine(stderr, QStringLiteral("--%1 must be a whole number from %2 to %3").arg(name).arg(low).arg(high));
    return false;
}

int buildFactoryImages(const QCommandLineParser &parser, const QStringList &args)
{
    production::SeriesInput input;
    const QDate today = QDate::currentDate();
    input.year = today.year() - 2000;
    input.week = today.weekNumber();
    if (!intOption(parser, QStringLiteral("year"), 10, 99, input.year)
        || !intOption(parser, QStringLiteral("week"), 1, 53, input.week)
        || !intOption(parser, QStringLiteral("start"), 0, 9999, input.startNumber)
        || !intOption(parser, QStringLiteral("count"), 1, 9999, input.deviceCount))
        return Usage;
    if (parser.isSet(QStringLiteral("mac")))
        input.macText = parser.value(QStringLiteral("mac"));

    production::FactorySeries series(input);
    if (const production::Refusal r = series.checkInput(); r.refused())
        return refuse(r);
    series.traceInput();
    if (!series.loadBootLoader(args.at(0)))
        return failOpening(args.at(0));
    if (const production::Refusal r = series.checkBootLoader(); r.refused())
        return refuse(r);
    if (!series.loadFirmware(args.at(1)))
        return failOpening(args.at(1));
    if (const production::Refusal r = series.checkFirmware(); r.refused())
        return refuse(r);

    // One image in memory at a time; each file appears whole or not at all.
    const QString folder = outputFolder(parser, QStringLiteral("BootBin"));
    const int width = int(QString::number(series.count()).size());
    const QString failed = QStringLiteral("BootBin file creating failed!");
    for (int i = 0; i < series.count(); ++i) {
        const QString name = series.prepareDevice(i);
        const QString path = QDir(folder).filePath(name);
        if (!isPlainFileName(name))
            return failOn(failed, path, QStringLiteral("the version text is not a plain file name"));
        QString reason;
        if (!writeFileWhole(path, series.image(), &reason))
            return failOn(failed, path, reason);
        if (!printLine(stdout, QStringLiteral("[%1/%2] %3").arg(i + 1, width).arg(series.count()).arg(shown(path))))
            return failOutput();
    }
    return Done;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tarvo-production"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TARVO_VERSION));
    qInstallMessageHandler(messageHandler);

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Builds Tarvo production files.\n\n"
        "Commands:\n"
        "  upgrade <raw image>                 upgrade file Tarvo_v<version>.upg\n"
        "  factory <boot loader> <firmware>    factory images Tarvo_Boot_<serial>_v<version>.bin,\n"
        "                                      one per device"));
    const QCommandLineOption help = parser.addHelpOption();
    // -v, --version as in tarvo; --verbose has no short form in either.
    const QCommandLineOption version = parser.addVersionOption();
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("upgrade or factory"));
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("the input images"), QStringLiteral("<files>"));
    const QDate today = QDate::currentDate();
    parser.addOptions({
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("Output folder (default: Upgrade or BootBin in the program's folder, or in the current "
                        "folder when the program's folder is not writable)."),
         QStringLiteral("folder")},
        {QStringLiteral("year"), QStringLiteral("Two-digit year, 10..99 (default: %1).").arg(today.year() - 2000),
         QStringLiteral("year")},
        {QStringLiteral("week"), QStringLiteral("Week, 1..53 (default: this week, %1).").arg(today.weekNumber()),
         QStringLiteral("week")},
        {QStringLiteral("start"), QStringLiteral("First serial counter, 0..9999 (default: 0)."), QStringLiteral("n")},
        {QStringLiteral("count"), QStringLiteral("Number of devices, 1..9999 (default: 1)."), QStringLiteral("n")},
        {QStringLiteral("mac"), QStringLiteral("First device's MAC offset in the product's block, hexadecimal "
                                               "(default: 0)."),
         QStringLiteral("hex")},
        {QStringLiteral("verbose"), QStringLiteral("Show the trace lines.")},
    });
    if (!parser.parse(QCoreApplication::arguments())) {
        printLine(stderr, parser.errorText());
        return Usage;
    }
    if (parser.isSet(help))
        parser.showHelp(Done);
    if (parser.isSet(version))
        parser.showVersion();
    verbose = parser.isSet(QStringLiteral("verbose"));

    const QStringList args = parser.positionalArguments();
    const QString command = args.value(0);
    if (command == QLatin1String("upgrade") && args.size() == 2)
        return buildUpgrade(parser, args.mid(1));
    if (command == QLatin1String("factory") && args.size() == 3)
        return buildFactoryImages(parser, args.mid(1));
    printLine(stderr, QStringLiteral("Usage: tarvo-production upgrade <raw image> | factory <boot loader> <firmware>"
                                     " [options]; see --help"));
    return Usage;
}
