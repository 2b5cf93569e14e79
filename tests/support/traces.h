#ifndef TARVO_TEST_TRACES_H
#define TARVO_TEST_TRACES_H

#include <QStringList>

// Collects every line written to the Qt debug output, so that tests can
// assert the exact trace lines of the code under test.
namespace Traces {

void install();
QStringList lines();
void clear();
bool contains(const QString &line);
int count(const QString &line);
// Lines from the first occurrence of `line` on (empty if absent).
QStringList since(const QString &line);
// Spins the event loop until `line` has been written, or the time is up.
bool waitFor(const QString &line, int timeoutMs = 5000);

} // namespace Traces

#endif
