#include "link/arpprobe.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// An ARP packet for IPv4 over Ethernet: the only kind looked at.
struct EtherArp {
    arphdr header;
    unsigned char sha[6];
    unsigned char spa[4];
    unsigned char tha[6];
    unsigned char tpa[4];
} __attribute__((packed));
static_assert(sizeof(EtherArp) == 28, "ARP for IPv4 over Ethernet is 28 bytes");

quint32 ipFrom(const unsigned char *p)
{
    quint32 n;
    std::memcpy(&n, p, 4);
    return ntohl(n);
}

void ipTo(quint32 host, unsigned char *p)
{
    const quint32 n = htonl(host);
    std::memcpy(p, &n, 4);
}

struct Fd {
    int fd = -1;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

bool ArpProbe::run(const QVector<quint32> &candidates, QVector<quint32> *held, QString *why, bool *denied) const
{
    held->clear();
    *denied = false;
    if (mac.size() != 6) {
        *why = QStringLiteral("the link has no Ethernet address to probe from");
        return false;
    }
    Fd s;
    s.fd = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ARP));
    if (s.fd < 0) {
        *denied = errno == EPERM;
        *why = errno == EPERM ? QStringLiteral("the duplicate-address check needs CAP_NET_RAW")
                              : QStringLiteral("cannot open an ARP socket: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_ARP);
    link.sll_ifindex = index;
    if (::bind(s.fd, reinterpret_cast<sockaddr *>(&link), sizeof link) != 0) {
        *why = QStringLiteral("cannot listen for ARP: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    sockaddr_ll everyone = link;
    everyone.sll_halen = 6;
    std::memset(everyone.sll_addr, 0xff, 6);

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto end = start + std::chrono::milliseconds(windowMs);
    const int rounds = probes < 1 ? 1 : probes;
    const auto spacing = std::chrono::milliseconds(windowMs / 2 / rounds);
    int sent = 0;
    for (;;) {
        const auto now = Clock::now();
        if (sent < rounds && now >= start + spacing * sent) {
            for (quint32 c : candidates) {
                if (held->contains(c))
                    continue;
                EtherArp p{};
                p.header.ar_hrd = htons(ARPHRD_ETHER);
                p.header.ar_pro = htons(ETH_P_IP);
                p.header.ar_hln = 6;
                p.header.ar_pln = 4;
                p.header.ar_op = htons(ARPOP_REQUEST);
                std::memcpy(p.sha, mac.constData(), 6);
                ipTo(c, p.tpa);
                if (::sendto(s.fd, &p, sizeof p, 0, reinterpret_cast<sockaddr *>(&everyone), sizeof everyone) < 0) {
                    *why = QStringLiteral("cannot send an ARP probe: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
                    return false;
                }
            }
            ++sent;
            continue;
        }
        if (now >= end)
            return true;
        auto next = end;
        if (sent < rounds && start + spacing * sent < next)
            next = start + spacing * sent;
        pollfd p{s.fd, POLLIN, 0};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
        if (::poll(&p, 1, static_cast<int>(wait) + 1) < 0 && errno != EINTR) {
            *why = QStringLiteral("waiting for ARP: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        for (int i = 0; i < 256; ++i) {
            unsigned char frame[64];
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            const ssize_t n = ::recvfrom(s.fd, frame, sizeof frame, 0, reinterpret_cast<sockaddr *>(&from), &fromLength);
            if (n < 0)
                break;
            if (n < static_cast<ssize_t>(sizeof(EtherArp)) || from.sll_pkttype == PACKET_OUTGOING)
                continue;
            EtherArp a;
            std::memcpy(&a, frame, sizeof a);
            if (ntohs(a.header.ar_hrd) != ARPHRD_ETHER || ntohs(a.header.ar_pro) != ETH_P_IP || a.header.ar_hln != 6
                || a.header.ar_pln != 4)
                continue;
            const quint32 sender = ipFrom(a.spa), target = ipFrom(a.tpa);
            const bool ours = std::memcmp(a.sha, mac.constData(), 6) == 0;
            for (quint32 c : candidates) {
                // Someone answering or announcing it holds it; someone else
                // probing it is about to.
                const bool probing = sender == 0 && target == c && ntohs(a.header.ar_op) == ARPOP_REQUEST;
                if (!ours && (sender == c || probing) && !held->contains(c))
                    held->append(c);
            }
        }
    }
}
