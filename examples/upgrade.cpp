// Upgrades the firmware of one node and checks that it comes back with the
// file's version: the engine's operations without a window. Run it only on
// the nodes' network (or a private test network).
//
//   tarvo-example-upgrade WORKSTATION-ADDRESS NODE-ADDRESS FILE.upg
#include "engine/nodeengine.h"
#include "link/trace.h"

#include <QCoreApplication>
#include <cstdio>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s WORKSTATION-ADDRESS NODE-ADDRESS FILE.upg\n", argv[0]);
        return 2;
    }
    setTraceSink([](const TraceLine &line) {
        if (line.level == TraceLevel::Warning) // lost replies, a full list
            std::fprintf(stderr, "%s\n", qPrintable(line.text));
    });

    // The file is checked before any node hears of it.
    const UpgradeImage image = UpgradeImage::read(QString::fromLocal8Bit(argv[3]));
    if (!image.ok()) {
        std::fprintf(stderr, "%s: not a usable upgrade file (%s)\n", argv[3],
                     image.error.isEmpty() ? "damaged" : qPrintable(image.error));
        return 1;
    }

    NodeEngine engine; // the window's bounds: 20 s for the transfer, 30 s to come back
    if (!engine.bind(QHostAddress(QString::fromLocal8Bit(argv[1])))) {
        std::fprintf(stderr, "cannot bind to %s\n", argv[1]);
        return 1;
    }
    const QHostAddress wanted(QString::fromLocal8Bit(argv[2]));
    Discovery *discovery = engine.discovery();

    // One search; the node that answered from the address named is upgraded.
    QObject::connect(discovery, &Discovery::searchFinished, &app, [&] {
        const auto &found = discovery->nodes();
        const auto node = std::find_if(found.cbegin(), found.cend(), [&](const NodeInfo &n) { return n.address == wanted; });
        if (node == found.cend()) {
            std::fprintf(stderr, "no node answered from %s\n", argv[2]);
            app.exit(1);
            return;
        }
        std::printf("%s: %s -> %s\n", qPrintable(node->displayName()), qPrintable(printable(node->firmware)),
                    qPrintable(printable(image.version)));
        UpgradeOperation *op = engine.upgradeAndVerify(*node, image);
        QObject::connect(op, &NodeOperation::progress, &app, [](qint64 sent, qint64 total) {
            if (sent == total || sent % 64 == 0)
                std::printf("%lld/%lld packets\n", qlonglong(sent), qlonglong(total));
        });
        QObject::connect(op, &NodeOperation::finished, &app, [&app, op](const NodeOperation::Result &r) {
            std::printf("%s: %s (%.2f s)\n", qPrintable(NodeOperation::statusName(r.status)), qPrintable(r.reason),
                        double(r.elapsedMs) / 1000.0);
            op->deleteLater();
            app.exit(r.ok() ? 0 : 1);
        });
    });
    discovery->search(1000);
    return app.exec();
}
