// The configuration record, its checks and its exchange, without a window.
#include "configrecords.h"
#include "enginetestmain.h"

#include "config/configexchange.h"
#include "config/configvalues.h"
#include "link/nodesession.h"

#include <QSignalSpy>

class EngineConfig : public QObject
{
    Q_OBJECT
private slots:
    void decimalAddresses()
    {
        QByteArray r(8, '\x77');
        QVERIFY(ConfigRecord::putAddress(r, 2, QStringLiteral("192.168.001.010")));
        QCOMPARE(r.mid(2, 4), QByteArray::fromHex("c0a8010a"));
        for (const char *bad : {"256.1.1.1", "1.2.3", "1.2.3.4.5", "1..2.3", "", "1.2.3.+4", "1.2.3.0004", "a.b.c.d"})
            QVERIFY2(!ConfigRecord::putAddress(r, 2, QString::fromLatin1(bad)), bad);
        QCOMPARE(r.mid(2, 4), QByteArray::fromHex("c0a8010a")); // untouched by refusals
        QVERIFY(!ConfigRecord::putAddress(r, 5, QStringLiteral("1.2.3.4"))); // would run past the end
    }

    void networkComparison()
    {
        NodeSession session;
        ConfigExchange p(&session);
        const QByteArray r = configRecord();
        QVERIFY(p.netInfoChanged(r)); // nothing received yet: assume it changes
        p.acceptConfig(r);
        QVERIFY(p.netInfoChanged(r.left(ConfigRecord::UsedSize - 1)));

        QByteArray head = r;
        head[ConfigRecord::NetworkHeadOffset] = 'x';
        head[ConfigRecord::UsedSize] = 'y';
        Traces::clear();
        QVERIFY(!p.netInfoChanged(head));
        QCOMPARE(Traces::lines(), (QStringList{QStringLiteral("Checking net info changes..."),
                                               QStringLiteral("Net info doesn't changed")}));
        QByteArray gateway = r;
        gateway[ConfigRecord::UsedSize - 1] = char(253);
        Traces::clear();
        QVERIFY(p.netInfoChanged(gateway));
        QCOMPARE(Traces::lines(), QStringList{QStringLiteral("Checking net info changes...")});
    }

    // A reply too short to hold the fields it is read for is ignored,
    // whichever of the three it is: a short DefaultConfig reply is no
    // change of network settings.
    void shortRepliesAreIgnoredAlike()
    {
        NodeSession session;
        ConfigExchange exchange(&session);
        exchange.acceptConfig(configRecord());
        QSignalSpy received(&exchange, &ConfigExchange::configReceived);
        QSignalSpy applied(&exchange, &ConfigExchange::defaultApplied);
        Traces::clear();
        for (quint32 word : {7u, 8u, 9u})
            session.dispatch(configRecord(word).left(ConfigRecord::UsedSize - 1));
        QCOMPARE(Traces::lines().filter(QStringLiteral("Short config message ignored: 277")).size(), 3);
        QVERIFY(!Traces::contains(QStringLiteral("Net config has changed")));
        QVERIFY(received.isEmpty() && applied.isEmpty());
        QCOMPARE(exchange.lastConfigMessage(), configRecord());
    }

    // What a record shows goes back into a record unchanged, and values out
    // of range are refused with the port's own text, in check order.
    void valuesRoundTripAndRefusals()
    {
        QByteArray r = configRecord();
        for (int port = 0; port < ConfigRecord::PortCount; ++port) {
            const quint32 values[] = {99, 12, 0, 10, 24, 0, quint32(port * 60)};
            for (int f = 0; f < 7; ++f)
                wire::putU32(r, ConfigRecord::portField(port, 4 * f), values[f]);
            wire::putU32(r, ConfigRecord::mergeMode(port), quint32(port % 2));
        }
        wire::putText(r, ConfigRecord::LabelOffset, ConfigRecord::LabelSize, "Truss 3");
        ConfigValues v = ConfigValues::fromRecord(r);
        QByteArray built;
        QVERIFY(!configcheck::buildSetConfig(v, &built).refused());
        QCOMPARE(wire::u32(built, 0), 8u);
        for (int port = 0; port < ConfigRecord::PortCount; ++port) // all but each port's reserved word
            QCOMPARE(built.mid(ConfigRecord::mergeMode(port), 4), r.mid(ConfigRecord::mergeMode(port), 4));
        QCOMPARE(built.mid(ConfigRecord::PortOffset, 20), r.mid(ConfigRecord::PortOffset, 20));
        QCOMPARE(built.mid(ConfigRecord::LabelOffset, 8), QByteArray("Truss 3", 8));
        QCOMPARE(built.mid(ConfigRecord::IpOffset, 12), r.mid(ConfigRecord::IpOffset, 12));
        QCOMPARE(wire::u32(built, ConfigRecord::portField(3, PortConfig::UniverseIndex)), 180u);

        // An acknowledgement proves a write only with every value sent: a
        // merge mode, a port field, the label or any of the three addresses
        // otherwise makes it another record.
        for (const int offset : {68, 84, 100, 108, 196, 266, 270, 275}) {
            QByteArray other = r;
            other[offset] = char(other.at(offset) ^ 0x01);
            QVERIFY2(!ConfigValues::fromRecord(other).sameAs(v), qPrintable(QString::number(offset)));
        }
        QVERIFY(ConfigValues::fromRecord(r).sameAs(v));

        // A refusal names the first failing check, with its port, field,
        // range and value.
        const auto refusal = [&] {
            const configcheck::Refusal f = configcheck::buildSetConfig(v, &built);
            return QList<int>{int(f.check), f.port, int(f.field), int(f.range.low), int(f.range.high), int(f.value)};
        };
        using C = configcheck::Check;
        v.ports[2].field[PortValues::Mab] = 11;
        v.ports[3].field[PortValues::Universe] = 0; // an index with all bits set shows 0
        QCOMPARE(refusal(), (QList<int>{int(C::PortField), 2, int(PortValues::Mab), 12, 999, 11}));
        v.ports[2].field[PortValues::Mab] = 12;
        QCOMPARE(refusal(), (QList<int>{int(C::PortField), 3, int(PortValues::Universe), 1, 256, 0}));
        v.label = QByteArray("Stage\0left", 10); // a node reads a label up to its first NUL
        v.ports[3].field[PortValues::Universe] = 1;
        QVERIFY(!configcheck::buildSetConfig(v, &built).refused());
        QCOMPARE(built.mid(ConfigRecord::LabelOffset, 7), QByteArray("Stage\0\0", 7));
        v.label = QByteArray(64, 'x');
        QCOMPARE(configcheck::buildSetConfig(v, &built).check, C::LabelTooLong);
    }
};

TARVO_ENGINE_TEST_MAIN(EngineConfig)
#include "tst_engine_config.moc"
