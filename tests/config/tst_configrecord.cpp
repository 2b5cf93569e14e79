// The configuration record as the window reads it: shown, compared, kept.
#include "testmain.h"
#include "window.h"

#include "config/configrecord.h"
#include "configrecords.h"

namespace {

QByteArray device(const QByteArray &serial)
{
    QByteArray d(DiscoveryMessageSize, '\0');
    std::memcpy(d.data() + 120, serial.constData(), size_t(qMin(serial.size(), qsizetype(16))));
    return d;
}

} // namespace

class ConfigRecordTest : public QObject
{
    Q_OBJECT
private slots:
    void showsWhatTheNodeSent()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        QByteArray r = configRecord();
        wire::putU32(r, ConfigRecord::portField(0, PortConfig::UniverseIndex), 0);
        wire::putU32(r, ConfigRecord::portField(1, PortConfig::UniverseIndex), 255);
        wire::putU32(r, ConfigRecord::portField(2, PortConfig::UniverseIndex), 0xffffffffu);
        wire::putU32(r, ConfigRecord::portField(3, PortConfig::BreakTime), 4000000000u);
        wire::putU32(r, ConfigRecord::mergeMode(1), 2);
        wire::putU32(r, ConfigRecord::mergeMode(3), 1);
        p.showPortConfig(r);
        QCOMPARE(p.line("UniverseLine")->text(), QStringLiteral("1"));
        QCOMPARE(p.line("UniverseLine_2")->text(), QStringLiteral("256"));
        QCOMPARE(p.line("UniverseLine_3")->text(), QStringLiteral("0"));
        QCOMPARE(p.line("BREAKLine_4")->text(), QStringLiteral("4000000000"));
        QCOMPARE(p.line("MABLine_2")->text(), QStringLiteral("114"));
        QCOMPARE(p.line("ChannelsLine_3")->text(), QStringLiteral("136"));
        const int modes[] = {p.combo("MergeModeBox")->currentIndex(), p.combo("MergeModeBox_2")->currentIndex(),
                             p.combo("MergeModeBox_3")->currentIndex(), p.combo("MergeModeBox_4")->currentIndex()};
        QCOMPARE(QList<int>(std::begin(modes), std::end(modes)), (QList<int>{0, 1, 0, 1}));

        // Anything shorter than the interpreted 278 bytes shows nothing.
        for (int size : {0, 100, ConfigRecord::UsedSize - 1})
            p.showPortConfig(configRecord().left(size));
        QCOMPARE(p.line("UniverseLine_2")->text(), QStringLiteral("256"));
    }

    void replyKeepsRecordAndSerial()
    {
        auto w = openWindow();
        MainWindowProbe p(*w);
        p.devices() = {device("A1"), device("0123456789abcdefXYZ")};
        p.list()->addItems({QStringLiteral("a"), QStringLiteral("b")});
        p.line("DeviceLabelLine")->setText(QStringLiteral("label"));
        p.line("IPLine")->setText(QStringLiteral("192.0.2.10"));

        const QByteArray r = configRecord();
        p.handleConfigReply(r); // no row selected: the serial stays
        QCOMPARE(p.lastConfigMessage(), r);
        QCOMPARE(p.connectedSerial(), QByteArray());
        QCOMPARE(p.line("BREAKLine")->text(), QStringLiteral("100"));

        p.list()->setCurrentRow(1);
        p.handleConfigReply(r + "tail");
        QCOMPARE(p.connectedSerial(), QByteArray("0123456789abcde")); // bounded to 15
        QVERIFY(Traces::contains(QStringLiteral("Serial number: 0123456789abcde")));
        QCOMPARE(p.line("DeviceLabelLine")->text(), QStringLiteral("label"));
        QCOMPARE(p.line("IPLine")->text(), QStringLiteral("192.0.2.10"));

        p.list()->setCurrentRow(0);
        QByteArray other = configRecord();
        wire::putU32(other, ConfigRecord::portField(0, PortConfig::BreakTime), 555);
        p.handleConfigReply(other.left(ConfigRecord::UsedSize - 1)); // ignored whole
        QCOMPARE(p.lastConfigMessage(), r + "tail");
        QCOMPARE(p.connectedSerial(), QByteArray("0123456789abcde"));
        QCOMPARE(p.line("BREAKLine")->text(), QStringLiteral("100"));
    }
};

TARVO_TEST_MAIN(ConfigRecordTest)
#include "tst_configrecord.moc"
