// tarvo-production: the window's two production operations for scripted
// runs. Same checks, texts, names and bytes as the slots, through the same
// building code; refusals go to standard error with a non-zero exit code.

#include "firmware/production.h"
#include "firmware/upgradefile.h"
#include "tarvo_version.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <cstdio>

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

void printLine(FILE *stream, const QString &line)
{
    std::fprintf(stream, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stream);
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

// The chosen folder, or the program folder's subfolder as the slots use.
QString outputFolder(const QCommandLineParser &parser, const QString &subfolder)
{
    if (!parser.isSet(QStringLiteral("output")))
        return programSubfolder(subfolder);
    const QString folder = QDir(parser.value(QStringLiteral("output"))).absolutePath();
    QDir().mkpath(folder);
    return folder;
}

int buildUpgrade(const QCommandLineParser &parser, const QStringList &args)
{
    QByteArray raw;
    if (!production::readImageFile(args.at(0), raw))
        return fail(QStringLiteral("Error opening file!"));
    const UpgradeFile upgrade = buildUpgradeFile(raw);
    if (upgrade.result == UpgradeFile::BrandError)
        return refuse({QStringLiteral("Brand error"), QStringLiteral("ACHTUNG! Wybrales zly brand!")});
    const QString folder = outputFolder(parser, QStringLiteral("Upgrade"));
    if (upgrade.result != UpgradeFile::Ok || !saveWhole(folder, upgrade.fileName, upgrade.data))
        return fail(QStringLiteral("Upg file creating failed!"));
    printLine(stdout, QDir(folder).filePath(upgrade.fileName));
    return Done;
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
        return fail(QStringLiteral("Error opening file!"));
    if (const production::Refusal r = series.checkBootLoader(); r.refused())
        return refuse(r);
    if (!series.loadFirmware(args.at(1)))
        return fail(QStringLiteral("Error opening file!"));
    if (const production::Refusal r = series.checkFirmware(); r.refused())
        return refuse(r);

    // One image in memory at a time; each file appears whole or not at all.
    const QString folder = outputFolder(parser, QStringLiteral("BootBin"));
    const int width = int(QString::number(series.count()).size());
    for (int i = 0; i < series.count(); ++i) {
        QString name;
        if (!series.writeDevice(folder, i, &name))
            return fail(QStringLiteral("BootBin file creating failed!"));
        printLine(stdout, QStringLiteral("[%1/%2] %3").arg(i + 1, width).arg(series.count()).arg(QDir(folder).filePath(name)));
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
    // Not addVersionOption(): its -v is --verbose here.
    const QCommandLineOption version(QStringLiteral("version"), QStringLiteral("Displays version information."));
    parser.addOption(version);
    parser.addPositionalArgument(QStringLiteral("command"), QStringLiteral("upgrade or factory"));
    parser.addPositionalArgument(QStringLiteral("files"), QStringLiteral("the input images"), QStringLiteral("<files>"));
    const QDate today = QDate::currentDate();
    parser.addOptions({
        {{QStringLiteral("o"), QStringLiteral("output")},
         QStringLiteral("Output folder (default: the program folder's Upgrade or BootBin)."), QStringLiteral("folder")},
        {QStringLiteral("year"), QStringLiteral("Two-digit year, 10..99 (default: %1).").arg(today.year() - 2000),
         QStringLiteral("year")},
        {QStringLiteral("week"), QStringLiteral("Week, 1..53 (default: this week, %1).").arg(today.weekNumber()),
         QStringLiteral("week")},
        {QStringLiteral("start"), QStringLiteral("First serial counter, 0..9999 (default: 0)."), QStringLiteral("n")},
        {QStringLiteral("count"), QStringLiteral("Number of devices, 1..9999 (default: 1)."), QStringLiteral("n")},
        {QStringLiteral("mac"), QStringLiteral("First device's MAC offset in the product's block, hexadecimal "
                                               "(default: 0)."),
         QStringLiteral("hex")},
        {{QStringLiteral("v"), QStringLiteral("verbose")}, QStringLiteral("Show the trace lines.")},
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
