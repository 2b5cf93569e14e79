// Instructions the tool's own code executes per unit of work, counted by
// callgrind (repeatable on a shared machine, where timings are not), each
// next to a baseline that does the same work in the same run:
//
//   engine  per upgrade round (an acknowledgement read, framed and handled,
//           the next ProgramPacket built and written) through NodeEngine's
//           UpgradeOperation as tarvo runs it, against the raw client
//           (rawclient.cpp); per discovery reply handled by the engine's
//           Discovery (its reader thread, queue and judging), against a
//           plain socket that receives the same replies and parses each
//           record into a struct.
//   window  per node listed in the window: the reply judged, its list
//           entry, the list laid out and painted; against a bare
//           QListWidget with the list's settings, given the same labels.
//
// The nodes are tarvo-emulator, a process of its own that valgrind does not
// follow: none of its instructions count. Only the stretches between the
// marks count (run with --instr-atstart=no); each is dumped under its name,
// and a line "STRETCH name units unit" says what it holds.
//
//   netns-run --ws 198.18.0.1,198.18.0.2 --nodes 198.18.0.10 256 --prefix 15 --
//     valgrind --tool=callgrind --instr-atstart=no bench_instructions engine|window [--count N]
//
// scripts/check-instructions runs both that way and compares the figures
// with bench/instructions.txt. Not under valgrind, `engine --time R` times R
// upgrades' rounds and R judgings on this processor instead (the thread's
// processor time per unit), which turns the instructions into time
// (docs/PERFORMANCE.md).

#include "benchsupport.h"
#include "rawclient.h"

#include "engine/nodeengine.h"
#include "firmware/image.h"
#include "firmware/upgradefile.h"
#include "link/devicerecord.h"
#include "link/trace.h"
#include "operator.h"
#include <QMetaMethod> // probe.h uses it without including it
#include "probe.h"

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QScrollBar>
#include <QTimer>

#include <arpa/inet.h>
#include <cstring>
#include <gnu/libc-version.h>
#include <memory>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#define TARVO_CALLGRIND 1
#else
#define TARVO_CALLGRIND 0
#endif

namespace {

// Rounds counted: from packet 0 written to packet 255 written, each an
// acknowledgement handled and the next packet sent.
constexpr int FirstPacket = 0;
constexpr int LastPacket = 255;
constexpr int Rounds = LastPacket - FirstPacket;

bool underValgrind()
{
#if TARVO_CALLGRIND
    return RUNNING_ON_VALGRIND;
#else
    return false;
#endif
}

// A stretch of work counted alone. Under callgrind its instructions are
// dumped under its name; natively the thread's processor time is added up.
class Stretch
{
public:
    Stretch(const char *name, int units, const char *unit) : name(name), units(units), unit(unit) {}

    void begin()
    {
        from = threadNs();
#if TARVO_CALLGRIND
        CALLGRIND_START_INSTRUMENTATION;
        CALLGRIND_ZERO_STATS;
#endif
    }

    void end()
    {
#if TARVO_CALLGRIND
        CALLGRIND_DUMP_STATS_AT(name);
        CALLGRIND_STOP_INSTRUMENTATION;
#endif
        cpuUs.append((threadNs() - from) / 1e3 / units);
        ++ended;
    }

    // What a dump holds, for the script that reads the dumps.
    void describe() const
    {
        if (ended != 1)
            bench::fail(QStringLiteral("%1 ended %2 times").arg(QLatin1String(name)).arg(ended));
        std::printf("STRETCH %s %d %s\n", name, units, unit);
        std::fflush(stdout);
    }

    // Natively: the thread's processor time per unit, user and system
    // together (the kernel splits the two by sampling its ticks, which
    // says little of rounds of a few microseconds).
    void reportTimes() const
    {
        const QString key = QStringLiteral("instructions.time.%1").arg(QLatin1String(name));
        const bench::Stats t = bench::Stats::of(cpuUs);
        bench::result(key + QStringLiteral(".cpu_us.median"), t.median, QStringLiteral("us"));
        bench::result(key + QStringLiteral(".cpu_us.min"), t.min, QStringLiteral("us"));
    }

private:
    static double threadNs()
    {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return double(ts.tv_sec) * 1e9 + double(ts.tv_nsec);
    }

