#include "testmain.h"
#include "tst_upgrade_files.h"

class RunApp : public QObject
{
    Q_OBJECT

private slots:
    void runStartsTheApplicationAndCloses()
    {
        Bench b;
        QVERIFY(b.start({}, 666));
        Traces::clear();
        b.p->button("RunBtn")->click();
        QVERIFY(b.emu.waitForLine(QStringLiteral("disconnected 192.0.2.10")));
        QVERIFY(Traces::waitFor(QStringLiteral("disconnected")));
        QCOMPARE(Traces::lines().value(0), QStringLiteral("Run Application"));
        QCOMPARE(b.emu.received("192.0.2.10"), QStringList({"7", "15"})); // one whole message, 0F 00 00 00
        QVERIFY(ScriptedOperator::instance().boxes.isEmpty());

        b.p->invoke("searchForDevices");
        QTRY_COMPARE(b.p->list()->count(), 1);
        QCOMPARE(b.p->list()->item(0)->text(), QStringLiteral("Fw")); // no longer " bootloader"
    }
};

TARVO_TEST_MAIN(RunApp)
#include "tst_runapp.moc"
