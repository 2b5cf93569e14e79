// tarvo's backup and restore.
#include "cli/config.h"
#include "cli/configfile.h"
#include "cli/files.h"
#include "cli/output.h"
#include "cli/selection.h"

#include <QDir>
#include <QHash>
#include <QSet>

int backup(const Request &r)
{
    const QString dir = r.operands.first();
    const QStringList names = r.operands.mid(1);
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, names, Action::Write))
        return *code;
    job.severalNodes = false; // files are written, not nodes
    job.verb = QStringLiteral("back up");
    for (report::Item &i : job.items) {
        if (!i.isWork())
            continue;
        if (!safeFileStem(i.node.serial)) {
            i.action = Action::Refuse;
            i.reason = QStringLiteral("its serial cannot name a file");
        } else if (i.node.sharedSerial) {
            i.action = Action::Refuse;
            i.reason = QStringLiteral("another node reports its serial: one file by serial cannot hold both");
        } else {
            i.reason = QDir(dir).filePath(QString::fromLatin1(i.node.serial) + QStringLiteral(".json"));
        }
    }
    if (!r.dryRun && !QDir().mkpath(dir)) {
        out::message(QStringLiteral("tarvo: cannot create the folder ") + dir);
        return Failure;
    }
    job.start = [&](int, const NodeInfo &n) -> NodeOperation * { return fleet.engine.readConfig(n); };
    // Each file is written as its node is read, whole or not at all.
    job.judge = [&dir](const NodeInfo &n, const NodeOperation::Result &res) {
        Outcome o = Outcome::of(res);
        if (!o.ok())
            return o;
        const QString name = QString::fromLatin1(n.serial) + QStringLiteral(".json");
        QString error;
        if (files::writeInFolder(dir, name, configText(n, res.record), &error))
            o.reason = QDir(dir).filePath(name);
        else
            o = Outcome::said(Result::Failed, error);
        o.ms = res.elapsedMs;
        return o;
    };
    job.again = {QStringLiteral("backup"), dir};
    return execute(r, fleet, job);
}

namespace {

struct Backup {
    QString path;
    QByteArray stem; // the serial it was saved under
    ConfigValues values;
};

enum : int { MaxBackups = 10000 };

// Every DIR/*.json, read and checked: a file that is not a configuration
// file stops the command, as a backup that cannot be read could belong to
// any node.
bool readBackups(const QString &dir, QVector<Backup> *backups)
{
    QDir folder(dir);
    if (!folder.exists()) {
        out::message(QStringLiteral("tarvo: %1: no such folder").arg(dir));
        return false;
    }
    const QStringList names = folder.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Hidden, QDir::Name);
    if (names.size() > MaxBackups) {
        out::message(QStringLiteral("tarvo: %1: more than %2 files, not a folder of backups").arg(dir).arg(int(MaxBackups)));
        return false;
    }
    bool ok = true;
    for (const QString &name : names) {
        const QString path = folder.filePath(name);
        const configfile::Parsed file = configfile::readFile(path);
        if (!file.ok()) {
            out::message(QStringLiteral("tarvo: ") + file.error);
            ok = false;
            continue;
        }
        backups->append({path, name.chopped(5).toLatin1(), file.values});
    }
    return ok;
}

bool backupFits(const Backup &b, const NodeInfo &n, Match match)
{
    switch (match) {
    case Match::Label:
        return !n.label.isEmpty() && b.values.label == n.label;
    case Match::Address:
        return b.values.ip == n.address.toString();
    case Match::Serial:
        break;
    }
    return safeFileStem(n.serial) && b.stem == n.serial;
}

QVector<int> fitting(const QVector<Backup> &backups, const NodeInfo &n, Match match)
{
    QVector<int> out;
    for (int i = 0; i < backups.size(); ++i)
        if (backupFits(backups.at(i), n, match))
            out.append(i);
    return out;
}

QString paths(const QVector<Backup> &backups, const QVector<int> &which)
{
    QStringList p;
    for (const int i : which)
        p.append(backups.at(i).path);
    return p.join(QStringLiteral(", "));
}

} // namespace

