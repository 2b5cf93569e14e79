// Start-up on a workstation without a usable IPv4 address: the program shows
// the fatal error and ends with exit code 1 before any window appears. Runs
// the real main() as a child process in a namespace with loopback alone.

#include "proberun.h"
#include "testmain.h"

#include <QNetworkInterface>

class StartupNoAddress : public QObject
{
    Q_OBJECT

private slots:
    void refusesToStart_data()
    {
        QTest::addColumn<QString>("ipv6");
        QTest::newRow("loopback only") << QString();
        QTest::newRow("loopback and a global IPv6 address") << QStringLiteral("2001:db8::1/64");
    }

    void refusesToStart()
    {
        QFETCH(QString, ipv6);
        if (!ipv6.isEmpty()) {
            const int rc = QProcess::execute(QStringLiteral("ip"), {QStringLiteral("-6"), QStringLiteral("addr"),
                                                                   QStringLiteral("replace"), ipv6,
                                                                   QStringLiteral("dev"), QStringLiteral("lo")});
            if (rc != 0)
                QSKIP("IPv6 is not available in this namespace");
        }
        bool hasIpv6 = false;
        for (const QHostAddress &a : QNetworkInterface::allAddresses()) {
            QVERIFY2(a.protocol() != QAbstractSocket::IPv4Protocol || a.isLoopback(), "run with netns-run --lo-only");
            hasIpv6 |= a.protocol() == QAbstractSocket::IPv6Protocol && !a.isLoopback();
        }
        QCOMPARE(hasIpv6, !ipv6.isEmpty());

        // Dialogs are answered, should one appear against expectation.
        const ProbeRun run = runStartupProbe({QStringLiteral("TARVO_PROBE_ANSWERS=cancel")});
        QVERIFY2(run.finished, run.errors.constData());
        QCOMPARE(run.exitStatus, QProcess::NormalExit);
        QCOMPARE(run.exitCode, 1);
        QCOMPARE(run.shown(), 0);
        QVERIFY(run.of(QStringLiteral("dialog")).isEmpty());
        const QList<QStringList> boxes = run.of(QStringLiteral("box"));
        QCOMPARE(boxes.size(), 1);
        QCOMPARE(boxes[0].value(0), QStringLiteral("IP address error"));
        QCOMPARE(boxes[0].value(1), QStringLiteral("No IP address found, application will be closed!"));
        QCOMPARE(boxes[0].value(2).toInt(), int(QMessageBox::Critical));
        QCOMPARE(boxes[0].value(3).toInt(), int(QMessageBox::Ok));
        QCOMPARE(boxes[0].value(4), QStringLiteral("0")); // no parent
        QCOMPARE(boxes[0].value(5), QStringLiteral("1")); // modal
        for (const QString &line : run.traces())
            QVERIFY2(!line.startsWith(QLatin1String("IP address: ")) && !line.startsWith(QLatin1String("Hostname: ")),
                     qPrintable(line));
    }
};

TARVO_TEST_MAIN(StartupNoAddress)
#include "tst_startup_noaddress.moc"
