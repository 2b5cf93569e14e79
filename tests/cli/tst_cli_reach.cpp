// tarvo on a private switch (scripts/netns-switch): Left and Right answer
// from 192.0.2.50, each with the MAC address of its own namespace, Far from
// 198.18.9.5/24; each is an emulator in its node's namespace, and the
// workstation holds 192.0.2.1/24 on e0.
#include "clirun.h"
#include "wait.h"

#include <QJsonArray>
#include <csignal>
#include <memory>

namespace {

QString run(const QString &program, const QStringList &args)
{
    QProcess p;
    p.start(program, args);
    p.waitForFinished(10000);
    return QString::fromLocal8Bit(p.readAllStandardOutput()).trimmed();
}

QString ip(const QString &args)
{
    return run("ip", args.split(' '));
}

QString ipIn(const char *node, const QString &args)
{
    return run("nsenter", QStringList{"--net=" + qEnvironmentVariable(node), "ip"} + args.split(' '));
}

// The workstation's addresses on e0, and its permanent neighbour entries:
// what tarvo may change only for the length of an operation.
QString e0()
{
    return ip("-4 -br addr show dev e0").section(QRegularExpression("\\s+"), 2);
}

QString pinned()
{
    return ip("neigh show dev e0 nud permanent");
}

QJsonObject node(const char *serial, const char *label, const char *address, const char *mac,
                 const QJsonObject &faults = {})
{
    QJsonObject f = faults;
    f.insert("move", true); // a node written a new address takes it
    return {{"ip", address}, {"serial", serial}, {"label", label}, {"mac", mac}, {"mask", "255.255.255.0"},
            {"gateway", "0.0.0.0"}, {"faults", f}};
}

const QStringList noRight{"--inh-caps=-net_admin,-net_raw", "--bounding-set=-net_admin,-net_raw", TARVO_CLI,
                          "--interface", "192.0.2.1"};

QJsonObject problem(const QString &json, const QString &kind)
{
    return findIn(parsedJson(json).toObject().value("problems").toArray(), "kind", kind);
}

} // namespace

class CliReachTest : public QObject
{
    Q_OBJECT

    std::unique_ptr<EmulatorProcess> left, right, far;

    static bool startIn(std::unique_ptr<EmulatorProcess> &emu, const char *ns, const QJsonObject &n)
    {
        emu = std::make_unique<EmulatorProcess>();
        qputenv("TARVO_NODES_NETNS", qgetenv(ns));
        return emu->startNodes({n});
    }