    const char *name;
    int units;
    const char *unit;
    double from = 0;
    QVector<double> cpuUs;
    int ended = 0;
};

// Runs the event loop until quit() or the bound (a failure).
void runLoop(QEventLoop &loop, int timeoutMs, const QString &what)
{
    bool late = false;
    QTimer::singleShot(timeoutMs, &loop, [&] {
        late = true;
        loop.quit();
    });
    loop.exec();
    if (late)
        bench::fail(QStringLiteral("%1 did not end within %2 ms").arg(what).arg(timeoutMs));
}

// A node's reply as the reader hands it over.
struct Reply {
    QByteArray record;
    QHostAddress sender;
};

// ---- engine -----------------------------------------------------------

// A node's record as the baseline keeps it.
struct RawNode {
    char label[DeviceRecord::LabelSize + 1];
    char serial[DeviceRecord::SerialSize + 1];
    char name[DeviceRecord::NameSize + 1];
    char version[DeviceRecord::VersionSize + 1];
    unsigned char mac[DeviceRecord::MacSize];
    quint32 type, ip, mask, gateway;
    in_addr sender;
};

void copyText(char *to, const char *from, int size)
{
    const size_t n = ::strnlen(from, size_t(size));
    std::memcpy(to, from, n);
    to[n] = '\0';
}

// The baseline of a discovery: a plain socket on the second workstation
// address sends the request and receives `count` replies, blocking, each
// checked as the tool checks it and parsed into a RawNode. `replies`, when
// given, keeps the datagrams as they came.
void rawDiscovery(const QString &address, int count, Stretch *stretch, std::vector<Reply> *replies = nullptr)
{
    const int fd = bench::discoverySocket(address, Discovery::ReceiveBufferBytes, true);
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char request[DeviceRecord::Size] = {};
    qToLittleEndian<quint32>(DiscoveryRequest, request + DeviceRecord::CommandOffset);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DiscoveryPort);
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    std::vector<RawNode> nodes;
    nodes.reserve(size_t(count));
    char datagram[2048];

    if (stretch)
        stretch->begin();
    ::sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
    while (int(nodes.size()) < count) {
        sockaddr_in from{};
        socklen_t fromSize = sizeof from;
        const ssize_t n = ::recvfrom(fd, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr *>(&from), &fromSize);
        if (n < 0)
            bench::fail(QStringLiteral("raw receiver: %1 of %2 replies").arg(nodes.size()).arg(count));
        const auto u32 = [&datagram](int at) { return qFromLittleEndian<quint32>(datagram + at); };
        const quint32 type = u32(DeviceRecord::TypeOffset);
        if (n < DeviceRecord::UsedSize || u32(DeviceRecord::CommandOffset) != DiscoveryReply ||
            qFromLittleEndian<quint16>(datagram + DeviceRecord::StatusOffset) != 0 ||
            (type != DeviceRecord::DeviceTypeApplication && type != DeviceRecord::DeviceTypeBootLoader))
            continue;
        RawNode node;
        copyText(node.label, datagram + DeviceRecord::LabelOffset, DeviceRecord::LabelSize);
        copyText(node.serial, datagram + DeviceRecord::SerialOffset, DeviceRecord::SerialSize);
        copyText(node.name, datagram + DeviceRecord::NameOffset, DeviceRecord::NameSize);
        copyText(node.version, datagram + DeviceRecord::VersionOffset, DeviceRecord::VersionSize);
        std::memcpy(node.mac, datagram + DeviceRecord::MacOffset, DeviceRecord::MacSize);
        node.type = type;
        node.ip = u32(DeviceRecord::IpOffset);
        node.mask = u32(DeviceRecord::MaskOffset);
        node.gateway = u32(DeviceRecord::GatewayOffset);
        node.sender = from.sin_addr;
        nodes.push_back(node);
        if (replies)
            replies->push_back({QByteArray(datagram, int(n)), QHostAddress(ntohl(from.sin_addr.s_addr))});
    }
    if (stretch)
        stretch->end();
    ::close(fd);
}

// One search by the engine's discovery, until every node is kept.
void toolDiscovery(Discovery *discovery, int count, Stretch *stretch)
{
    QEventLoop loop;
    int found = 0;
    const QMetaObject::Connection counting = QObject::connect(discovery, &Discovery::nodeFound, [&](int) {
        if (++found < count)
            return;
        if (stretch)
            stretch->end();
        loop.quit();
    });
    if (stretch)
        stretch->begin();
    discovery->search();
    runLoop(loop, 60000, QStringLiteral("the search"));
    QObject::disconnect(counting);
}

