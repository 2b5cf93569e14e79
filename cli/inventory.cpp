// tarvo's inventory commands: search and show.
#include "cli/commands.h"
#include "cli/config.h"
#include "cli/configfile.h"
#include "cli/output.h"
#include "cli/report.h"
#include "cli/selection.h"
#include "link/trace.h"

#include <QJsonArray>
#include <QJsonObject>
#include <algorithm>

int search(const Request &r)
{
    Fleet fleet(r);
    if (const std::optional<int> code = findNodes(r, fleet, {}, true))
        return *code;
    if (r.json) {
        QJsonObject doc = report::envelope(QStringLiteral("tarvo-inventory"));
        QJsonArray nodes;
        for (const NodeInfo &n : std::as_const(fleet.nodes))
            nodes.append(report::inventoryObject(n));
        doc.insert(QStringLiteral("nodes"), nodes);
        doc.insert(QStringLiteral("replies_lost"), qint64(fleet.found.repliesLost));
        doc.insert(QStringLiteral("list_full"), fleet.found.listFull);
        out::data(out::json(doc));
    } else if (r.csv) {
        out::data(QStringLiteral("serial,label,address,firmware,name,mac,type,shared_serial"));
        for (const NodeInfo &n : std::as_const(fleet.nodes)) {
            QStringList fields = report::inventoryRow(n);
            fields[0] = printable(n.serial);
            fields.append(n.sharedSerial ? QStringLiteral("true") : QStringLiteral("false"));
            for (QString &f : fields)
                f = out::csvField(f);
            out::data(fields.join(QLatin1Char(',')));
        }
    } else {
        QVector<QStringList> rows;
        for (const NodeInfo &n : std::as_const(fleet.nodes))
            rows.append(report::inventoryRow(n));
        for (const QString &l : out::table({"SERIAL", "LABEL", "ADDRESS", "FIRMWARE", "NAME", "MAC", "TYPE"}, rows))
            out::data(l);
    }
    out::note(QStringLiteral("%1 node(s) answered").arg(fleet.nodes.size()));
    if (std::any_of(fleet.nodes.cbegin(), fleet.nodes.cend(), [](const NodeInfo &n) { return n.sharedSerial; }))
        out::message(QStringLiteral("tarvo: * several nodes report this serial; name each of them by its address"));
    return Success;
}

int show(const Request &r)
{
    Fleet fleet(r);
    QByteArray record;
    if (const std::optional<int> code = readNamedNode(r, fleet, &record))
        return *code;
    const NodeInfo &node = fleet.nodes.first();
    const ConfigValues v = ConfigValues::fromRecord(record);
    if (r.json) {
        QJsonObject doc = report::envelope(QStringLiteral("tarvo-node"));
        doc.insert(QStringLiteral("node"), report::inventoryObject(node));
        doc.insert(QStringLiteral("config"), configfile::toJson(v, node.serial));
        out::data(out::json(doc));
        return Success;
    }
    QVector<QStringList> rows;
    for (int p = 0; p < ConfigRecord::PortCount; ++p) {
        QStringList row{QString::number(p + 1)};
        for (const quint32 value : v.ports[size_t(p)].field)
            row.append(QString::number(value));
        row.append(v.ports[size_t(p)].mergeMode == 0 ? QStringLiteral("HTP") : QStringLiteral("LTP"));
        rows.append(row);
    }
    const QStringList portHeader{"PORT", "UNIVERSE", "BREAK", "MAB", "MBF", "WAIT", "CHANNELS", "MERGE"};
    if (r.csv) { // the one table of the node: its ports
        out::tableData(portHeader, rows, true);
        return Success;
    }
    const QStringList names{"Serial", "Label", "Address", "Firmware", "Device name", "MAC", "Type"};
    const QStringList values = report::inventoryRow(node);
    for (int i = 0; i < names.size(); ++i)
        out::data((names.at(i) + QLatin1Char(':')).leftJustified(14) + values.at(i));
    out::data(QStringLiteral("Configuration:"));
    out::data(QStringLiteral("  Label:      ") + printable(v.label));
    out::data(QStringLiteral("  IP address: ") + v.ip);
    out::data(QStringLiteral("  Subnet:     ") + v.mask);
    out::data(QStringLiteral("  Gateway:    ") + v.gateway);
    for (const QString &l : out::table(portHeader, rows))
        out::data(QStringLiteral("  ") + l);
    return Success;
}