    bool startNodes(const QJsonObject &farFaults = {})
    {
        return startIn(left, "TARVO_NETNS_a", node("26490011", "Left", "192.0.2.50", "02:00:00:00:00:0a")) &&
            startIn(right, "TARVO_NETNS_b", node("26490012", "Right", "192.0.2.50", "02:00:00:00:00:0b")) &&
            startIn(far, "TARVO_NETNS_c", node("26490013", "Far", "198.18.9.5", "02:00:00:00:00:0c", farFaults));
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("TARVO_NETNS_a"))
            QSKIP("runs on the private switch of scripts/netns-switch");
    }

    void cleanup()
    {
        left.reset();
        right.reset();
        far.reset();
        // Room for the nodes to move to.
        ipIn("TARVO_NETNS_b", "addr del 192.0.2.120/24 dev e0");
        ipIn("TARVO_NETNS_c", "addr del 192.0.2.121/24 dev e0");
        ip("neigh flush dev e0 nud all");
        QCOMPARE(e0(), QStringLiteral("192.0.2.1/24"));
    }

    // Each of two nodes on one address is read and written as itself, in
    // one run, and the workstation's neighbour entry is as it was before.
    void eachNodeOfASharedAddressAsItself_data()
    {
        QTest::addColumn<QString>("before");
        QTest::newRow("no entry") << QString();
        QTest::newRow("someone's permanent entry") << "neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0a nud permanent dev e0";
    }

    void eachNodeOfASharedAddressAsItself()
    {
        QFETCH(QString, before);
        if (!before.isEmpty())
            ip(before);
        const QString entry = pinned();
        QVERIFY(startNodes());
        QVERIFY(tarvo({"show", "26490011"}).out.contains("Label:        Left"));
        QVERIFY(tarvo({"show", "26490012"}).out.contains("Label:        Right"));
        const CliRun byAddress = tarvo({"show", "192.0.2.50"});
        QVERIFY2(byAddress.code == 1 &&
                     byAddress.err.startsWith("tarvo: 192.0.2.50 is the address of 2 nodes, name one by serial or label: "),
                 qPrintable(byAddress.err));
        // Counted in the order named: port 1 of Left on universe 10, of Right on 11.
        const CliRun set = tarvo({"config", "set", "26490011", "26490012", "--set", "ports[0].universe=10+", "--yes"});
        QVERIFY2(set.code == 0, qPrintable(set.out + set.err));
        QCOMPARE(left->received("192.0.2.50").count("8"), 1);
        QCOMPARE(right->received("192.0.2.50").count("8"), 1);
        QVERIFY(tarvo({"show", "26490011"}).out.contains(QRegularExpression("\n  1 +10 ")));
        QVERIFY(tarvo({"show", "26490012"}).out.contains(QRegularExpression("\n  1 +11 ")));
        QCOMPARE(pinned(), entry);
    }

    // A conflict goes one node at a time; a node of another network is
    // moved into the site's. tarvo check tells how each is reached.
    void movedWhereTheyBelong()
    {
        QVERIFY(startNodes());
        const CliRun before = tarvo({"--json", "check"});
        QCOMPARE(problem(before.out, "address-conflict").value("reach").toObject(),
                 (QJsonObject{{"how", "pin"}, {"now", true}}));
        QCOMPARE(problem(before.out, "unreachable").value("reach").toObject(),
                 (QJsonObject{{"how", "temporary-address"}, {"now", true}}));

        ipIn("TARVO_NETNS_b", "addr add 192.0.2.120/24 dev e0");
        ipIn("TARVO_NETNS_c", "addr add 192.0.2.121/24 dev e0");
        for (const auto &[serial, to] : {std::pair{"26490012", "192.0.2.120"}, std::pair{"26490013", "192.0.2.121"}}) {
            const CliRun moved = tarvo({"config", "set", serial, "--set", QString("network.ip=") + to});
            QVERIFY2(moved.code == 0 && moved.out.contains(QString("now answers at ") + to), qPrintable(moved.out + moved.err));
        }
        QCOMPARE(e0(), QStringLiteral("192.0.2.1/24"));
        const CliRun after = tarvo({"--json", "check"});
        QVERIFY2(problem(after.out, "address-conflict").isEmpty() && problem(after.out, "unreachable").isEmpty(),
                 qPrintable(after.out));
        QCOMPARE(after.code, 0);
    }

    // The address added to reach Far is gone however the run ends; a run
    // killed outright leaves it to the next one.
    void theTemporaryAddressGoesHoweverTheRunEnds_data()
    {
        QTest::addColumn<QJsonObject>("faults");
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QList<int>>("ending");
        QTest::addColumn<int>("code");
        const QStringList slowShow{"--timeout", "6000", "show", "26490013"};
        QTest::newRow("done") << QJsonObject() << QStringList{"show", "26490013"} << QList<int>() << 0;
        QTest::newRow("failed") << QJsonObject{{"no-ack", true}} << QStringList{"config", "set", "26490013", "--set", "label=X"}
                                << QList<int>() << 1;
        // Once: the node in progress finishes; twice: it is aborted.
        QTest::newRow("interrupted") << QJsonObject{{"delay-ms", 2000}} << slowShow << QList<int>{SIGINT} << 0;
        QTest::newRow("terminated twice") << QJsonObject{{"delay-ms", 5000}} << slowShow << QList<int>{SIGTERM, SIGTERM} << 1;
        QTest::newRow("killed") << QJsonObject{{"delay-ms", 5000}} << slowShow << QList<int>{SIGKILL} << -1;
    }

    void theTemporaryAddressGoesHoweverTheRunEnds()
    {
        QFETCH(QJsonObject, faults);
        QFETCH(QStringList, args);
        QFETCH(QList<int>, ending);
        QVERIFY(startNodes(faults));
        QProcess p;
        p.start(TARVO_CLI, QStringList{"--interface", "192.0.2.1"} + args);
        QVERIFY(p.waitForStarted());
        if (!ending.isEmpty()) {
            QVERIFY(waitUntil([] { return e0().contains("198.18.9."); }, 10000));
            for (const int s : ending) {
                ::kill(pid_t(p.processId()), s);
                QTest::qWait(200); // two signals pending at once are one
            }
        }
        // The signals may have ended it already, while the test waited.
        QVERIFY2(p.state() == QProcess::NotRunning || p.waitForFinished(20000), p.readAllStandardError().constData());
        QTEST(p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1, "code");
        if (ending == QList<int>{SIGKILL}) {
            QCOMPARE(e0(), QStringLiteral("192.0.2.1/24 198.18.9.254/24"));
            const CliRun next = tarvo({"search"});
            QVERIFY2(next.err.contains("tarvo: removed what a run that did not end left on e0: 198.18.9.254/24"),
                     qPrintable(next.err));
        }
        QCOMPARE(e0(), QStringLiteral("192.0.2.1/24"));
    }

    // Without the right to change e0, nothing is sent and nothing changes:
    // tarvo says what to run instead, and check says it cannot reach them.
    void withoutTheRightNothingChanges_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("asRoot");
        QTest::addColumn<QString>("byHand");
        QTest::newRow("shared") << QStringList{"config", "set", "26490012", "--set", "label=X"} << "192.0.2.50"
                                << "config set --set label=X 26490012"
                                << "  ip neigh replace 192.0.2.50 lladdr 02:00:00:00:00:0b nud permanent dev e0\n"
                                   "tarvo: and afterwards:\n  ip neigh del 192.0.2.50 dev e0\n";
        QTest::newRow("another network") << QStringList{"show", "26490013"} << "198.18.9.5" << "show 26490013"
                                         << "  ip addr add 198.18.9.254/24 dev e0 label e0:tv\n"
                                            "tarvo: and afterwards:\n  ip addr del 198.18.9.254/24 dev e0\n";
    }

    void withoutTheRightNothingChanges()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, address);
        QFETCH(QString, asRoot);
        QFETCH(QString, byHand);
        QVERIFY(startNodes());
        const CliRun r = runProgram("setpriv", noRight + args);
        QCOMPARE(r.code, 1);
        QVERIFY2((r.out + r.err).contains("and changing e0 needs CAP_NET_ADMIN (root)") &&
                     r.err.contains("and e0 was not changed; to reach it, run as root: sudo tarvo --interface 192.0.2.1 " +
                                    asRoot + "\n") &&
                     r.err.endsWith(byHand),
                 qPrintable(r.out + r.err));
        for (EmulatorProcess *emu : {left.get(), right.get(), far.get()})
            QVERIFY(emu->received(address).isEmpty());
        QCOMPARE(e0(), QStringLiteral("192.0.2.1/24"));
        QCOMPARE(pinned(), QString());

        const CliRun check = runProgram("setpriv", noRight + QStringList{"--json", "check"});
        const QJsonObject p = problem(check.out, address == "192.0.2.50" ? "address-conflict" : "unreachable");
        QCOMPARE(p.value("reach").toObject().value("now"), QJsonValue(false));
        QVERIFY2(p.value("advice").toString().contains("only with the right to change e0"), qPrintable(check.out));
    }
};

QTEST_GUILESS_MAIN(CliReachTest)
#include "tst_cli_reach.moc"
