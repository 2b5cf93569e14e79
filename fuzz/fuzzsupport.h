#ifndef TARVO_FUZZSUPPORT_H
#define TARVO_FUZZSUPPORT_H

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <cstdint>

// What the harnesses share: the application object (created on first use,
// traces silenced), a scratch folder for files, and a reader that turns the
// fuzzer's bytes into messages, files and choices. The harnesses drive the
// engine directly: no window, no socket that sends.
namespace fuzz {

// Creates the QCoreApplication once and drops the engine's trace lines.
void init();

// A file in the harness's scratch folder.
QString scratchFile(const QString &name, const QByteArray &contents);

// Stops the run with a message: a broken invariant counts as a crash.
[[noreturn]] void violated(const char *what);

class Input
{
public:
    Input(const uint8_t *data, size_t size) : data(data), left(size) {}
    bool empty() const { return left == 0; }
    quint8 byte();
    quint16 u16();
    QByteArray take(size_t n);
    // A length (u16, at most `max`) followed by that many bytes.
    QByteArray chunk(size_t max);
    QByteArray rest() { return take(left); }

private:
    const uint8_t *data;
    size_t left;
};

} // namespace fuzz

#define FUZZ_CHECK(condition)                                                                                          \
    do {                                                                                                               \
        if (!(condition))                                                                                              \
            fuzz::violated(#condition);                                                                                \
    } while (false)

#endif
