#include "cli/outcome.h"

QString resultWord(Result result)
{
    switch (result) {
    case Result::Done:
        return QStringLiteral("done");
    case Result::Verified:
        return QStringLiteral("verified");
    case Result::Skipped:
        return QStringLiteral("skipped");
    case Result::NotVerified:
        return QStringLiteral("not verified");
    case Result::Failed:
        return QStringLiteral("failed");
    case Result::Missing:
        return QStringLiteral("missing");
    case Result::Interrupted:
        return QStringLiteral("interrupted");
    }
    return QString();
}

QString actionWord(Action action)
{
    switch (action) {
    case Action::Write:
        return QStringLiteral("write");
    case Action::Upgrade:
        return QStringLiteral("upgrade");
    case Action::Default:
        return QStringLiteral("default");
    case Action::Run:
        return QStringLiteral("run");
    case Action::Skip:
        return QStringLiteral("skip");
    case Action::Refuse:
        return QStringLiteral("refuse");
    }
    return QString();
}

Outcome Outcome::of(const NodeOperation::Result &r, Result done)
{
    using S = NodeOperation::Status;
    Outcome o;
    o.reason = r.reason;
    o.ms = r.elapsedMs;
    o.record = r.record;
    o.changed = r.changed();
    o.incomplete = r.effect == NodeOperation::Effect::MayBeIncomplete;
    switch (r.status) {
    case S::Done:
        o.result = done;
        break;
    case S::NotVerified:
        o.result = Result::NotVerified;
        break;
    case S::Aborted:
        o.result = Result::Interrupted;
        break;
    default:
        o.result = Result::Failed;
        break;
    }
    return o;
}

Outcome Outcome::said(Result result, const QString &reason)
{
    Outcome o;
    o.result = result;
    o.reason = reason;
    return o;
}
