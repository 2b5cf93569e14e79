// The emulator's own promises, checked against the wire with literal bytes:
// its faults as documented, a fault it does not know refused, and the
// faults the tool's tests lean on doing what they say.

#include "emulator.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkDatagram>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtEndian>
#include <QtTest>
#include <memory>

namespace {

const QString nodeIp = QStringLiteral("192.0.2.10");

QJsonObject node(const QJsonObject &faults, const QString &ip = nodeIp, const QString &label = QStringLiteral("N"))
{
    return QJsonObject{{"ip", ip}, {"label", label}, {"serial", "77" + ip.section('.', 3)}, {"faults", faults}};
}

quint32 u32(const QByteArray &b, int at)
{
    return qFromLittleEndian<quint32>(b.constData() + at);
}

// A 1024-byte request: its word, a packet number at 8, length 512 at 12.
QByteArray request(quint32 word, qint32 packet = 0, const QByteArray &payload = {})
{
    QByteArray m(1024, '\0');
    qToLittleEndian<quint32>(word, m.data());
    qToLittleEndian<qint32>(packet, m.data() + 8);
    qToLittleEndian<quint32>(512, m.data() + 12);
    m.replace(67, payload.size(), payload);
    return m;
}

// What arrives on a connection: each read with the time it came.
struct Arrivals {
    QList<QByteArray> pieces;
    QList<qint64> ms;
    bool closed = false;
    QByteArray all() const { return pieces.join(); }
};

// Reads until `bytes` have come, then for `quietMs` more; or until the node
// closes the connection, or 5 s have passed.
Arrivals collect(QTcpSocket &s, int bytes, int quietMs = 0)
{
    Arrivals a;
    QElapsedTimer t;
    t.start();
    QDeadlineTimer end(5000);
    qsizetype got = 0;
    while (!end.hasExpired()) {
        if (got >= bytes) {
            if (quietMs <= 0)
                break;
            end.setRemainingTime(quietMs);
            quietMs = 0;
        }
        if (s.bytesAvailable() == 0 && !s.waitForReadyRead(int(qMax<qint64>(1, end.remainingTime())))) {
            a.closed = s.state() != QAbstractSocket::ConnectedState;
            if (a.closed)
                break;
            continue;
        }
        a.pieces.append(s.readAll());
        a.ms.append(t.elapsed());
        got += a.pieces.last().size();
    }
    return a;
}

// The discovery reply to a request sent to the node's own address; empty
// when none comes within `ms`.
QByteArray discover(const QString &ip, int ms = 400)
{
    QUdpSocket u;
    if (!u.bind(QHostAddress(QStringLiteral("192.0.2.1")), 0))
        return {};
    u.writeDatagram(QByteArray(512, '\0'), QHostAddress(ip), 49999); // the word 0 at 64: a request
    return u.waitForReadyRead(ms) ? u.receiveDatagram().data() : QByteArray();
}

std::unique_ptr<QTcpSocket> connectTo(const QString &ip)
{
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(ip, 50000);
    return s->waitForConnected(3000) ? std::move(s) : nullptr;
}

QStringList table(const QString &markdown)
{
    QStringList rows;
    for (const QString &l : markdown.split(QLatin1Char('\n')))
        if (l.startsWith(QLatin1String("| ")))
            rows.append(l);
    return rows;
}

} // namespace

