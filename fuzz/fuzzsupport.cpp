#include "fuzzsupport.h"

#include "link/devicerecord.h"
#include "operator.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QHostAddress>
#include <QListWidget>
#include <QNetworkInterface>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz {

namespace {

// The harnesses bind, send and search: only ever inside netns-run's
// namespaces, whose addresses are all test addresses.
void requirePrivateNetwork()
{
    const QHostAddress documentation(QStringLiteral("192.0.2.0"));
    const QHostAddress benchmarking(QStringLiteral("198.18.0.0"));
    bool ok = qEnvironmentVariableIsSet("TARVO_NODES_NETNS");
    for (const QHostAddress &a : QNetworkInterface::allAddresses())
        if (a.protocol() == QAbstractSocket::IPv4Protocol && !a.isLoopback() && !a.isInSubnet(documentation, 24) &&
            !a.isInSubnet(benchmarking, 15))
            ok = false;
    if (!ok) {
        std::fprintf(stderr, "fuzz harness: run it through scripts/netns-run (scripts/fuzz does)\n");
        std::exit(2);
    }
}

// The window's traces and Qt's warnings about writes to a closed socket
// would drown the fuzzer's own output.
void quiet(QtMsgType type, const QMessageLogContext &, const QString &msg)
{
    if (type == QtFatalMsg || type == QtCriticalMsg)
        std::fprintf(stderr, "%s\n", qPrintable(msg));
}

struct Harness {
    Harness()
    {
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QApplication::setAttribute(Qt::AA_DontUseNativeDialogs);
        app = new QApplication(argc, argv);
        qInstallMessageHandler(quiet);
        requirePrivateNetwork();
        ScriptedOperator::instance().install();
        const QString address =
            qEnvironmentVariable("TARVO_WS_ADDRS").split(QLatin1Char(','), Qt::SkipEmptyParts).value(0);
        ScriptedOperator::instance().chooseItem(address);
        w = new MainWindow;
        w->show();
        probe = new MainWindowProbe(*w);
    }

    int argc = 1;
    char name[8] = "fuzzer";
    char *argv[2] = {name, nullptr};
    QApplication *app = nullptr;
    MainWindow *w = nullptr;
    MainWindowProbe *probe = nullptr;
    QTemporaryDir scratch;
};

Harness &harness()
{
    static Harness *h = new Harness; // lives until the process ends
    return *h;
}

} // namespace

MainWindowProbe &window() { return *harness().probe; }

void resetWindow()
{
    MainWindowProbe &p = window();
    p.operationTimer().stop();
    delete p.statusBox();
    p.statusBox() = nullptr;
    p.upgradeState() = Idle;
    p.upgradeFile().close();
    p.upgradeFileName().clear();
    p.firmwareImage().clear();
    p.packetNumber() = 0;
    p.devices().clear();
    p.deviceAddresses().clear();
    p.list()->clear();
    p.lastConfigMessage().clear();
    std::memset(p.connectedSerialRaw(), 0, 16);
    p.selectedDeviceIndex() = -1;
    ScriptedOperator::instance().reset();
}

void listNode(const QByteArray &serialField, const QByteArray &version)
{
    MainWindowProbe &p = window();
    QByteArray record(DeviceRecord::Size, '\0');
    wire::putText(record, DeviceRecord::LabelOffset, DeviceRecord::LabelSize, "Node");
    wire::putU32(record, DeviceRecord::CommandOffset, DiscoveryReply);
    wire::putU32(record, DeviceRecord::TypeOffset, DeviceRecord::DeviceTypeApplication);
    std::memcpy(record.data() + DeviceRecord::SerialOffset, serialField.constData(),
                size_t(qMin<qsizetype>(serialField.size(), DeviceRecord::SerialSize)));
    wire::putText(record, DeviceRecord::VersionOffset, DeviceRecord::VersionSize, version);
    p.devices().append(record);
    p.deviceAddresses().append(QHostAddress(QStringLiteral("192.0.2.10")));
    new QListWidgetItem(QStringLiteral("Node"), p.list());
    p.list()->setCurrentRow(int(p.devices().size()) - 1);
    p.selectedDeviceIndex() = int(p.devices().size()) - 1;
}

QString scratchFile(const QString &name, const QByteArray &contents)
{
    const QString path = QDir(harness().scratch.path()).filePath(name);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(contents) != contents.size())
        violated("cannot write a scratch file");
    return path;
}

void violated(const char *what)
{
    std::fprintf(stderr, "invariant violated: %s\n", what);
    std::abort();
}

quint8 Input::byte()
{
    if (!left)
        return 0;
    --left;
    return *data++;
}

quint16 Input::u16()
{
    const quint16 low = byte();
    return quint16(low | (byte() << 8));
}

QByteArray Input::take(size_t n)
{
    n = qMin(n, left);
    QByteArray out(reinterpret_cast<const char *>(data), qsizetype(n));
    data += n;
    left -= n;
    return out;
}

QByteArray Input::chunk(size_t max)
{
    return take(u16() % (max + 1));
}

} // namespace fuzz
