// A process that changes the workstation's interface through Reach as tarvo
// would, for tst_reach: the other process that holds a pin or an address,
// the run that ends by a signal, a failure or a kill, and the run without
// the right to change anything.
//
//   reach_helper hold WS [--pin IP MAC] [--address NODE PREFIX] [--end stdin|fail|handler|loop]
//   reach_helper try WS --pin IP MAC --address NODE PREFIX
//
// hold prints "held" once everything is in place, then ends as --end says:
// stdin (at its end, releasing in order), fail (at the end of stdin, a
// connection that fails, and the way out of main), handler (SIGINT/SIGTERM undone in the signal
// handler) or loop (SIGINT/SIGTERM through the event loop). try prints
// what each call said.
#include "link/reach.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace {

int wakePipe[2] = {-1, -1};

extern "C" void undoAndEnd(int)
{
    Reach::undoFromSignalHandler();
    ::_exit(130);
}

extern "C" void wake(int)
{
    const char byte = 1;
    (void)!::write(wakePipe[1], &byte, 1);
}

void onSignals(void (*handler)(int))
{
    struct sigaction a {};
    a.sa_handler = handler;
    sigemptyset(&a.sa_mask);
    sigaction(SIGINT, &a, nullptr);
    sigaction(SIGTERM, &a, nullptr);
}

QByteArray macFrom(const QString &text)
{
    return QByteArray::fromHex(text.toLatin1().replace(':', ""));
}

void say(const QString &what, const ReachResult &r)
{
    std::printf("%s: %s%s\n", qPrintable(what), r.ok ? "ok" : "failed", r.reason.isEmpty() ? "" : qPrintable(": " + r.reason));
    for (const QString &c : r.commands)
        std::printf("  do: %s\n", qPrintable(c));
    for (const QString &c : r.undoCommands)
        std::printf("  undo: %s\n", qPrintable(c));
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3)
        return 2;
    Reach reach{QHostAddress(args.at(2))};
    if (!reach.isValid()) {
        std::printf("invalid: %s\n", qPrintable(reach.error()));
        return 2;
    }
    QString end = QStringLiteral("stdin");
    QHostAddress pinned, node;
    QByteArray mac;
    int prefix = 0;
    for (int i = 3; i < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--pin") && i + 2 < args.size()) {
            pinned = QHostAddress(args.at(i + 1));
            mac = macFrom(args.at(i + 2));
            i += 2;
        } else if (args.at(i) == QLatin1String("--address") && i + 2 < args.size()) {
            node = QHostAddress(args.at(i + 1));
            prefix = args.at(i + 2).toInt();
            i += 2;
        } else if (args.at(i) == QLatin1String("--end") && i + 1 < args.size()) {
            end = args.at(++i);
        }
    }
    const quint32 mask = prefix ? 0xffffffffu << (32 - prefix) : 0;

    if (args.at(1) == QLatin1String("try")) {
        say(QStringLiteral("change"), reach.canChange());
        say(QStringLiteral("pin"), reach.pin(pinned, mac));
        TemporaryAddress t;
        say(QStringLiteral("address"), reach.temporaryAddressFor(node, mask, {}, &t));
        say(QStringLiteral("leftovers"), reach.removeLeftovers());
        return 0;
    }

    if (end == QLatin1String("handler"))
        onSignals(undoAndEnd);
    if (!pinned.isNull()) {
        const ReachResult r = reach.pin(pinned, mac);
        if (!r) {
            say(QStringLiteral("pin"), r);
            return 1;
        }
    }
    TemporaryAddress t;
    if (!node.isNull()) {
        const ReachResult r = reach.temporaryAddressFor(node, mask, {}, &t);
        if (!r) {
            say(QStringLiteral("address"), r);
            return 1;
        }
    }
    std::printf("held %s\n", qPrintable(t.address.toString()));
    std::fflush(stdout);

    char buffer[64];
    if (end == QLatin1String("fail")) {
        while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
        }
        QTcpSocket s;
        s.bind(t.address);
        s.connectToHost(node, 50001); // nobody listens there
        return s.waitForConnected(3000) ? 0 : 1;
    }
    if (end == QLatin1String("handler")) {
        for (;;)
            ::pause();
    }
    if (end == QLatin1String("loop")) {
        if (::pipe(wakePipe) != 0)
            return 2;
        QSocketNotifier n(wakePipe[0], QSocketNotifier::Read);
        QObject::connect(&n, &QSocketNotifier::activated, &app, [] { QCoreApplication::exit(130); });
        onSignals(wake);
        const int code = app.exec();
        const ReachResult r = reach.releaseAll();
        return r ? code : 1;
    }
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    return reach.releaseAll() ? 0 : 1;
}
