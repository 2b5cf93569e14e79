#ifndef TARVO_RTNL_H
#define TARVO_RTNL_H

#include <QByteArray>
#include <QString>
#include <QVector>
#include <cstddef>

struct mnl_socket;

// The few rtnetlink requests that Reach makes, through libmnl: read one
// link, the IPv4 addresses, one or all neighbour entries of a link and the
// route to an address; and send a prepared change, awaiting the kernel's
// acknowledgement. Addresses are IPv4 in host order, as QHostAddress gives
// them. Everything read from the kernel is checked against its length
// before it is used.
namespace rtnl {

// The mark on what this tool adds: the protocol of a neighbour entry or of
// an address (NDA_PROTOCOL, IFA_PROTO); /etc/iproute2/rt_protos leaves it
// unassigned. A pinned entry that replaced someone else's permanent entry
// carries OverStatic, so that a run that never restored it is told apart.
enum Mark : int { Pinned = 116, PinnedOverStatic = 117, TemporaryAddress = 116 };

struct Link {
    int index = 0;
    QString name;
    QByteArray mac; // empty when the link has no Ethernet address
    unsigned type = 0;  // ARPHRD_*
    unsigned flags = 0; // IFF_*
};

struct Address {
    int index = 0;
    quint32 local = 0;
    int prefixLength = 0;
    quint32 flags = 0; // IFA_F_*
    QString label;
    int protocol = 0; // IFA_PROTO, 0 when absent
};

struct Neighbour {
    quint32 address = 0;
    quint16 state = 0; // NUD_*
    quint8 flags = 0;  // NTF_*
    QByteArray lladdr;
    int protocol = 0; // NDA_PROTOCOL, 0 when absent
    bool isStatic() const;
};

struct Route {
    int type = 0; // RTN_*
    int dstLength = 0;
    int oif = 0;
    quint32 gateway = 0;
    quint32 prefsrc = 0;
};

// Prepared requests, kept in a fixed buffer so that they can also be sent
// from a signal handler (rtnetlink handles every request of one send in
// turn). Each builder appends one; false when it does not fit.
struct Message {
    alignas(4) unsigned char bytes[256];
    unsigned length = 0;
};
bool neighbourChange(Message *m, bool remove, int index, quint32 address, const Neighbour &entry);
bool addressChange(Message *m, bool remove, int index, quint32 local, int prefixLength, const QString &label);

class Socket
{
public:
    Socket();
    ~Socket();
    Socket(const Socket &) = delete;
    Socket &operator=(const Socket &) = delete;

    bool isOpen() const { return nl != nullptr; }
    QString error() const { return openError; }

    // Sends each request of `m` and awaits its acknowledgement; the
    // kernel's errno and message for the first it refused.
    bool change(const Message &m, QString *why, int *error = nullptr);
    bool link(int index, Link *out, QString *why);
    bool addresses(QVector<Address> *out, QString *why);
    // false with `*found` false when there is none (no error).
    bool neighbour(int index, quint32 address, Neighbour *out, bool *found, QString *why);
    bool neighbours(int index, QVector<Neighbour> *out, QString *why);
    // false with `*found` false when nothing routes to `address`.
    bool route(quint32 address, Route *out, bool *found, QString *why);
    // Whether this process may change links in its network namespace: a
    // request that needs CAP_NET_ADMIN and names no link, so that it changes
    // nothing whoever may send it. false with `why` empty: not permitted.
    bool mayChange(QString *why);

private:
    struct Run;
    bool exchange(void *request, Run &run, QString *why);

    ::mnl_socket *nl = nullptr;
    unsigned portid = 0;
    unsigned seq = 0;
    QString openError;
};

} // namespace rtnl

#endif