// One upgrade by the engine, as tarvo starts it; the rounds from packet 0
// to packet 255 counted.
void toolUpgrade(NodeEngine &engine, const NodeInfo &node, const UpgradeImage &image, Stretch *stretch)
{
    QEventLoop loop;
    UpgradeOperation *op = engine.upgrade(node, image);
    QObject::connect(op, &NodeOperation::progress, [stretch](qint64 sent, qint64) {
        if (stretch && sent == FirstPacket + 1)
            stretch->begin();
        else if (stretch && sent == LastPacket + 1)
            stretch->end();
    });
    NodeOperation::Result result;
    QObject::connect(op, &NodeOperation::finished, [&](const NodeOperation::Result &r) {
        result = r;
        loop.quit();
    });
    runLoop(loop, 60000, QStringLiteral("the upgrade"));
    if (!result.ok())
        bench::fail(QStringLiteral("the upgrade ended %1: %2").arg(NodeOperation::statusName(result.status), result.reason));
    delete op;
}

// The judging alone: the replies handed to a discovery of its own, no
// socket, no event loop. Natively timed, it tells what an instruction of
// the engine's code costs on this processor.
void judgeReplies(Discovery &judge, const std::vector<Reply> &replies, Stretch *stretch)
{
    judge.clear();
    if (stretch)
        stretch->begin();
    for (const Reply &r : replies)
        judge.takeDatagram(r.record, r.sender, DiscoveryPort);
    if (stretch)
        stretch->end();
    if (judge.count() != int(replies.size()))
        bench::fail(QStringLiteral("%1 of %2 replies kept").arg(judge.count()).arg(replies.size()));
}

void rawUpgrade(RawClient &raw, const QByteArray &decoded, Stretch *stretch)
{
    RawClient::Marks marks;
    if (stretch) {
        marks.first = FirstPacket;
        marks.last = LastPacket;
        marks.atFirst = [stretch] { stretch->begin(); };
        marks.atLast = [stretch] { stretch->end(); };
    }
    if (!raw.exchange(decoded, marks).ok)
        bench::fail(QStringLiteral("the raw client's exchange did not complete"));
}

