#include "cli/report.h"

#include "cli/commands.h"
#include "cli/selection.h"
#include "cli/output.h"
#include "link/trace.h"

#include <QHash>
#include <QJsonArray>
#include <algorithm>
#include <functional>

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

QStringList planHeader()
{
    return {QStringLiteral("NODE"), QStringLiteral("ACTION"), QStringLiteral("DETAILS")};
}

QString planCount(const QString &command, const QString &verb, const QVector<Item> &items)
{
    const int work = int(std::count_if(items.cbegin(), items.cend(), [](const Item &i) { return i.isWork(); }));
    return QStringLiteral("tarvo %1: %2 of %3 node(s) to %4").arg(command).arg(work).arg(items.size()).arg(verb);
}

QString details(const Item &i)
{
    if (!i.fromVersion.isEmpty() && i.action == Action::Upgrade)
        return printable(i.fromVersion.toLatin1()) + QStringLiteral(" -> ") + printable(i.toVersion.toLatin1());
    if (i.action == Action::Write && !i.changes.isEmpty())
        return QStringLiteral("%1 change(s)").arg(i.changes.size()) + (i.reason.isEmpty() ? QString() : QStringLiteral("; ") + i.reason);
    return i.reason;
}

QString changeText(const configfile::Change &c)
{
    return QStringLiteral("%1: %2 -> %3").arg(c.field, shownValue(c.from), shownValue(c.to));
}

// The table's rows of the items shown: each node, its changes below it.
QVector<QStringList> planRows(const QVector<Item> &items, const std::function<bool(const Item &)> &shown)
{
    QVector<QStringList> rows;
    for (const Item &i : items) {
        if (!shown(i))
            continue;
        rows.append({shownNode(i.node), actionWord(i.action), details(i)});
        for (const configfile::Change &c : i.changes)
            rows.append({QString(), QString(), QStringLiteral("  ") + changeText(c)});
    }
    return rows;
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

void printPlan(const QString &command, const QString &verb, const QVector<Item> &items, bool json, bool csv)
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
    const QString count = planCount(command, verb, items) + QStringLiteral(" (a dry run: nothing is sent)");
    if (csv) {
        out::note(count);
        // Each change on a row of its own, with its node: rows sort and
        // filter without losing theirs.
        QVector<QStringList> rows;
        for (const Item &i : items) {
            rows.append({shownNode(i.node), actionWord(i.action), details(i)});
            for (const configfile::Change &c : i.changes)
                rows.append({shownNode(i.node), actionWord(i.action), changeText(c)});
        }
        out::tableData(planHeader(), rows, true);
        return;
    }
    out::data(count);
    for (const QString &l : out::table(planHeader(), planRows(items, [](const Item &) { return true; })))
        out::data(l);
}

void printQuestion(const QString &command, const QString &verb, const QVector<Item> &items)
{
    out::message(planCount(command, verb, items));
    const auto shown = [](const Item &i) { return i.action != Action::Skip; };
    for (const QString &l : out::table(planHeader(), planRows(items, shown)))
        out::message(l);
    // Skips alike are one line each, most first: a site's skips would
    // bury the nodes written.
    QStringList reasons;
    QHash<QString, int> skips;
    for (const Item &i : items)
        if (i.action == Action::Skip) {
            const QString reason = i.commonReason.isEmpty() ? i.reason : i.commonReason;
            if (!skips.contains(reason))
                reasons.append(reason);
            ++skips[reason];
        }
    std::stable_sort(reasons.begin(), reasons.end(), [&](const QString &a, const QString &b) { return skips[a] > skips[b]; });
    for (const QString &reason : reasons)
        out::message(QStringLiteral("%1 node(s) to skip%2")
                         .arg(skips.value(reason))
                         .arg(reason.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(reason)));
    if (!reasons.isEmpty())
        out::message(QStringLiteral("(--dry-run lists the skipped nodes too)"));
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

int printSummary(const QString &command, const QVector<Row> &rows, bool interrupted, bool json, bool csv)
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
                          csv ? QString::number(double(r.outcome.ms) / 1000.0, 'f', 2) : seconds(r.outcome.ms),
                          r.outcome.reason});
        // In CSV the time is a number, in seconds as the header says.
        out::tableData({"LABEL", "SERIAL", "ADDRESS", "RESULT", csv ? "SECONDS" : "TIME", "REASON"}, lines, csv);
        if (csv)
            out::note(tally(rows));
        else
            out::data(tally(rows));
    }
    if (interrupted)
        return Interrupted;
    return std::all_of(rows.cbegin(), rows.cend(), [](const Row &r) { return r.outcome.ok(); }) ? Success : Failure;
}

} // namespace report
