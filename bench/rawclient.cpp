#include "rawclient.h"

#include "benchsupport.h"
#include "firmware/image.h"
#include "firmware/upgrademessage.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using M = UpgradeMessage;

RawClient::~RawClient()
{
    if (fd >= 0)
        ::close(fd);
}

bool RawClient::connectTo(const char *address, quint16 port)
{
    fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    return ::inet_pton(AF_INET, address, &to.sin_addr) == 1 &&
        ::connect(fd, reinterpret_cast<const sockaddr *>(&to), sizeof to) == 0;
}

bool RawClient::sendMessage(const char *data)
{
    for (size_t sent = 0; sent < size_t(DeviceMessageSize);) {
        const ssize_t n = ::send(fd, data + sent, DeviceMessageSize - sent, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += size_t(n);
    }
    return true;
}

bool RawClient::receiveMessage(char *data)
{
    for (size_t got = 0; got < size_t(DeviceMessageSize);) {
        const ssize_t n = ::recv(fd, data + got, DeviceMessageSize - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += size_t(n);
    }
    return true;
}

RawClient::Run RawClient::exchange(const QByteArray &image, const Marks &marks)
{
    Run run;
    char out[DeviceMessageSize] = {};
    char in[DeviceMessageSize];
    const auto word = [&in] { return qFromLittleEndian<quint32>(in); };
    const int packets = int((image.size() + M::PacketSize - 1) / M::PacketSize);
    run.roundNs.reserve(packets + 2);

    const qint64 start = bench::nowNs();
    qint64 last = start;
    const auto round = [&] {
        const qint64 t = bench::nowNs();
        run.roundNs.append(double(t - last));
        last = t;
    };

    qToLittleEndian<quint32>(EraseSector, out);
    if (!sendMessage(out) || !receiveMessage(in) || word() != EraseSector)
        return run;
    round();
    for (int n = 0; n < packets; ++n) {
        std::memset(out, 0, sizeof out);
        qToLittleEndian<quint32>(ProgramPacket, out);
        qToLittleEndian<quint32>(quint32(n), out + M::PacketNumberOffset);
        qToLittleEndian<quint32>(M::PacketSize, out + M::PacketLengthOffset);
        const qint64 from = qint64(n) * M::PacketSize;
        std::memcpy(out + M::PayloadOffset, image.constData() + from, size_t(qMin<qint64>(M::PacketSize, image.size() - from)));
        if (!sendMessage(out))
            return run;
        if (n == marks.first)
            marks.atFirst();
        else if (n == marks.last)
            marks.atLast();
        if (!receiveMessage(in) || word() != ProgramPacket ||
            qFromLittleEndian<quint32>(in + M::PacketNumberOffset) != quint32(n))
            return run;
        round();
    }
    std::memset(out, 0, sizeof out);
    qToLittleEndian<quint32>(ReadCrc, out);
    if (!sendMessage(out) || !receiveMessage(in) || word() != ReadCrc)
        return run;
    const quint32 nodeSum = qFromLittleEndian<quint32>(in + M::CrcOffset);
    run.ok = imageChecksumQuiet(bytes(image), ImageInfo::VerifiedSize) == nodeSum;
    round();
    run.totalNs = bench::nowNs() - start;
    return run;
}
