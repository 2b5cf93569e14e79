#include "firmware/versionpolicy.h"

#include <QRegularExpression>
#include <QVector>
#include <algorithm>

namespace versionpolicy {

namespace {

// The numbers of "v2.05": {2, 5}; none when there are none.
QVector<int> numbers(const QByteArray &version)
{
    QVector<int> found;
    static const QRegularExpression digits(QStringLiteral("\\d+"));
    for (auto it = digits.globalMatch(QString::fromLatin1(version)); it.hasNext();)
        found.append(it.next().captured().left(9).toInt());
    return found;
}

} // namespace

Step compare(const QByteArray &nodeVersion, const QByteArray &fileVersion)
{
    if (nodeVersion == fileVersion)
        return Step::Same;
    const QVector<int> from = numbers(nodeVersion), to = numbers(fileVersion);
    if (from.isEmpty() || to.isEmpty())
        return Step::Unknown;
    return std::lexicographical_compare(to.cbegin(), to.cend(), from.cbegin(), from.cend()) ? Step::Downgrade
                                                                                          : Step::Upgrade;
}

Verdict decide(Step step, const Options &options)
{
    switch (step) {
    case Step::Same:
        return options.allowSameVersion ? Verdict::Upgrade : Verdict::Skip;
    case Step::Upgrade:
        return Verdict::Upgrade;
    case Step::Downgrade:
        return options.allowDowngrade ? Verdict::Upgrade : options.skipNewer ? Verdict::Skip : Verdict::Refuse;
    case Step::Unknown:
        return options.allowDowngrade ? Verdict::Upgrade : Verdict::Refuse;
    }
    return Verdict::Refuse;
}

} // namespace versionpolicy