int restore(const Request &r)
{
    const QString dir = r.operands.first();
    const Match match = r.match;
    const QString by = matchWord(match);
    QVector<Backup> backups;
    if (!readBackups(dir, &backups)) {
        out::message(QStringLiteral("tarvo: nothing was sent"));
        return Failure;
    }
    Fleet fleet(r);
    if (const std::optional<int> code = findNodes(r, fleet, r.operands.mid(1), r.all))
        return *code;

    Job job;
    job.command = r.command;
    job.severalNodes = r.all || r.operands.size() > 2;
    job.addNodes(fleet, Action::Write);
    // Which backups fit each item, and which items each backup fits: a node
    // takes a backup only when each fits the other alone.
    QVector<QVector<int>> fits(job.items.size());
    QVector<QVector<int>> fitters(backups.size());
    for (int k = 0; k < job.items.size(); ++k) {
        if (!job.items.at(k).isWork())
            continue;
        fits[k] = fitting(backups, job.items.at(k).node, match);
        for (const int b : std::as_const(fits[k]))
            fitters[b].append(k);
    }
    const auto nodesOf = [&](int b) {
        QStringList names;
        for (const int k : fitters.at(b))
            names.append(nodeWhere(job.items.at(k).node));
        return names.join(QStringLiteral(", "));
    };
    QHash<int, int> chosen;
    for (int k = 0; k < job.items.size(); ++k) {
        report::Item &i = job.items[k];
        if (!i.isWork())
            continue;
        const QVector<int> &fit = fits.at(k);
        if (fit.size() > 1) {
            i.action = Action::Refuse;
            i.reason = QStringLiteral("%1 backups fit it by %2: %3").arg(fit.size()).arg(by, paths(backups, fit));
        } else if (fit.size() == 1 && fitters.at(fit.first()).size() > 1) {
            i.action = Action::Refuse;
            i.reason = QStringLiteral("%1 fits %2 nodes by %3: name the node by address")
                           .arg(backups.at(fit.first()).path)
                           .arg(fitters.at(fit.first()).size())
                           .arg(by);
        } else if (fit.size() == 1) {
            const Backup &b = backups.at(fit.first());
            if (const QString refused = checkValues(b.values, {false, !r.withNetwork}); !refused.isEmpty()) {
                out::message(QStringLiteral("tarvo: %1: %2").arg(b.path, refused));
                out::message(QStringLiteral("tarvo: nothing was sent"));
                return Failure;
            }
            chosen.insert(k, fit.first());
            i.reason = b.path;
        } else {
            // A replaced node: the backups that fit it otherwise.
            i.action = r.all ? Action::Skip : Action::Refuse;
            i.reason = QStringLiteral("no backup fits it by %1 in %2").arg(by, dir);
            i.commonReason = i.reason;
            for (const Match other : {Match::Serial, Match::Label, Match::Address}) {
                const QVector<int> fit = other == match ? QVector<int>() : fitting(backups, i.node, other);
                if (!fit.isEmpty())
                    i.reason += QStringLiteral("; by %1: %2 (--match %1)").arg(matchWord(other), paths(backups, fit));
            }
        }
    }
    // With --all, every backup is a node expected: one that no node took
    // is missing when no node that answered fits it, else refused with them.
    if (r.all) {
        QSet<int> taken;
        for (const int b : std::as_const(chosen))
            taken.insert(b);
        for (int b = 0; b < backups.size(); ++b) {
            if (taken.contains(b))
                continue;
            const Backup &backup = backups.at(b);
            NodeInfo gone;
            gone.serial = backup.stem;
            gone.label = backup.values.label;
            quint32 ip = 0;
            if (match == Match::Address && dottedAddress(backup.values.ip, &ip))
                gone.address = QHostAddress(ip);
            const QVector<int> &takers = fitters.at(b);
            QString reason;
            if (takers.isEmpty())
                reason = QStringLiteral("backed up in %1, but no node fits it by %2 among the %3 that answered")
                             .arg(backup.path, by)
                             .arg(fleet.nodes.size());
            else if (takers.size() > 1)
                reason = QStringLiteral("backed up in %1; refused: it fits %2 nodes by %3: %4")
                             .arg(backup.path)
                             .arg(takers.size())
                             .arg(by, nodesOf(b));
            else
                reason = QStringLiteral("backed up in %1; refused: it fits %2 by %3, which %4 backups fit")
                             .arg(backup.path, nodesOf(b), by)
                             .arg(fits.at(takers.first()).size());
            job.items.append({gone, Action::Refuse, reason, {}, {}, {}, takers.isEmpty(), {}});
        }
    }
    if (job.items.isEmpty()) {
        out::message(QStringLiteral("tarvo: no node answered and %1 holds no backup").arg(dir));
        return Failure;
    }
    const Keep keep{false, !r.withNetwork};
    if (r.withNetwork) {
        QHash<int, quint32> moves;
        for (auto it = chosen.cbegin(); it != chosen.cend(); ++it) {
            quint32 to = 0;
            if (dottedAddress(backups.at(it.value()).values.ip, &to) && to != job.items.at(it.key()).node.address.toIPv4Address())
                moves.insert(it.key(), to);
        }
        if (refusedForConflicts(addressConflicts(job.items, moves, fleet)))
            return Failure;
    }
    const auto wanted = [&](int item) { return backups.at(chosen.value(item)).values; };
    job.prepare = [&] {
        planChanges(r, fleet, job.items,
                    [&](int item, const QByteArray &current) { return targetValues(wanted(item), current, keep); });
    };
    job.start = [&](int item, const NodeInfo &n) -> NodeOperation * {
        return fleet.engine.writeConfig(n, builderFor(wanted(item), keep));
    };
    job.again = {QStringLiteral("restore"), dir, QStringLiteral("--match"), by};
    if (r.withNetwork)
        job.again << QStringLiteral("--with-network");
    return execute(r, fleet, job);
}