class Emulator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!EmulatorProcess::available())
            QSKIP("needs scripts/netns-run");
    }

    // The table of docs/EMULATOR.md is the emulator's own, and --help shows
    // every fault of it.
    void faultsAreAsDocumented()
    {
        QProcess list, help;
        list.start(qEnvironmentVariable("TARVO_EMULATOR"), {"--list-faults"});
        help.start(qEnvironmentVariable("TARVO_EMULATOR"), {"--help"});
        QVERIFY(list.waitForFinished(5000) && help.waitForFinished(5000));
        const QStringList listed = table(QString::fromUtf8(list.readAllStandardOutput()));
        QFile doc(QStringLiteral(TARVO_EMULATOR_DOC));
        QVERIFY(doc.open(QIODevice::ReadOnly));
        const QString text = QString::fromUtf8(doc.readAll());
        const qsizetype from = text.indexOf(QLatin1String("<!-- tarvo-emulator --list-faults -->"));
        const qsizetype to = text.indexOf(QLatin1String("<!-- end of --list-faults -->"));
        QVERIFY(from >= 0 && to > from);
        QCOMPARE(table(text.mid(from, to - from)), listed);
        QVERIFY(listed.size() > 30);
        const QString shown = QString::fromUtf8(help.readAllStandardOutput());
        static const QRegularExpression syntax(QStringLiteral("`([^`]+)`"));
        for (const QString &row : listed)
            QVERIFY2(shown.contains(syntax.match(row).captured(1)), qPrintable(row));
    }

    void unknownOrBadFaultsAreRefused_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QJsonObject>("nodeFaults");
        QTest::addColumn<QString>("says");
        QTest::newRow("misspelt") << QStringList{"--fault", "splt-at=100"} << QJsonObject{}
                                  << "--fault splt-at=100: there is no such fault";
        QTest::newRow("out of range") << QStringList{"--fault", "split-at=0"} << QJsonObject{}
                                      << "--fault split-at=0: it takes a whole number from 1 to";
        QTest::newRow("key it lacks") << QStringList{"--fault", R"(stale-acks={"every":5,"bakc":2})"} << QJsonObject{}
                                      << R"(no key "bakc"; it takes E from 1 to 4096)";
        QTest::newRow("in the node file") << QStringList{} << QJsonObject{{"delay-ms", "soon"}}
                                          << R"(node 192.0.2.10: fault delay-ms="soon": it takes milliseconds)";
        QTest::newRow("misspelt in the node file") << QStringList{} << QJsonObject{{"no-replies", QJsonArray{8}}}
                                                   << "node 192.0.2.10: fault no-replies=[8]: there is no such fault";
    }

    void unknownOrBadFaultsAreRefused()
    {
        QFETCH(QStringList, args);
        QFETCH(QJsonObject, nodeFaults);
        QTemporaryDir dir;
        QFile file(dir.filePath("nodes.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QJsonDocument(QJsonObject{{"nodes", QJsonArray{node(nodeFaults)}}}).toJson());
        file.close();
        QProcess p;
        p.start("nsenter", QStringList{"--net=" + qEnvironmentVariable("TARVO_NODES_NETNS"), qEnvironmentVariable("TARVO_EMULATOR"),
                                       "--nodes-file", file.fileName()} + args);
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
        const QString err = QString::fromUtf8(p.readAllStandardError());
        QFETCH(QString, says);
        QVERIFY2(err.contains(says), qPrintable(err));
        QVERIFY2(err.contains("The known faults: silent, no-discovery,"), qPrintable(err));
        QVERIFY(!p.readAllStandardOutput().contains("ready"));
    }

    // Replies cut, paused and followed by an orderly close.
    void repliesThenClose_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<quint32>("word");
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("firstPiece");
        QTest::addColumn<int>("pauseMs");
        QTest::newRow("split at 100, 250 ms apart, closed after GetConfig")
            << QJsonObject{{"split-at", 100}, {"split-pause-ms", 250}, {"close-after-reply", 7}} << 7u << 1024 << 100 << 250;
        QTest::newRow("80 bytes of ResetDevice, then closed")
            << QJsonObject{{"short-replies", 80}, {"close-after-reply", QJsonArray{11, 12}}} << 11u << 80 << 80 << 0;
    }

    void repliesThenClose()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(quint32, word);
        QFETCH(int, bytes);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(faults)}));
        const auto s = connectTo(nodeIp);
        QVERIFY(s);
        s->write(request(word));
        const Arrivals a = collect(*s, bytes + 1);
        QCOMPARE(a.all().size(), bytes);
        QCOMPARE(u32(a.all(), 0), word);
        QVERIFY(a.closed);
        QTEST(int(a.pieces.first().size()), "firstPiece");
        QFETCH(int, pauseMs);
        if (pauseMs > 0)
            QVERIFY2(a.ms.last() - a.ms.first() >= pauseMs - 20, qPrintable(QString::number(a.ms.last() - a.ms.first())));
        QVERIFY(emu.waitForLine("closing " + nodeIp));
    }

    // Packets sent in one go, the payload of the i-th send all 'a' + i;
    // `flash` is the first byte of each packet's place in the node's flash.
    void packetAcknowledgements_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QList<int>>("packets");
        QTest::addColumn<QList<int>>("acks");
        QTest::addColumn<QByteArray>("flash");
        const auto refuse = [](const char *packet, int times) { return QJsonObject{{"refuse-packet", QJsonObject{{packet, times}}}}; };
        const auto stale = [](int every, int back) { return QJsonObject{{"stale-acks", QJsonObject{{"every", every}, {"back", back}}}}; };
        QTest::newRow("packet 5 refused once") << refuse("5", 1) << QList<int>{0, 1, 2, 3, 4, 5, 6, 5}
                                               << QList<int>{0, 1, 2, 3, 4, 4, 6, 5} << QByteArray("abcdehg");
        QTest::newRow("refused and not sent again") << refuse("2", 1) << QList<int>{0, 1, 2, 3} << QList<int>{0, 1, 1, 3}
                                                    << QByteArray("ab\0d", 4);
        QTest::newRow("packet 0 refused twice") << refuse("0", 2) << QList<int>{0, 0, 0} << QList<int>{-1, -1, 0}
                                                << QByteArray("c");
        QTest::newRow("every second repeated") << stale(2, 1) << QList<int>{0, 1, 2, 3} << QList<int>{0, 1, 0, 2, 3, 2}
                                               << QByteArray("abcd");
        QTest::newRow("every fifth, two back") << stale(5, 2) << QList<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}
                                               << QList<int>{0, 1, 2, 3, 4, 2, 5, 6, 7, 8, 9, 7} << QByteArray("abcdefghij");
        QTest::newRow("none before packet 0") << stale(1, 1) << QList<int>{0, 1} << QList<int>{0, 1, 0} << QByteArray("ab");
    }

    void packetAcknowledgements()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(QList<int>, packets);
        QFETCH(QList<int>, acks);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node(faults)}));
        const auto s = connectTo(nodeIp);
        QVERIFY(s);
        for (int i = 0; i < packets.size(); ++i)
            s->write(request(13, packets[i], QByteArray(512, char('a' + i))));
        const QByteArray in = collect(*s, int(acks.size()) * 1024, 200).all();
        QList<int> got;
        for (int at = 0; at + 1024 <= in.size(); at += 1024) {
            QCOMPARE(u32(in, at), 13u);
            got.append(int(u32(in, at + 8)));
        }
        QCOMPARE(got, acks);
        s->write(request(16)); // ReadCrc: the flash is stored before the reply
        QCOMPARE(u32(collect(*s, 1024).all(), 0), 16u);
        const QByteArray flash = emu.storedFlash(nodeIp);
        QByteArray firsts;
        for (int at = 0; at < flash.size(); at += 512)
            firsts += flash.at(at);
        QTEST(firsts, "flash");
    }

    void resetAnsweredWithAnotherWord_data()
    {
        QTest::addColumn<QJsonObject>("reply");
        QTest::newRow("EraseSector") << QJsonObject{{"word", 12}};
        QTest::newRow("ProgramPacket 255") << QJsonObject{{"word", 13}, {"number", 255}};
    }

    void resetAnsweredWithAnotherWord()
    {
        QFETCH(QJsonObject, reply);
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node({{"reset-reply", reply}})}));
        const auto s = connectTo(nodeIp);
        QVERIFY(s);
        s->write(request(11));
        const QByteArray in = collect(*s, 1024).all();
        QCOMPARE(in.size(), 1024);
        QCOMPARE(u32(in, 0), quint32(reply.value("word").toInt()));
        QCOMPARE(u32(in, 8), quint32(reply.value("number").toInt()));
        QVERIFY(emu.waitForLine("reset " + nodeIp + " "));
        s->write(request(7)); // then nothing more on that connection
        QCOMPARE(collect(*s, 1, 300).all().size(), 0);
        QCOMPARE(emu.received(nodeIp), (QStringList{"11", "7"}));
    }

    // After its reset a node is away for restart-ms, then announces the
    // version it received, or its old one with keep-version.
    void restartThenVersion()
    {
        EmulatorProcess emu;
        const QString kept = QStringLiteral("192.0.2.11");
        QVERIFY(emu.startNodes({node({{"restart-ms", 1500}}), node({{"restart-ms", 1500}, {"keep-version", true}}, kept)}));
        QByteArray image(128 * 1024, '\x11');
        image.replace(0x1FFD0, 6, QByteArray("v2.05\0", 6));
        QElapsedTimer sinceReset;
        for (const QString &ip : {nodeIp, kept}) {
            QCOMPARE(discover(ip).mid(216, 6), QByteArray("v1.00\0", 6));
            const auto s = connectTo(ip);
            QVERIFY(s);
            for (int p = 0; p < 256; ++p)
                s->write(request(13, p, image.mid(p * 512, 512)));
            s->write(request(11));
            QCOMPARE(u32(collect(*s, 257 * 1024).all(), 256 * 1024), 11u);
            if (!sinceReset.isValid())
                sinceReset.start();
            QVERIFY(emu.waitForLine("reset " + ip + " v2.05"));
        }
        for (const QString &ip : {nodeIp, kept}) {
            QVERIFY(discover(ip, 300).isEmpty());
            QTcpSocket refused;
            refused.connectToHost(ip, 50000);
            QVERIFY(!refused.waitForConnected(1000));
            QCOMPARE(refused.error(), QAbstractSocket::ConnectionRefusedError);
        }
        QVERIFY(sinceReset.elapsed() < 1500); // the checks above fell within both restarts
        QTRY_VERIFY_WITH_TIMEOUT(!discover(nodeIp, 200).isEmpty(), 3000);
        QCOMPARE(discover(nodeIp).mid(216, 6), QByteArray("v2.05\0", 6));
        QCOMPARE(discover(kept).mid(216, 6), QByteArray("v1.00\0", 6));
        QVERIFY(connectTo(kept));
    }

    // The record discovery reports follows the configuration the node
    // applies; its label passes through byte for byte, control characters
    // and Latin-1 alike. It still answers from its own address.
    void discoveryFollowsConfiguration()
    {
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node({}, nodeIp, QString::fromUtf8("Stage\u0001left\u00e9"))}));
        const QByteArray factory = QByteArray::fromHex("c000020a" "ffffff00" "c00002fe"); // 192.0.2.10/24 via .254
        QByteArray record = discover(nodeIp);
        QCOMPARE(record.left(13), QByteArray("Stage\x01left\xe9\0", 13));
        QCOMPARE(record.mid(270, 12), factory);

        QByteArray set = request(8);
        set.replace(196, 7, QByteArray("Booth\x02\0", 7));
        set.replace(266, 12, QByteArray::fromHex("c0000263" "ffff0000" "c0000201")); // 192.0.2.99/16 via .1
        const auto s = connectTo(nodeIp);
        QVERIFY(s);
        s->write(set);
        QCOMPARE(u32(collect(*s, 1024).all(), 0), 8u);
        record = discover(nodeIp); // asked at 192.0.2.10, answered from there
        QCOMPARE(record.left(7), QByteArray("Booth\x02\0", 7));
        QCOMPARE(record.mid(270, 12), QByteArray::fromHex("c0000263" "ffff0000" "c0000201"));

        s->write(request(9));
        QCOMPARE(u32(collect(*s, 1024).all(), 0), 9u);
        record = discover(nodeIp);
        QCOMPARE(record.left(13), QByteArray("Stage\x01left\xe9\0", 13));
        QCOMPARE(record.mid(270, 12), factory);
    }

    // With "move" a node takes the address its configuration gives it: it
    // answers there, and no longer at the old one. An address the network
    // lacks leaves it where it is. The journal has each step, on disk
    // before the reply that follows from it.
    void movesAndJournals()
    {
        QTemporaryDir dir;
        const QString path = dir.filePath("journal.jsonl");
        EmulatorProcess emu;
        QVERIFY(emu.startNodes({node({{"move", true}, {"no-reply", 7}})}, {"--journal", path}));
        const auto journal = [&path] {
            QFile f(path);
            QList<QJsonObject> lines;
            if (f.open(QIODevice::ReadOnly))
                for (const QByteArray &l : f.readAll().split('\n'))
                    if (!l.isEmpty())
                        lines.append(QJsonDocument::fromJson(l).object());
            return lines;
        };
        const auto setAddress = [](const QByteArray &ip) {
            QByteArray set = request(8);
            set.replace(196, 5, QByteArray("Moved"));
            set.replace(266, 12, QByteArray::fromHex(ip + "ffffff00" "c00002fe"));
            return set;
        };
        auto s = connectTo(nodeIp);
        QVERIFY(s);
        s->write(setAddress("c000023c")); // 192.0.2.60
        QCOMPARE(u32(collect(*s, 1024).all(), 0), 8u);
        QList<QJsonObject> lines = journal(); // read as soon as the reply came
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0).value("event").toString(), QStringLiteral("start"));
        QCOMPARE(lines.at(1).value("event").toString(), QStringLiteral("config"));
        const QJsonObject applied = lines.at(1).value("config").toObject();
        QCOMPARE(applied.value("label").toString(), QStringLiteral("Moved"));
        QCOMPARE(applied.value("ip").toString(), QStringLiteral("192.0.2.60"));
        QCOMPARE(applied.value("ports").toArray().size(), 4);
        QCOMPARE(lines.at(2).value("event").toString(), QStringLiteral("moved"));
        QCOMPARE(lines.at(2).value("to").toString(), QStringLiteral("192.0.2.60"));
        for (const QJsonObject &l : lines) // the node as it started, whatever its address now
            QCOMPARE(l.value("node").toString(), nodeIp);

        QVERIFY(discover(nodeIp, 300).isEmpty());
        QTcpSocket old;
        old.connectToHost(nodeIp, 50000);
        QVERIFY(!old.waitForConnected(1000));
        QCOMPARE(discover("192.0.2.60").mid(120, 4), QByteArray("7710"));
        s = connectTo("192.0.2.60");
        QVERIFY(s);
        s->write(setAddress("c00002c8")); // 192.0.2.200: not in this network
        QCOMPARE(u32(collect(*s, 1024).all(), 0), 8u);
        s->write(request(7)); // left unanswered
        QVERIFY(emu.waitForLine("rx 192.0.2.10 7"));
        lines = journal();
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines.at(3).value("event").toString(), QStringLiteral("config"));
        QCOMPARE(lines.at(4).value("event").toString(), QStringLiteral("stayed"));
        QCOMPARE(lines.at(5).value("event").toString(), QStringLiteral("read"));
        QCOMPARE(lines.at(5).value("config").toObject().value("ip").toString(), QStringLiteral("192.0.2.200"));
        QCOMPARE(lines.at(6).value("event").toString(), QStringLiteral("unanswered"));
        QVERIFY(!discover("192.0.2.60").isEmpty());
    }
};

QTEST_GUILESS_MAIN(Emulator)
#include "tst_emulator.moc"
