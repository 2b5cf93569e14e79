#include "firmware/bootimage.h"
#include "tarvo_version.h"
#include "testmain.h"
#include "tst_upgrade_files.h"
#include "window.h"

#include <QDirIterator>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

// Factory images and upgrade files, built by the window's slots (called by
// name, the operator answering the dialogs) and by tarvo-production.
class Production : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> w;
    QTemporaryDir sources;
    QString startDir, boot, firmware, out;
    bool hadUpgradeDir = false;

    static QString in(const QString &dir, const QString &name) { return QDir(dir).filePath(name); }
    static QString programDir() { return QCoreApplication::applicationDirPath(); }
    static QString bootBinDir() { return in(programDir(), "BootBin"); }
    static QStringList filesIn(const QString &dir) { return QDir(dir).entryList(QDir::Files, QDir::Name); }
    QString source(const QString &name, const QByteArray &data) { return fw::writeFile(sources.path(), name, data); }

    // Boot loader with traced texts and an old serial number that each
    // device's own must replace whole.
    static QByteArray bootLoader(quint16 checkWord = 0)
    {
        QByteArray image = fw::rawImage("", 0, 5);
        std::memset(image.data() + BootInfo::Offset, 0x5a, BootInfo::Size);
        wire::putText(image, BootInfo::Offset, BootInfo::TextSize, "TarvoBoot");
        wire::putText(image, BootInfo::Offset + BootInfo::SerialOffset, BootInfo::SerialSize, "99999999");
        wire::putU16(image, BootInfo::Offset + BootInfo::CheckWordOffset, checkWord);
        return image;
    }

    void runSlot(const QString &bootPath, const QString &firmwarePath, int start, int count, const QString &mac)
    {
        auto &op = ScriptedOperator::instance();
        op.reset();
        op.chooseFile(bootPath);
        op.chooseFile(firmwarePath);
        for (int n : {15, 3, start, count})
            op.enterInt(n);
        op.enterText(mac);
        Traces::clear();
        QVERIFY(MainWindowProbe(*w).invoke("createBootBin"));
    }

    struct Run {
        int code = -1;
        QString out, err;
    };
    static Run run(const QString &program, const QStringList &args, const QString &dir = {},
                   const QString &stdoutFile = {})
    {
        QProcess p;
        p.setWorkingDirectory(dir);
        if (!stdoutFile.isEmpty())
            p.setStandardOutputFile(stdoutFile);
        p.start(program, args);
        Run r;
        if (p.waitForFinished(60000) && p.exitStatus() == QProcess::NormalExit)
            r.code = p.exitCode();
        r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
        r.err = QString::fromLocal8Bit(p.readAllStandardError());
        return r;
    }
    Run cli(QStringList args, const QString &stdoutFile = {}) const
    {
        if (!args.contains("-o"))
            args << "-o" << out;
        return run(QStringLiteral(TARVO_PRODUCTION), args << "--year" << "15" << "--week" << "3", {}, stdoutFile);
    }
    // `script` runs as sh in a mount namespace of its own, with `args` as
    // its $1...; code 99 when there is none to be had, or it cannot mount.
    static Run inMountNamespace(const QString &script, const QStringList &args, const QString &dir = {})
    {
        Run r = run(QStringLiteral("unshare"), QStringList{"-m", "sh", "-c", script, "sh"} + args, dir);
        if (r.err.startsWith(QLatin1String("unshare:")))
            r.code = 99;
        return r;
    }

