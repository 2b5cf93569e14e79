// tarvo's firmware commands: upgrade, and run (the application of nodes in
// their boot loader).
#include "cli/jobs.h"
#include "cli/files.h"
#include "cli/output.h"
#include "cli/selection.h"
#include "firmware/upgradeimage.h"
#include "firmware/versionpolicy.h"
#include "link/trace.h"

#include <algorithm>

int run(const Request &r)
{
    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, r.operands, Action::Run))
        return *code;
    for (report::Item &i : job.items)
        if (i.isWork() && !i.node.bootLoader()) {
            i.action = Action::Skip;
            i.reason = QStringLiteral("already runs its application");
        }
    job.start = [&](int, const NodeInfo &n) -> NodeOperation * { return fleet.engine.runApplication(n); };
    job.verb = QStringLiteral("start");
    job.again = {QStringLiteral("run")};
    job.rerunSkipsDone = true; // a node that runs its application is skipped
    return execute(r, fleet, job);
}

namespace {

QString imageProblem(const UpgradeImage &image)
{
    switch (image.status) {
    case UpgradeImage::Ok:
        return QString();
    case UpgradeImage::Unreadable:
        return QStringLiteral("Upgrade file cannot be opened! (%1)").arg(image.error);
    case UpgradeImage::TooShort:
        return QStringLiteral("Upgrade file is damaged! (shorter than 131072 bytes)");
    case UpgradeImage::TooLarge:
        return QStringLiteral("Upgrade file is damaged! (far too large)");
    case UpgradeImage::Damaged:
        return QStringLiteral("Upgrade file is damaged! (wrong checksum or brand)");
    case UpgradeImage::RawImage:
        return QStringLiteral("not an upgrade file but a raw firmware image; make the upgrade file from it with "
                              "tarvo-production");
    }
    return QString();
}

} // namespace

int upgrade(const Request &r)
{
    // The window's checks of the file, before any node hears of it.
    const QString path = r.operands.first();
    UpgradeImage image;
    if (files::isStdio(path)) {
        QString error;
        bool tooLarge = false; // judged by the check, as for a file named
        const QByteArray bytes = files::readBounded(path, UpgradeImage::MaxFileSize, &error, &tooLarge);
        if (error.isEmpty())
            image = UpgradeImage::check(bytes);
        else
            image.error = error; // still Unreadable
    } else {
        image = UpgradeImage::read(path);
    }
    if (!image.ok()) {
        out::message(QStringLiteral("tarvo: %1: %2").arg(files::shownName(path), imageProblem(image)));
        return Failure;
    }

    Fleet fleet(r);
    Job job;
    if (const std::optional<int> code = gather(r, fleet, job, r.operands.mid(1), Action::Upgrade))
        return *code;
    const QString to = QString::fromLatin1(image.version);
    const versionpolicy::Options policy{r.allowSameVersion, r.allowDowngrade, r.skipNewer};
    for (report::Item &i : job.items) {
        if (!i.isWork())
            continue;
        i.fromVersion = QString::fromLatin1(i.node.firmware);
        i.toVersion = to;
        const versionpolicy::Step step = versionpolicy::compare(i.node.firmware, image.version);
        switch (versionpolicy::decide(step, policy)) {
        case versionpolicy::Verdict::Upgrade:
            break;
        case versionpolicy::Verdict::Skip:
            i.action = Action::Skip;
            i.reason = step == versionpolicy::Step::Downgrade
                ? QStringLiteral("newer: skipped (%1; the file is %2)").arg(printable(i.node.firmware), printable(image.version))
                : QStringLiteral("already at ") + printable(image.version);
            if (step == versionpolicy::Step::Downgrade)
                i.commonReason = QStringLiteral("newer than the file's ") + printable(image.version);
            break;
        case versionpolicy::Verdict::Refuse:
            i.action = Action::Refuse;
            i.reason = step == versionpolicy::Step::Unknown
                ? QStringLiteral("cannot tell whether %1 to %2 is a downgrade (--allow-downgrade to upgrade anyway)")
                      .arg(printable(i.node.firmware), printable(image.version))
                : QStringLiteral("downgrade from %1 to %2 refused (--allow-downgrade to allow it, --skip-newer to skip it)")
                      .arg(printable(i.node.firmware), printable(image.version));
            break;
        }
    }
    // Only the operations hold the image from here: a finished one lets go
    // of its share.
    const UpgradeImage checked = image;
    image = UpgradeImage();

    // Bars only where someone watches them, and not between trace lines.
    const int work = int(std::count_if(job.items.cbegin(), job.items.cend(), [](const report::Item &i) { return i.isWork(); }));
    ProgressDisplay display(out::isSmartTerminal(stderr) && !r.verbose && !r.quiet, work);
    job.again = {QStringLiteral("upgrade"), path};
    if (r.allowSameVersion)
        job.again << QStringLiteral("--allow-same-version");
    if (r.allowDowngrade)
        job.again << QStringLiteral("--allow-downgrade");
    if (r.skipNewer)
        job.again << QStringLiteral("--skip-newer");
    job.rerunSkipsDone = !r.allowSameVersion; // a node verified at the version is skipped
    job.incompleteOption = QStringLiteral("--allow-same-version");
    const QByteArray version = image.version;
    job.rerunSkips = [&r, version](const NodeInfo &n) { return !r.allowSameVersion && n.firmware == version; };
    job.start = [&](int, const NodeInfo &n) -> NodeOperation * { return fleet.engine.upgradeAndVerify(n, checked); };
    job.judge = [&](const NodeInfo &n, const NodeOperation::Result &res) {
        Outcome o = Outcome::of(res, Result::Verified);
        // A node stopped after EraseSector may hold no working firmware: say
        // what to run, with the run's options, whatever version it reports.
        if (o.incomplete) {
            QStringList again = job.again;
            if (!again.contains(job.incompleteOption))
                again << job.incompleteOption;
            o.reason += QStringLiteral("; it may hold no complete firmware: run ") +
                rerunLine(r, again, shortNames({n}, fleet));
        }
        return o;
    };
    job.progress = [&display](const NodeInfo &n, qint64 sent, qint64 total) { display.update(nodeName(n), sent, total); };
    job.stalled = [&display](const NodeInfo &n, const QString &what) { display.waiting(nodeName(n), what); };
    job.finished = [&display](const NodeInfo &n, const Outcome &o) {
        display.nodeFinished(nodeName(n));
        display.note(QStringLiteral("%1: %2, %3 (%4)").arg(nodeWhere(n), resultWord(o.result), o.reason, report::seconds(o.ms)));
        if (display.allDone())
            display.close();
    };
    job.verb = QStringLiteral("upgrade");
    const int code = execute(r, fleet, job);
    display.close();
    return code;
}

