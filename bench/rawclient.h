#ifndef TARVO_RAWCLIENT_H
#define TARVO_RAWCLIENT_H

#include <QByteArray>
#include <QVector>
#include <functional>

// The baseline of the upgrade benchmark: the least a client can do for the
// same lock-step exchange. Blocking POSIX sockets, one buffer, no event
// loop, no traces: EraseSector, 256 ProgramPackets each sent when the one
// before is acknowledged, ReadCrc, and the checksum compared.
class RawClient
{
public:
    ~RawClient();
    bool connectTo(const char *address, quint16 port);

    struct Run {
        bool ok = false;
        qint64 totalNs = 0;
        QVector<double> roundNs; // one per request-reply exchange
    };
    // Called right after packet `first`, and then packet `last`, went out:
    // the rounds between them can be counted alone (bench_instructions).
    struct Marks {
        int first = -1, last = -1;
        std::function<void()> atFirst, atLast;
    };
    // `image` is the decoded firmware image, as the tool sends it.
    Run exchange(const QByteArray &image) { return exchange(image, Marks()); }
    Run exchange(const QByteArray &image, const Marks &marks);

private:
    bool sendMessage(const char *data);
    bool receiveMessage(char *data);
    int fd = -1;
};

#endif