private slots:
    void initTestCase()
    {
        startDir = QDir::currentPath();
        hadUpgradeDir = QDir(programDir()).exists("Upgrade");
        boot = source("boot.bin", bootLoader());
        firmware = source("fw.bin", fw::rawImage("V1.23"));
        out = in(sources.path(), "out");
        w = openWindow();
    }
    void cleanup()
    {
        QDir::setCurrent(startDir); // the slots change it
        QDir(bootBinDir()).removeRecursively();
        QFile::remove(in(programDir(), "Upgrade/Tarvo_v6.prod.upg"));
        QDir(out).removeRecursively();
    }
    void cleanupTestCase()
    {
        if (!hadUpgradeDir)
            QDir(programDir()).rmdir("Upgrade"); // only when empty: other tests write there too
    }

    // Week 03, counter 0007 on; the MAC crosses into byte 4; the firmware
    // half is the input, unscrambled, with the sum of all its bytes.
    void imagesDifferOnlyInSerialAndMac()
    {
        runSlot(boot, firmware, 7, 3, "FF");
        const auto &op = ScriptedOperator::instance();
        QVERIFY(op.boxes.isEmpty() && op.unexpected.isEmpty() && op.dialogs.size() == 7);
        QCOMPARE(op.dialogs[2].value.toInt(), QDate::currentDate().year() - 2000);
        QCOMPARE(op.dialogs[3].value.toInt(), QDate::currentDate().weekNumber());
        QCOMPARE(QDir::currentPath(), programDir());
        QByteArray expected = bootLoader() + fw::rawImage("V1.23");
        wire::putU32(expected, 0x3FFFC, imageChecksumQuiet(bytes(expected) + 0x20000, 0x20000));
        const int serialAt = BootInfo::Offset + BootInfo::SerialOffset, macAt = BootInfo::Offset + BootInfo::MacOffset;
        const char *macs[] = {"0254415270ff", "025441527100", "025441527101"};
        for (int i = 0; i < 3; ++i) {
            const QByteArray serial = "1503000" + QByteArray::number(7 + i);
            expected.replace(serialAt, 16, serial.leftJustified(16, '\0'));
            expected.replace(macAt, 6, QByteArray::fromHex(macs[i]));
            QCOMPARE(fw::readFile(in(bootBinDir(), "Tarvo_Boot_" + serial + "_v1.23.bin")), expected);
        }
        QCOMPARE(filesIn(bootBinDir()).size(), 3);
    }

    void slotAndCommandLineAgree_data()
    {
        QTest::addColumn<int>("start");
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("mac");
        QTest::addColumn<QString>("bootPath");
        QTest::addColumn<QString>("firmwarePath");
        QTest::addColumn<int>("files");
        QTest::addColumn<QString>("refusal"); // the box's "title: text", or the trace when `traced`
        QTest::addColumn<bool>("traced");
        const QString serialText = "POZOR! Serial number poza zakresem! Stay focused!";
        const QString macText = "MAC Address error: ACHTUNG! Adresy MAC poza zakresem!";
        QTest::newRow("last serial 9998") << 9989 << 10 << "0" << boot << firmware << 10 << "" << false;
        QTest::newRow("serial range") << 9990 << 10 << "0" << boot << firmware << 0
                                      << "Device number error: " + serialText << false;
        QTest::newRow("last MAC FFF") << 0 << 16 << "FF0" << boot << firmware << 16 << "" << false;
        QTest::newRow("MAC range") << 0 << 17 << "FF0" << boot << firmware << 0 << macText << false;
        QTest::newRow("MAC not hex") << 0 << 1 << "xyz" << boot << firmware << 0 << macText << false;
        // Summed in 32 bits this offset would wrap round to 1 and pass.
        QTest::newRow("MAC wraps") << 0 << 2 << "FFFFFFFF" << boot << firmware << 0 << macText << false;
        QTest::newRow("check word") << 0 << 1 << "0" << source("cw.bin", bootLoader(1)) << firmware << 0 << serialText
                                    << false;
        QTest::newRow("brand") << 0 << 1 << "0" << boot << source("brand.bin", fw::rawImage("V2", 1)) << 0
                               << "Brand error: WNIMANJE, WNIMANJE: ZLY BRAND!" << false;
        QTest::newRow("version leaves folder") << 0 << 1 << "0" << boot << source("up.bin", fw::rawImage("V/../../x"))
                                               << 0 << "BootBin file creating failed!" << true;
    }
    void slotAndCommandLineAgree()
    {
        QFETCH(int, start);
        QFETCH(int, count);
        QFETCH(QString, mac);
        QFETCH(QString, bootPath);
        QFETCH(QString, firmwarePath);
        QFETCH(int, files);
        QFETCH(QString, refusal);
        QFETCH(bool, traced);
        // Lets "V/../../x" reach the folder above, were it not refused.
        QVERIFY(QDir().mkpath(in(bootBinDir(), "Tarvo_Boot_15030000_v")) && QDir().mkpath(in(out, "Tarvo_Boot_15030000_v")));
        runSlot(bootPath, firmwarePath, start, count, mac);
        const Run r = cli({"factory", bootPath, firmwarePath, "--start", QString::number(start), "--count",
                           QString::number(count), "--mac", mac});

        const auto &op = ScriptedOperator::instance();
        QCOMPARE(op.boxes.size(), refusal.isEmpty() || traced ? 0 : 1);
        if (!op.boxes.isEmpty()) {
            const auto &box = op.boxes[0];
            QCOMPARE(box.title.isEmpty() ? box.text : box.title + ": " + box.text, refusal);
            QCOMPARE(box.icon, QMessageBox::Warning);
        }
        if (!refusal.isEmpty())
            QCOMPARE(Traces::contains(refusal), traced);
        QVERIFY(!MainWindowProbe(*w).statusBox());
        QCOMPARE(r.code, refusal.isEmpty() ? 0 : 1);
        // A file that cannot be written is named, with the reason.
        if (traced)
            QVERIFY2(r.err.startsWith(refusal + ' ' + out + '/') && r.err.endsWith(": the version text is not a plain file name\n"),
                     qPrintable(r.err));
        else
            QCOMPARE(r.err, refusal.isEmpty() ? QString() : refusal + '\n');
        QCOMPARE(r.out.count('\n'), files); // one progress line per file

        const QStringList names = filesIn(bootBinDir());
        QCOMPARE(names.size(), files);
        QCOMPARE(filesIn(out), names);
        for (const QString &name : names)
            QCOMPARE(fw::readFile(in(out, name)), fw::readFile(in(bootBinDir(), name)));
        QCOMPARE(names.value(files - 1), files ? QString("Tarvo_Boot_1503%1_v1.23.bin").arg(start + files - 1, 4, 10, QChar('0')) : "");
        QVERIFY(!QFile::exists(in(programDir(), "x.bin")) && !QFile::exists(in(sources.path(), "x.bin")));
    }

    // A file that cannot be written stops the series; what was written
    // before it stays whole, and nothing half-written is left.
    void failedWriteStopsSeries()
    {
        for (const QString &dir : {bootBinDir(), out})
            QVERIFY(QDir(dir).mkpath("Tarvo_Boot_15030008_v1.23.bin"));
        runSlot(boot, firmware, 7, 3, "0");
        QCOMPARE(Traces::count("BootBin file creating failed!"), 1);
        const Run r = cli({"factory", boot, firmware, "--start", "7", "--count", "3"});
        QCOMPARE(r.code, 1);
        QCOMPARE(r.err, "BootBin file creating failed! " + in(out, "Tarvo_Boot_15030008_v1.23.bin") +
                            ": Filename refers to a directory\n");
        for (const QString &dir : {bootBinDir(), out}) {
            QCOMPARE(filesIn(dir), QStringList{"Tarvo_Boot_15030007_v1.23.bin"});
            QCOMPARE(QFileInfo(in(dir, "Tarvo_Boot_15030007_v1.23.bin")).size(), 262144);
        }
    }

    void upgradeFiles()
    {
        const QString raw = source("raw.bin", fw::rawImage("v6.prod"));
        ScriptedOperator::instance().reset();
        ScriptedOperator::instance().chooseFile(raw);
        QVERIFY(MainWindowProbe(*w).invoke("createUpg"));
        QCOMPARE(cli({"upgrade", raw}).code, 0);
        const QByteArray written = fw::readFile(in(out, "Tarvo_v6.prod.upg"));
        QCOMPARE(written.size(), 131072);
        QCOMPARE(written, fw::readFile(in(programDir(), "Upgrade/Tarvo_v6.prod.upg")));

        const Run brand = cli({"upgrade", source("b.bin", fw::rawImage("v6", 1))});
        QCOMPARE(brand.err, "Brand error: ACHTUNG! Wybrales zly brand!\n");
        QVERIFY(QDir().mkpath(in(out, "Tarvo_v")));
        const Run unsafe = cli({"upgrade", source("u.bin", fw::rawImage("v/x"))});
        QCOMPARE(unsafe.err, "Upg file creating failed! " + in(out, "Tarvo_v/x.upg") +
                                 ": the version text is not a plain file name\n");
        QVERIFY(brand.code == 1 && unsafe.code == 1 && !QFile::exists(in(out, "Tarvo_v/x.upg")));
    }

    // No output folder given: the program folder's, as the slots do; the
    // series is the dialogs' default of one device.
    void commandLineDefaults()
    {
        QProcess p;
        p.start(QStringLiteral(TARVO_PRODUCTION), {"factory", boot, firmware});
        QVERIFY(p.waitForFinished(60000) && p.exitCode() == 0);
        const QDate today = QDate::currentDate();
        const QString folder = in(QFileInfo(QStringLiteral(TARVO_PRODUCTION)).absolutePath(), "BootBin");
        const QString name = QString::asprintf("Tarvo_Boot_%02d%02d0000_v1.23.bin", today.year() - 2000, today.weekNumber());
        QVERIFY(QFile::remove(in(folder, name)));
        QDir().rmdir(folder);
        QCOMPARE(cli({"factory", boot, firmware, "--count", "0"}).code, 2);
        // -v is the version, as in tarvo; --verbose has no short form.
        QCOMPARE(run(QStringLiteral(TARVO_PRODUCTION), {"-v"}).out, QStringLiteral("tarvo-production " TARVO_VERSION "\n"));
        QCOMPARE(cli({"upgrade", firmware, "--verbose"}).code, 0);
    }

    // Every failure names its file and the system's reason.
    void errorsNameFileAndReason_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("stdoutFile");
        QTest::addColumn<QString>("error");
        const QString none = in(sources.path(), "none.bin"), aFile = source("a-file", "x");
        QTest::newRow("no boot loader") << QStringList{"factory", none, firmware} << QString()
                                        << "Error opening file! " + none + ": No such file or directory";
        QTest::newRow("firmware a folder") << QStringList{"factory", boot, sources.path()} << QString()
                                           << "Error opening file! " + sources.path() + ": file to open is a directory";
        QTest::newRow("output in a file") << QStringList{"upgrade", firmware, "-o", aFile} << QString()
                                          << "Upg file creating failed! " + aFile + "/Tarvo_v1.23.upg: Not a directory";
        // The files are written; the list of them is not.
        QTest::newRow("standard output full") << QStringList{"upgrade", firmware} << "/dev/full"
                                              << "standard output: No space left on device";
    }
    void errorsNameFileAndReason()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, stdoutFile);
        QFETCH(QString, error);
        const Run r = cli(args, stdoutFile);
        QCOMPARE(r.err, error + '\n');
        QCOMPARE(r.code, 1);
    }

    // A disk that fills up: the series stops at the image that did not fit,
    // the ones before it stay whole, and no part of it is left behind.
    void fullDiskStopsSeries()
    {
        QVERIFY(QDir().mkpath(out));
        const Run r = inMountNamespace(
            "d=$1; shift; mount -t tmpfs -o size=300k tmpfs \"$d\" || exit 99; \"$@\"; code=$?; ls \"$d\"; exit $code",
            {out, TARVO_PRODUCTION, "factory", boot, firmware, "-o", out, "--year", "15", "--week", "3", "--start", "7",
             "--count", "3"});
        if (r.code == 99)
            QSKIP("no mount namespace here");
        QCOMPARE(r.err, "BootBin file creating failed! " + in(out, "Tarvo_Boot_15030008_v1.23.bin") +
                            ": No space left on device\n");
        QCOMPARE(r.out, "[1/3] " + in(out, "Tarvo_Boot_15030007_v1.23.bin") + "\nTarvo_Boot_15030007_v1.23.bin\n");
        QCOMPARE(r.code, 1);
    }

    // Installed in /usr/bin, the program's folder is not the user's: the
    // default folder is then the current folder's, and the run says so.
    void readOnlyProgramFolder()
    {
        QTemporaryDir bin, work;
        const QString copy = in(bin.path(), "tarvo-production");
        QVERIFY(QFile::copy(QStringLiteral(TARVO_PRODUCTION), copy));
        const Run r = inMountNamespace("mount --bind \"$1\" \"$1\" && mount -o remount,bind,ro \"$1\" || exit 99; "
                                       "shift; exec \"$@\"",
                                       {bin.path(), copy, "upgrade", firmware}, work.path());
        if (r.code == 99)
            QSKIP("no mount namespace here");
        const QString folder = in(work.path(), "Upgrade");
        QCOMPARE(r.err, "The program's folder " + bin.path() + " is not writable: writing to " + folder + '\n');
        QCOMPARE(r.out, in(folder, "Tarvo_v1.23.upg") + '\n');
        QCOMPARE(r.code, 0);
        QCOMPARE(fw::readFile(in(folder, "Tarvo_v1.23.upg")).size(), 131072);
        QCOMPARE(filesIn(bin.path()), QStringList{"tarvo-production"});
    }
};

TARVO_TEST_MAIN(Production)
#include "tst_production.moc"
