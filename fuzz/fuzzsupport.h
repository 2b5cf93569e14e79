#ifndef TARVO_FUZZSUPPORT_H
#define TARVO_FUZZSUPPORT_H

#include "app/mainwindow.h"

#include <QByteArray>
#include <QMetaMethod> // probe.h uses it without including it
#include <QString>
#include <cstddef>
#include <cstdint>

#include "probe.h"

// What the harnesses share: the window they drive (one per process, made
// as an operator starts the tool, inside the private network that
// netns-run made), its reset between inputs, and a reader that turns the
// fuzzer's bytes into messages, files and choices.
namespace fuzz {

// Creates the application and the window on first use.
MainWindowProbe &window();

// Puts the window back into the state of a freshly opened one, with no
// node listed, no upgrade running and no box open.
void resetWindow();

// Lists a node as an accepted discovery reply would, and selects it as
// "Connect" does: the reply record of an application node with this serial
// field (16 bytes as given, so possibly without a terminator) and version.
void listNode(const QByteArray &serialField, const QByteArray &version = "v1.00");

// A folder for the files a harness hands to the window.
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
