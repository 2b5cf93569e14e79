#include "cli/report.h"

#include "cli/commands.h"
#include "cli/selection.h"
#include "cli/output.h"
#include "link/trace.h"

#include <QJsonArray>
#include <algorithm>

namespace report {

namespace {

// The results, in the tally's order.
const Result tallied[] = {Result::Done,   Result::Verified, Result::Skipped,    Result::NotVerified,
                          Result::Failed, Result::Missing,  Result::Interrupted};

QString address(const NodeInfo &n)
{
    return n.address.isNull() ? QString() : n.address.toString();
}

QString shownNode(const NodeInfo &n)
{
    return n.isValid() || !n.address.isNull() ? nodeWhere(n) : nodeName(n);
}

QString shownValue(const QJsonValue &v)
{
    return v.isString() ? out::jsonString(v.toString()) : QString::number(v.toDouble());
}

QJsonArray changesJson(const QVector<configfile::Change> &changes)
{
    QJsonArray list;
    for (const configfile::Change &c : changes)
        list.append(QJsonObject{{QStringLiteral("field"), c.field}, {QStringLiteral("from"), c.from}, {QStringLiteral("to"), c.to}});
    return list;
}

int howMany(const QVector<Row> &rows, Result result)
{
    return int(std::count_if(rows.cbegin(), rows.cend(), [result](const Row &r) { return r.outcome.result == result; }));
}

} // namespace

QJsonObject envelope(const QString &format)
{
    return {{QStringLiteral("format"), format}, {QStringLiteral("version"), int(JsonVersion)}};
}

QJsonObject identity(const NodeInfo &n)
{
    return {{QStringLiteral("serial"), QString::fromLatin1(n.serial)},
            {QStringLiteral("label"), QString::fromLatin1(n.label)},
            {QStringLiteral("address"), address(n)}};
}

QJsonObject inventoryObject(const NodeInfo &n)
{
    QJsonObject o = identity(n);
    o.insert(QStringLiteral("firmware"), QString::fromLatin1(n.firmware));
    o.insert(QStringLiteral("name"), QString::fromLatin1(n.name));
    o.insert(QStringLiteral("mac"), n.macText());
    o.insert(QStringLiteral("type"), n.mode());
    o.insert(QStringLiteral("shared_serial"), n.sharedSerial);
    return o;
}

QStringList inventoryRow(const NodeInfo &n)
{
    // A serial that another node reports too is marked, and named by address.
    return {printable(n.serial) + (n.sharedSerial ? QStringLiteral("*") : QString()), printable(n.label),
            n.address.toString(), printable(n.firmware), printable(n.name), n.macText(), n.mode()};
}

bool Item::isWork() const
{
    return action != Action::Skip && action != Action::Refuse;
}

bool runnable(const QVector<Item> &items)
{
    return std::none_of(items.cbegin(), items.cend(), [](const Item &i) { return i.action == Action::Refuse; });
}

void printPlan(const QString &command, const QString &verb, const QVector<Item> &items, bool json, bool toData)
{
    if (json) {
        QJsonObject doc = envelope(QStringLiteral("tarvo-plan"));
        doc.insert(QStringLiteral("command"), command);
        doc.insert(QStringLiteral("runnable"), runnable(items));
        QJsonArray nodes;
        for (const Item &i : items) {
            QJsonObject o = identity(i.node);
            o.insert(QStringLiteral("action"), actionWord(i.action));
            o.insert(QStringLiteral("changes"), changesJson(i.changes));
            o.insert(QStringLiteral("from_version"), i.fromVersion);
            o.insert(QStringLiteral("to_version"), i.toVersion);
            o.insert(QStringLiteral("reason"), i.reason);
            nodes.append(o);
        }
        doc.insert(QStringLiteral("nodes"), nodes);
        out::data(out::json(doc));
        return;
    }
    const auto print = [toData](const QString &line) { toData ? out::data(line) : out::message(line); };
    const int work = int(std::count_if(items.cbegin(), items.cend(), [](const Item &i) { return i.isWork(); }));
    print(QStringLiteral("tarvo %1: %2 of %3 node(s) to %4%5")
              .arg(command)
              .arg(work)
              .arg(items.size())
              .arg(verb)
              .arg(toData ? QStringLiteral(" (a dry run: nothing is sent)") : QString()));
    QVector<QStringList> rows;
    for (const Item &i : items) {
        QString what = i.reason;
        if (!i.fromVersion.isEmpty() && i.action == Action::Upgrade)
            what = printable(i.fromVersion.toLatin1()) + QStringLiteral(" -> ") + printable(i.toVersion.toLatin1());
        else if (i.action == Action::Write && !i.changes.isEmpty())
            what = QStringLiteral("%1 change(s)").arg(i.changes.size()) + (what.isEmpty() ? QString() : QStringLiteral("; ") + what);
        rows.append({shownNode(i.node), actionWord(i.action), what});
        for (const configfile::Change &c : i.changes)
            rows.append({QString(), QString(), QStringLiteral("  %1: %2 -> %3").arg(c.field, shownValue(c.from), shownValue(c.to))});
    }
    for (const QString &l : out::table({"NODE", "ACTION", "DETAILS"}, rows))
        print(l);
}

QString tally(const QVector<Row> &rows)
{
    QStringList parts;
    for (const Result result : tallied) {
        const int n = howMany(rows, result);
        if (n > 0)
            parts.append(QStringLiteral("%1 %2").arg(n).arg(resultWord(result)));
    }
    return parts.isEmpty() ? QStringLiteral("no node") : parts.join(QStringLiteral(", "));
}

QString seconds(qint64 ms)
{
    return QString::number(double(ms) / 1000.0, 'f', 2) + QStringLiteral(" s");
}

int printSummary(const QString &command, const QVector<Row> &rows, bool interrupted, bool json)
{
    if (json) {
        QJsonObject doc = envelope(QStringLiteral("tarvo-summary"));
        doc.insert(QStringLiteral("command"), command);
        QJsonArray results;
        for (const Row &r : rows) {
            QJsonObject o = identity(r.node);
            o.insert(QStringLiteral("result"), resultWord(r.outcome.result));
            o.insert(QStringLiteral("reason"), r.outcome.reason);
            o.insert(QStringLiteral("seconds"), double(r.outcome.ms) / 1000.0);
            o.insert(QStringLiteral("changed"), r.outcome.changed);
            if (!r.outcome.changes.isEmpty())
                o.insert(QStringLiteral("changes"), changesJson(r.outcome.changes));
            results.append(o);
        }
        doc.insert(QStringLiteral("results"), results);
        QJsonObject counts;
        for (const Result result : tallied)
            counts.insert(resultWord(result), howMany(rows, result));
        doc.insert(QStringLiteral("tally"), counts);
        doc.insert(QStringLiteral("interrupted"), interrupted);
        out::data(out::json(doc));
    } else {
        QVector<QStringList> lines;
        for (const Row &r : rows)
            lines.append({printable(r.node.label), printable(r.node.serial), address(r.node), resultWord(r.outcome.result),
                          seconds(r.outcome.ms), r.outcome.reason});
        for (const QString &l : out::table({"LABEL", "SERIAL", "ADDRESS", "RESULT", "TIME", "REASON"}, lines))
            out::data(l);
        out::data(tally(rows));
    }
    if (interrupted)
        return Interrupted;
    return std::all_of(rows.cbegin(), rows.cend(), [](const Row &r) { return r.outcome.ok(); }) ? Success : Failure;
}

} // namespace report
