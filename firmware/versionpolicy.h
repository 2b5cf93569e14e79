#ifndef TARVO_VERSIONPOLICY_H
#define TARVO_VERSIONPOLICY_H

#include <QByteArray>

// What an upgrade file's version is to a node's, and whether to upgrade it.
// Versions are compared by their numbers in order ("v2.05" is 2, 5): the
// texts nodes and files carry are not otherwise alike.
namespace versionpolicy {

enum class Step {
    Same,      // the node reports exactly the file's version
    Upgrade,   // the file's numbers are not lower (equal ones in another text too)
    Downgrade, // the file's numbers are lower
    Unknown,   // a version without numbers: the step cannot be told
};

Step compare(const QByteArray &nodeVersion, const QByteArray &fileVersion);

struct Options {
    bool allowSameVersion = false; // upgrade a node already at the version
    bool allowDowngrade = false;   // upgrade whatever the numbers say
    bool skipNewer = false;        // a node newer than the file is skipped, not refused
};

enum class Verdict { Upgrade, Skip, Refuse };

// A node at its file's version is skipped; a downgrade, or a step that
// cannot be told, is refused; each unless allowed. With skipNewer a
// downgrade is skipped instead.
Verdict decide(Step step, const Options &options);

} // namespace versionpolicy

#endif