int engineMain(int argc, char *argv[])
{
    // Qt's own event dispatcher, as tarvo chooses it.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
        qputenv("QT_NO_GLIB", "1");
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int count = bench::intArg(args, QStringLiteral("--count"), 256);
    const int timeRuns = bench::intArg(args, QStringLiteral("--time"), 0);
    const QString first = bench::stringArg(args, QStringLiteral("--first-ip"), QStringLiteral("198.18.0.10"));
    bench::requirePrivateNetwork();
    if (timeRuns > 0 && underValgrind())
        bench::fail(QStringLiteral("--time measures this processor: run it without valgrind"));
    // What the counts depend on besides this code.
    std::printf("SETTING qt %s\nSETTING libc %s\nSETTING marks %s\n", qVersion(), gnu_get_libc_version(),
                TARVO_CALLGRIND ? "callgrind" : "none");
    const QString toolAddress = bench::workstationAddress(0);
    const QString rawAddress = bench::workstationAddress(1);
    if (rawAddress.isEmpty())
        bench::fail(QStringLiteral("needs two workstation addresses (--ws A,B)"));
    // As tarvo without --verbose: the lines are made, only warnings shown.
    setTraceSink([](const TraceLine &line) {
        if (line.level == TraceLevel::Warning)
            std::fprintf(stderr, "%s\n", qPrintable(line.text));
    });

    // The node closes the connection at ResetDevice, as one that restarts at
    // once: the upgrade ends there, and the next can follow.
    // Gone before the program ends without its destructors: its folder too.
    auto emu = std::make_unique<bench::Emulator>();
    if (!emu->start({QStringLiteral("--count"), QString::number(count), QStringLiteral("--first-ip"), first,
                     QStringLiteral("--first-serial"), QStringLiteral("0"), QStringLiteral("--fault"),
                     QStringLiteral("restart-silently=true")}))
        bench::fail(QStringLiteral("emulator did not start"));

    const UpgradeFile file = buildUpgradeFile(bench::firmwareImage());
    const UpgradeImage image = UpgradeImage::check(file.data);
    if (file.result != UpgradeFile::Ok || !image.ok())
        bench::fail(QStringLiteral("cannot build the upgrade file"));
    QByteArray decoded = file.data;
    decodeImage(bytes(decoded), decoded.size());

    Stretch discoveryTool("discovery.tool", count, "reply");
    Stretch discoveryJudge("discovery.judge", count, "reply");
    Stretch discoveryRaw("discovery.raw", count, "reply");
    Stretch upgradeTool("upgrade.tool", Rounds, "round");
    Stretch upgradeRaw("upgrade.raw", Rounds, "round");

    // Each stretch runs once unmeasured first: what a first use sets up (a
    // library's first call, a buffer's first growth) is not a reply's or a
    // round's cost. What runs on this thread alone comes first, while the
    // heap is the same every run: the plain receiver's search (its replies
    // kept for the judging), the judging, the upgrades.
    std::vector<Reply> replies;
    rawDiscovery(rawAddress, count, nullptr, &replies);
    if (timeRuns == 0)
        rawDiscovery(rawAddress, count, &discoveryRaw);
    // Each address kept, as the engine's own discovery keeps them.
    Discovery judge(nullptr, Wiring::Internal, DiscoveryOptions{DiscoveryOptions::Keep::EachAddress});
    judgeReplies(judge, replies, nullptr);
    for (int i = 0; i < qMax(1, timeRuns); ++i)
        judgeReplies(judge, replies, &discoveryJudge);

    NodeInfo node;
    for (const Reply &r : replies)
        if (r.sender == QHostAddress(first))
            node = NodeInfo::fromRecord(r.record.left(DeviceRecord::Size), r.sender);
    if (!node.isValid())
        bench::fail(QStringLiteral("no node answered from %1").arg(first));
    {
        // No discovery socket: whether Qt's notifier of that socket is on
        // depends on which of two threads saw a datagram first, and it
        // would add to every turn of the loop.
        NodeEngine engine;
        RawClient raw;
        toolUpgrade(engine, node, image, nullptr);
        bench::settle(50);
        if (!raw.connectTo(qPrintable(first), DevicePort))
            bench::fail(QStringLiteral("raw client cannot connect"));
        rawUpgrade(raw, decoded, nullptr);
        for (int i = 0; i < qMax(1, timeRuns); ++i) {
            toolUpgrade(engine, node, image, &upgradeTool);
            bench::settle(50);
            rawUpgrade(raw, decoded, &upgradeRaw);
        }
    }

    // Last the engine's own search, with its reader thread.
    if (timeRuns == 0) {
        NodeEngine finder;
        QString error;
        if (!finder.bind(QHostAddress(toolAddress), &error))
            bench::fail(QStringLiteral("cannot bind %1: %2").arg(toolAddress, error));
        toolDiscovery(finder.discovery(), count, nullptr);
        bench::settle(300);
        toolDiscovery(finder.discovery(), count, &discoveryTool);
    }

    if (timeRuns == 0) {
        for (const Stretch *s : {&discoveryTool, &discoveryJudge, &discoveryRaw, &upgradeTool, &upgradeRaw})
            s->describe();
    } else {
        bench::note(QStringLiteral("instructions: %1 upgrades timed, each %2 rounds, tool and raw client alternating; the judging of the replies as often")
                        .arg(timeRuns)
                        .arg(Rounds));
        discoveryJudge.reportTimes();
        upgradeTool.reportTimes();
        upgradeRaw.reportTimes();
    }
    emu.reset();
    std::fflush(stdout);
    std::_Exit(0);
}

// ---- window -----------------------------------------------------------

