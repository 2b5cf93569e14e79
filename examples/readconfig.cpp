// Searches the nodes from one workstation address, reads the configuration
// of the first node that answers and prints it: the engine without a
// window. Run it only on the nodes' network (or a private test network).
//
//   tarvo-example-readconfig ADDRESS
#include "config/configexchange.h"
#include "config/configvalues.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include <QCoreApplication>
#include <QTimer>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WORKSTATION-ADDRESS\n", argv[0]);
        return 2;
    }
    setTraceSink([](const QString &) {}); // the engine's trace lines are not wanted here

    Discovery discovery;
    NodeSession session;
    ConfigExchange config(&session);
    if (!discovery.bind(QHostAddress(QString::fromLocal8Bit(argv[1])))) {
        std::fprintf(stderr, "cannot bind to %s\n", argv[1]);
        return 1;
    }

    // The first node found is the one read.
    QObject::connect(&discovery, &Discovery::nodeFound, &session, [&](int index) {
        if (index == 0)
            session.connectToNode(discovery.addresses().at(0));
    });
    QObject::connect(&session, &NodeSession::connected, &config, &ConfigExchange::requestConfig);
    QObject::connect(&config, &ConfigExchange::configReceived, &app, [&](const QByteArray &record) {
        const QByteArray &node = discovery.records().at(0);
        const ConfigValues values = ConfigValues::fromRecord(record);
        std::printf("%s \"%s\" %s\n", qPrintable(printable(DeviceRecord::serialNumber(node))),
                    qPrintable(printable(values.label)), qPrintable(values.ip));
        for (size_t port = 0; port < values.ports.size(); ++port) {
            const PortValues &p = values.ports[port];
            std::printf("port %zu: universe %u, break %u, mab %u, mbf %u, wait %u, channels %u, %s\n", port + 1,
                        p.field[PortValues::Universe], p.field[PortValues::Break], p.field[PortValues::Mab],
                        p.field[PortValues::Mbf], p.field[PortValues::Wait], p.field[PortValues::Channels],
                        p.mergeMode ? "LTP" : "HTP");
        }
        app.exit(0);
    });
    QObject::connect(&session, &NodeSession::connectionFailed, &app, [&](const QString &reason) {
        std::fprintf(stderr, "connection failed: %s\n", qPrintable(reason));
        app.exit(1);
    });
    QTimer::singleShot(5000, &app, [&] {
        std::fprintf(stderr, "no node answered\n");
        app.exit(1);
    });

    discovery.search();
    return app.exec();
}
