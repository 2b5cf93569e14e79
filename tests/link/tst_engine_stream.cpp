// The framing fuzzed on a real connection: nodes that send whole messages,
// only the fields, or whole configuration records and short firmware
// replies, each on a seeded random schedule of cuts, pauses and joins. A
// configuration round trip and an upgrade must complete with the right
// bytes, whatever the schedule. The peer speaks the protocol from its own
// literal offsets, not the engine's constants.
#include "enginetestmain.h"
#include "firmwarefiles.h"
#include "traces.h"

#include "config/configvalues.h"
#include "engine/nodeengine.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtEndian>
#include <random>

namespace {

enum class Kind { Whole, Short, Mixed };

quint32 u32(const QByteArray &m, int at) { return qFromLittleEndian<quint32>(m.constData() + at); }
void putU32(QByteArray &m, int at, quint32 v) { qToLittleEndian<quint32>(v, m.data() + at); }

// A node on loopback, one per schedule. What it sends is cut, paused and
// joined as its random generator says.
class Peer : public QObject
{
public:
    Peer(Kind kind, quint32 seed) : kind(kind), random(seed)
    {
        config = QByteArray(1024, '\0');
        for (int port = 0; port < 4; ++port) {
            const int block = 84 + 28 * port;
            putU32(config, block + 0, 176);      // BREAK
            putU32(config, block + 4, 12);       // MAB
            putU32(config, block + 16, 512);     // channels
            putU32(config, block + 24, quint32(port)); // universe index
        }
        config.replace(196, 4, "Peer");
        const char network[12] = {char(192), 0, 2, 10, char(255), char(255), char(255), 0, char(192), 0, 2, char(254)};
        config.replace(266, 12, QByteArray(network, 12));
    }

    // Each operation connects anew: what was owed to the last connection
    // goes with it.
    void attach(QTcpSocket *s)
    {
        if (socket)
            socket->disconnect(this);
        socket = s;
        input.clear();
        queue.clear();
        pumping = false;
        ++connection;
        // Pieces leave as written: the pauses are the schedule's alone.
        s->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(s, &QTcpSocket::readyRead, this, &Peer::read);
    }

    QByteArray config, flash;
    QString trouble;

private:
    void read()
    {
        input += socket->readAll();
        while (input.size() >= 1024) {
            const QByteArray request = input.left(1024);
            input.remove(0, 1024);
            answer(request);
        }
    }

    void answer(const QByteArray &request)
    {
        const quint32 word = u32(request, 0);
        QByteArray reply(1024, '\0');
        putU32(reply, 0, word);
        switch (word) {
        case 7:
            reply = config;
            putU32(reply, 0, 7);
            break;
        case 8:
            config.replace(68, 210, request.mid(68, 210));
            reply = config;
            putU32(reply, 0, 8);
            break;
        case 12:
            flash.clear();
            break;
        case 13: {
            const qint64 n = u32(request, 8);
            if (n > 300) {
                trouble = QStringLiteral("packet %1").arg(n);
                return;
            }
            if (flash.size() < (n + 1) * 512)
                flash.resize((n + 1) * 512, '\0');
            flash.replace(n * 512, 512, request.mid(67, 512));
            putU32(reply, 8, quint32(n));
            break;
        }
        case 16: {
            quint32 sum = 0;
            for (int i = 0; i < qMin<int>(flash.size(), 131072 - 4); ++i)
                sum += quint8(flash.at(i));
            putU32(reply, 67, sum);
            break;
        }
        case 11:
            break;
        default:
            trouble = QStringLiteral("request with word %1").arg(word);
            return;
        }
        send(shaped(word, reply));
    }

    // The reply as this kind of node sends it: whole, or its fields and a
    // little more; now and then two in one write, or an unknown message
    // behind a whole one.
    QByteArray shaped(quint32 word, const QByteArray &whole)
    {
        const bool config = word == 7 || word == 8 || word == 9;
        const int fields = config ? 278 : word == 13 ? 12 : word == 16 ? 71 : 4;
        QByteArray one = whole;
        if (kind == Kind::Short || (kind == Kind::Mixed && !config))
            one.truncate(fields + pick(0, 40));
        QByteArray out = one;
        if (word == 13 && chance(0.03))
            out += one; // the same acknowledgement twice: it may bring its packet again
        if (one.size() == 1024 && chance(0.03)) {
            QByteArray unknown(1024, '\0');
            putU32(unknown, 0, 15);
            out += unknown;
        }
        return out;
    }

    // Cut into pieces, some after a pause: around the time a stack holds a
    // small segment back, and now and then up to a second.
    void send(const QByteArray &out)
    {
        QList<int> cuts;
        for (int n = chance(0.3) ? (chance(0.3) ? 2 : 1) : 0; n > 0; --n)
            cuts.append(pick(1, int(out.size()) - 1));
        std::sort(cuts.begin(), cuts.end());
        int from = 0;
        for (const int cut : cuts + QList<int>{int(out.size())}) {
            if (cut <= from)
                continue;
            const int pause = from == 0 ? 0 : chance(0.04) ? pick(100, 300) : chance(0.004) ? pick(300, 1000) : 0;
            queue.append({out.mid(from, cut - from), pause});
            from = cut;
        }
        if (!pumping)
            pump();
    }

    void pump()
    {
        pumping = true;
        while (!queue.isEmpty()) {
            if (queue.first().pauseMs > 0) {
                QTimer::singleShot(std::exchange(queue.first().pauseMs, 0), this, [this, at = connection] {
                    if (at == connection)
                        pump();
                });
                return;
            }
            socket->write(queue.takeFirst().bytes);
            socket->flush();
        }
        pumping = false;
    }

