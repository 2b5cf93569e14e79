// Searches the nodes from one workstation address, reads the configuration
// of the first node that answers and prints it: the engine without a
// window. Run it only on the nodes' network (or a private test network).
//
//   tarvo-example-readconfig ADDRESS
#include "config/configvalues.h"
#include "engine/nodeengine.h"
#include "link/trace.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s WORKSTATION-ADDRESS\n", argv[0]);
        return 2;
    }
    setTraceSink([](const TraceLine &) {}); // the engine's trace lines are not wanted here

    NodeEngine engine;
    if (!engine.bind(QHostAddress(QString::fromLocal8Bit(argv[1])))) {
        std::fprintf(stderr, "cannot bind to %s\n", argv[1]);
        return 1;
    }
    Discovery *discovery = engine.discovery();

    // The first node found is the one read.
    QObject::connect(discovery, &Discovery::nodeFound, &app, [&](int index) {
        if (index != 0)
            return;
        const NodeInfo node = discovery->nodes().at(0);
        ReadConfigOperation *read = engine.readConfig(node);
        QObject::connect(read, &NodeOperation::finished, &app, [&app, node](const NodeOperation::Result &r) {
            if (!r.ok()) {
                std::fprintf(stderr, "%s: %s\n", qPrintable(node.displayName()), qPrintable(r.reason));
                app.exit(1);
                return;
            }
            const ConfigValues values = ConfigValues::fromRecord(r.record);
            std::printf("%s \"%s\" %s\n", qPrintable(printable(node.serial)), qPrintable(printable(values.label)),
                        qPrintable(values.ip));
            for (size_t port = 0; port < values.ports.size(); ++port) {
                const PortValues &p = values.ports[port];
                std::printf("port %zu: universe %u, break %u, mab %u, mbf %u, wait %u, channels %u, %s\n", port + 1,
                            p.field[PortValues::Universe], p.field[PortValues::Break], p.field[PortValues::Mab],
                            p.field[PortValues::Mbf], p.field[PortValues::Wait], p.field[PortValues::Channels],
                            p.mergeMode ? "LTP" : "HTP");
            }
            app.exit(0);
        });
    });
    QObject::connect(discovery, &Discovery::searchFinished, &app, [&] {
        if (discovery->count() == 0) {
            std::fprintf(stderr, "no node answered\n");
            app.exit(1);
        }
    });
    discovery->search(5000);
    return app.exec();
}
