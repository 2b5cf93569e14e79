#include "testmain.h"
#include "tst_upgrade_files.h"

class CreateUpg : public QObject
{
    Q_OBJECT

    std::unique_ptr<MainWindow> w;
    QTemporaryDir sources;
    QString startDir;
    QStringList made; // names this test may leave in <program folder>/Upgrade

    static QString programDir() { return QCoreApplication::applicationDirPath(); }
    static QString output(const QString &name) { return programDir() + QStringLiteral("/Upgrade/") + name; }

    // Runs the slot by name, as production does, on a source file of `raw`;
    // returns the decoded image it wrote to `name`.
    QByteArray run(const QByteArray &raw, const QString &name)
    {
        made << name;
        ScriptedOperator::instance().reset();
        ScriptedOperator::instance().chooseFile(fw::writeFile(sources.path(), QStringLiteral("fw.bin"), raw));
        Traces::clear();
        MainWindowProbe(*w).invoke("createUpg");
        return fw::decoded(fw::readFile(output(name)));
    }

private slots:
    void initTestCase()
    {
        startDir = QDir::currentPath();
        w = openWindow();
    }

    void init() { QDir::setCurrent(sources.path()); }

    void cleanup()
    {
        QDir::setCurrent(startDir);
        for (const QString &name : made)
            QFile::remove(output(name));
    }

    void sourceIsPaddedOrCutTo128KiB()
    {
        const QByteArray raw = fw::rawImage("v").left(1000);
        const QByteArray image = run(raw, QStringLiteral("Tarvo_v.upg"));
        QCOMPARE(image.left(1000) + QByteArray(ImageInfo::ChecksumImageOffset - 1000, '\0'), image.left(ImageInfo::ChecksumImageOffset));
        QCOMPARE(ImageInfo::checksum(image), imageChecksumQuiet(bytes(raw), raw.size()));
        QCOMPARE(Traces::lines().mid(0, 3), QStringList({"1000", QStringLiteral("Calculated CRC: %1").arg(ImageInfo::checksum(image)),
                                                         "Filename: \"Tarvo_v.upg\""}));
        QCOMPARE(ScriptedOperator::instance().dialogs.value(0).filter, QStringLiteral("Bin (*.bin)"));
        QCOMPARE(QDir::currentPath(), programDir());

        QByteArray expected = fw::rawImage("v9.9.9");
        const QByteArray written = run(expected + QByteArray(4096, char(0xee)), QStringLiteral("Tarvo_v9.9.9.upg"));
        wire::putU32(expected, ImageInfo::ChecksumImageOffset, imageChecksumQuiet(bytes(expected), expected.size()));
        QCOMPARE(written, expected);
    }

    void checksumSumsAllBytesAsRead()
    {
        QByteArray raw = fw::rawImage("vT4");
        raw.replace(ImageInfo::ChecksumImageOffset, 4, "\x01\x02\x03\x04");
        const QByteArray image = run(raw, QStringLiteral("Tarvo_vT4.upg"));
        // A verifier's sum leaves out the checksum word: this file is damaged.
        QCOMPARE(ImageInfo::checksum(image), imageChecksumQuiet(bytes(raw), ImageInfo::VerifiedSize) + 10);
    }

    void wrongBrandWritesNothing()
    {
        run(fw::rawImage("vT5", 1), QStringLiteral("Tarvo_vT5.upg"));
        const auto &boxes = ScriptedOperator::instance().boxes;
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].title + '/' + boxes[0].text, QStringLiteral("Brand error/ACHTUNG! Wybrales zly brand!"));
        QCOMPARE(boxes[0].icon, QMessageBox::Warning);
        QVERIFY(!QFile::exists(output(QStringLiteral("Tarvo_vT5.upg"))));
        QCOMPARE(QDir::currentPath(), sources.path());
        QVERIFY(!MainWindowProbe(*w).statusBox());
    }

    void secondRunReplacesTheFile()
    {
        run(fw::rawImage("vT6", 0, 1), QStringLiteral("Tarvo_vT6.upg"));
        const QByteArray second = fw::rawImage("vT6", 0, 2);
        QCOMPARE(run(second, QStringLiteral("Tarvo_vT6.upg")).left(1000), second.left(1000));
    }

    void unsafeVersionWritesNothing()
    {
        const QStringList before = QDir(programDir()).entryList(QDir::Files) + QDir(output({})).entryList(QDir::Files);
        run(fw::rawImage("v/../evil"), QStringLiteral("evil.upg"));
        QVERIFY(Traces::contains(QStringLiteral("Upg file creating failed!")));
        QCOMPARE(QDir(programDir()).entryList(QDir::Files) + QDir(output({})).entryList(QDir::Files), before);
    }
};

TARVO_TEST_MAIN(CreateUpg)
#include "tst_createupg.moc"