    int pick(int low, int high) { return std::uniform_int_distribution<int>(low, qMax(low, high))(random); }
    bool chance(double p) { return std::bernoulli_distribution(p)(random); }

    struct Piece {
        QByteArray bytes;
        int pauseMs;
    };
    Kind kind;
    std::mt19937 random;
    QTcpSocket *socket = nullptr;
    QByteArray input;
    QList<Piece> queue;
    bool pumping = false;
    int connection = 0;
};

// The address of schedule i: every peer has one of its own on loopback.
QHostAddress addressOf(int i) { return QHostAddress(quint32(0x7f000100 + i)); }

QString kindName(Kind k) { return k == Kind::Whole ? "whole" : k == Kind::Short ? "short" : "mixed"; }

} // namespace

class EngineStream : public QObject
{
    Q_OBJECT

private slots:
    void everyScheduleCompletesWithTheRightBytes()
    {
        enum : int { Schedules = 210 };
        quint32 base = quint32(qEnvironmentVariableIntValue("TARVO_STREAM_SEED"));
        if (!qEnvironmentVariableIsSet("TARVO_STREAM_SEED"))
            base = QRandomGenerator::global()->generate();
        const QString again = QStringLiteral("(again: TARVO_STREAM_SEED=%1 ctest -R tst_engine_stream)").arg(base);

        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < Schedules; ++i)
            peers.push_back(std::make_unique<Peer>(Kind(i % 3), base + quint32(i)));
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::AnyIPv4, 50000));
        connect(&server, &QTcpServer::newConnection, this, [&] {
            while (QTcpSocket *s = server.nextPendingConnection()) {
                const int i = int(s->localAddress().toIPv4Address() - addressOf(0).toIPv4Address());
                if (i >= 0 && i < Schedules)
                    peers[size_t(i)]->attach(s);
            }
        });

        // Declared before the engine: operations it aborts as it goes still
        // report into them.
        QStringList failures;
        int done = 0;
        EngineOptions options;
        options.operation.replyTimeoutMs = options.operation.connectTimeoutMs = 5000; // a pause of a second is part of the game
        options.config.writeTimeoutMs = 5000;
        options.upgrade.guardMs = 120000; // two hundred side by side on two cores
        NodeEngine engine(options);
        const UpgradeImage image = UpgradeImage::check(buildUpgradeFile(fw::rawImage("v2.05")).data);
        QVERIFY(image.ok());
        const auto wanted = [](int i) {
            ConfigValues v;
            v.label = "Stream-" + QByteArray::number(i);
            v.ip = QStringLiteral("192.0.2.10");
            v.mask = QStringLiteral("255.255.255.0");
            v.gateway = QStringLiteral("192.0.2.254");
            for (int port = 0; port < 4; ++port)
                v.ports[size_t(port)].field = {quint32(4 * i % 250 + port + 1), 100, 20, 4, 10 + quint32(i), 24 + quint32(i)};
            return v;
        };

        // TARVO_STREAM_ONLY=i runs schedule i alone, to read its traces.
        const int only = qEnvironmentVariableIsSet("TARVO_STREAM_ONLY") ? qEnvironmentVariableIntValue("TARVO_STREAM_ONLY") : -1;
        if (only >= 0)
            done = Schedules - 1;
        for (int i = 0; i < Schedules; ++i) {
            if (only >= 0 && i != only)
                continue;
            NodeInfo node;
            node.serial = QByteArray::number(9000 + i);
            node.address = addressOf(i);
            const QString name = QStringLiteral("schedule %1 (%2 node, seed %3)").arg(i).arg(kindName(Kind(i % 3))).arg(base + quint32(i));
            const auto fail = [&failures, &done, name](const QString &what) {
                failures.append(name + ": " + what);
                ++done;
            };
            WriteConfigOperation *write = engine.writeConfig(node, [wanted, i](const QByteArray &, QByteArray *record) {
                return configcheck::buildSetConfig(wanted(i), record).refused() ? QStringLiteral("refused") : QString();
            });
            connect(write, &NodeOperation::finished, this, [&, node, i, fail](const NodeOperation::Result &w) {
                if (!w.ok())
                    return fail("write: " + w.reason);
                ReadConfigOperation *read = engine.readConfig(node);
                connect(read, &NodeOperation::finished, this, [&, node, i, fail](const NodeOperation::Result &r) {
                    if (!r.ok())
                        return fail("read: " + r.reason);
                    if (!ConfigValues::fromRecord(r.record).sameAs(wanted(i)))
                        return fail("read back other values");
                    UpgradeOperation *up = engine.upgrade(node, image);
                    connect(up, &NodeOperation::finished, this, [&, i, fail](const NodeOperation::Result &u) {
                        if (!u.ok())
                            return fail("upgrade: " + u.reason);
                        if (peers[size_t(i)]->flash.left(image.image.size()) != image.image)
                            return fail("the node holds other firmware bytes");
                        ++done;
                    });
                });
            });
        }
        if (!QTest::qWaitFor([&] { return done == Schedules; }, 120000)) {
            for (NodeOperation *op : engine.findChildren<NodeOperation *>())
                if (!op->isFinished())
                    failures.append(QStringLiteral("%1: still awaiting %2; %3")
                                        .arg(QString::fromLatin1(op->node().serial), op->awaiting(), op->progressText()));
            QFAIL(qPrintable(failures.mid(0, 10).join('\n') + '\n' + again));
        }
        for (const auto &p : peers)
            if (!p->trouble.isEmpty())
                failures.append(p->trouble);
        QVERIFY2(failures.isEmpty(), qPrintable(failures.mid(0, 10).join('\n') + '\n' + again));
    }
};

TARVO_ENGINE_TEST_MAIN(EngineStream)
#include "tst_engine_stream.moc"
