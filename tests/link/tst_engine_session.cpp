// A node session's framing and dispatch, without a window, against an
// emulated node that delivers its replies in odd ways.
#include "enginebench.h"
#include "enginetestmain.h"

#include "config/configrecord.h"

class EngineSession : public QObject
{
    Q_OBJECT

private slots:
    // Every message a node sends is 1024 bytes; however TCP cuts or joins
    // them, each is handled once, whole.
    void repliesAreFramed_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QStringList>("traces"); // after "connected", once things are quiet
        // The rest of a reply cut at byte 100 starts with port 1's channel
        // count, 7: it must not pass for a GetConfig reply of its own.
        QTest::newRow("split at 100") << QJsonObject{{"split-at", 100}, {"config-words", QJsonObject{{"100", 7}}}}
                                      << QStringList{"connected", "TCP message received: 7"};
        QTest::newRow("two and another in one segment")
            << QJsonObject{{"duplicate", true}, {"append", 15}}
            << QStringList{"connected", "TCP message received: 7", "TCP message received: 7",
                           "TCP message received: 15", "Unknown message: 15"};
        // A node that answers with short messages still gets them handled,
        // once nothing more has come for a while.
        QTest::newRow("short messages") << QJsonObject{{"short-replies", 200}}
                                        << QStringList{"connected", "TCP message received: 7",
                                                       "Short config message ignored: 200"};
    }

    void repliesAreFramed()
    {
        QFETCH(QJsonObject, faults);
        EngineBench b;
        QVERIFY(b.start({EngineBench::node(faults)}));
        QObject::connect(b.session, &NodeSession::connected, b.config, &ConfigExchange::requestConfig);
        b.session->connectToNode(QHostAddress(QStringLiteral("192.0.2.10")));
        QVERIFY(Traces::waitFor(QStringLiteral("TCP message received: 7")));
        QTest::qWait(NodeSession::RestWaitMs + 300);
        QTEST(Traces::since(QStringLiteral("connected")), "traces");
        if (QTest::currentDataTag() == QByteArray("split at 100")) {
            QCOMPARE(b.config->lastConfigMessage().size(), 1024);
            QCOMPARE(wire::u32(b.config->lastConfigMessage(), 100), 7u);
        }
    }

    // A reply whose handler ends the connection ends the reading too: the
    // message behind it in the same segment is not acted on.
    void nothingIsHandledAfterTheClose()
    {
        EngineBench b;
        QVERIFY(b.start({EngineBench::node({{"factory-ip", "192.0.2.99"}, {"append", 7}})}));
        QVERIFY(b.connectTo());
        QTRY_COMPARE(Traces::count(QStringLiteral("TCP message received: 7")), 2);
        QSignalSpy disconnected(b.session, &NodeSession::disconnected);
        QSignalSpy received(b.config, &ConfigExchange::configReceived);
        b.config->requestDefault();
        QVERIFY(disconnected.wait(5000));
        QTest::qWait(100);
        QCOMPARE(Traces::since(QStringLiteral("TCP message received: 9")),
                 (QStringList{"TCP message received: 9", "Checking net info changes...", "Net config has changed",
                              "disconnected"}));
        QVERIFY(received.isEmpty());
    }

    void wordsItDoesNotKnowAreReported()
    {
        NodeSession session;
        QSignalSpy passed(&session, &NodeSession::messageReceived);
        Traces::clear();
        for (quint32 word : {0u, 10u, 14u, 15u, 17u, 0xffffffffu})
            session.dispatch(wire::message(MessageCommand(word)));
        session.dispatch(QByteArray("\x07\x00", 2));
        QCOMPARE(Traces::lines(),
                 (QStringList{"TCP message received: 0", "Unknown message: 0", "TCP message received: 10",
                              "Unknown message: 10", "TCP message received: 14", "Unknown message: 14",
                              "TCP message received: 15", "Unknown message: 15", "TCP message received: 17",
                              "Unknown message: 17", "TCP message received: -1", "Unknown message: -1",
                              "Short message ignored: 2"}));
        QVERIFY(passed.isEmpty());
    }
};

TARVO_ENGINE_TEST_MAIN(EngineSession)
#include "tst_engine_session.moc"