// Turns of the event loop until `done` holds, and two more so that what it
// posted (a repaint) is through. A fixed sequence: no timer that waits for
// the clock is involved.
void turnUntil(const std::function<bool()> &done, const QString &what)
{
    for (int turns = 0; !done(); ++turns) {
        if (turns > 100000)
            bench::fail(QStringLiteral("%1 did not happen").arg(what));
        QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
}

bool laidOut(const QListWidget *list, int count)
{
    const QScrollBar *bar = list->verticalScrollBar();
    return list->count() == count && bar->maximum() + bar->pageStep() >= count;
}

// The replies as the reader hands them over: a slice, a turn of the event
// loop, the next slice.
void feedWindow(MainWindowProbe &p, const std::vector<Reply> &replies, Stretch *stretch)
{
    p.invoke("searchForDevices"); // empties the list; no node is left to answer
    turnUntil([&p] { return p.list()->count() == 0; }, QStringLiteral("the list's clearing"));
    if (stretch)
        stretch->begin();
    for (size_t i = 0; i < replies.size(); ++i) {
        p.discovery().takeDatagram(replies[i].record, replies[i].sender, DiscoveryPort);
        if ((i + 1) % Discovery::SliceDatagrams == 0)
            QCoreApplication::processEvents();
    }
    const int count = int(replies.size());
    turnUntil([&p, count] { return laidOut(p.list(), count); }, QStringLiteral("the window's list"));
    if (stretch)
        stretch->end();
}

void feedBare(QListWidget &bare, const std::vector<Reply> &replies, Stretch *stretch)
{
    bare.clear();
    turnUntil([&bare] { return bare.count() == 0; }, QStringLiteral("the bare list's clearing"));
    if (stretch)
        stretch->begin();
    for (size_t i = 0; i < replies.size(); ++i) {
        bare.addItem(QString::fromLatin1(DeviceRecord::deviceLabel(replies[i].record)));
        if ((i + 1) % Discovery::SliceDatagrams == 0)
            QCoreApplication::processEvents();
    }
    const int count = int(replies.size());
    turnUntil([&bare, count] { return laidOut(&bare, count); }, QStringLiteral("the bare list"));
    if (stretch)
        stretch->end();
}

int windowMain(int argc, char *argv[])
{
    bench::prepareWindowApp();
    QApplication app(argc, argv);
    // No blinking text cursor: its timer would repaint by the clock.
    QApplication::setCursorFlashTime(0);
    const QStringList args = app.arguments();
    const int count = bench::intArg(args, QStringLiteral("--count"), 256);
    const QString first = bench::stringArg(args, QStringLiteral("--first-ip"), QStringLiteral("198.18.0.10"));
    bench::requirePrivateNetwork();
    ScriptedOperator::instance().install();

    auto emu = std::make_unique<bench::Emulator>();
    if (!emu->start({QStringLiteral("--count"), QString::number(count), QStringLiteral("--first-ip"), first,
                     QStringLiteral("--first-serial"), QStringLiteral("0")}))
        bench::fail(QStringLiteral("emulator did not start"));

    ScriptedOperator::instance().chooseItem(bench::workstationAddress());
    MainWindow window;
    window.show();
    // The operator's filter would see every event of the measured stretch.
    app.removeEventFilter(&ScriptedOperator::instance());
    MainWindowProbe p(window);
    bench::settle(200);

    // A real search first, which also brings the replies the nodes send.
    p.invoke("searchForDevices");
    if (!bench::waitUntil([&p, count] { return laidOut(p.list(), count); }, 60000))
        bench::fail(QStringLiteral("%1 of %2 nodes listed").arg(p.list()->count()).arg(count));
    bench::settle(300);
    std::vector<Reply> replies;
    for (const NodeInfo &n : p.discovery().nodes())
        replies.push_back({n.record, n.address});
    emu.reset(); // and with it every node: nothing answers the window's next search

    // The bare list: the window's list's settings, size and font, a window
    // of its own.
    QListWidget bare;
    const QListWidget *list = p.list();
    bare.setUniformItemSizes(list->uniformItemSizes());
    bare.setLayoutMode(list->layoutMode());
    bare.setBatchSize(list->batchSize());
    bare.setVerticalScrollBarPolicy(list->verticalScrollBarPolicy());
    bare.setFont(list->font());
    bare.resize(list->size());
    bare.show();
    bench::settle(200);

    Stretch listTool("list.tool", count, "node");
    Stretch listBare("list.bare", count, "node");
    feedWindow(p, replies, nullptr);
    feedWindow(p, replies, &listTool);
    feedBare(bare, replies, nullptr);
    feedBare(bare, replies, &listBare);
    listTool.describe();
    listBare.describe();
    std::fflush(stdout);
    std::_Exit(0);
}

// The upgrade file of the engine part, for runs of tarvo by hand
// (docs/PERFORMANCE.md).
int writeUpgrade(const char *path)
{
    const UpgradeFile file = buildUpgradeFile(bench::firmwareImage());
    QFile f(QString::fromLocal8Bit(path));
    if (file.result != UpgradeFile::Ok || !f.open(QIODevice::WriteOnly) || f.write(file.data) != file.data.size())
        return 1;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    const QByteArray part = argc > 1 ? QByteArray(argv[1]) : QByteArray();
    if (part == "--write-upgrade" && argc == 3)
        return writeUpgrade(argv[2]);
    if (part == "engine")
        return engineMain(argc, argv);
    if (part == "window")
        return windowMain(argc, argv);
    std::fprintf(stderr, "usage: %s engine|window [--count N] [--time R] | --write-upgrade FILE\n", argv[0]);
    return 2;
}
