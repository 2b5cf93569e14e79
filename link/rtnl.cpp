#include "link/rtnl.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <functional>
#include <libmnl/libmnl.h>
#include <linux/if_addr.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/socket.h>

namespace rtnl {

namespace {

// A dump's replies come in pieces of up to this size (the kernel makes them
// no larger than the reader's buffer allows, and at least 16 KiB).
constexpr size_t ReceiveBytes = 32768;
// However much a misbehaving kernel or a huge table sends, a dump ends.
constexpr int MaxMessages = 200000;

QString sysText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// The attributes of one message, by type, each checked for its length.
struct Attributes {
    const nlattr *at[64] = {};
    int max = 0;
    const nlattr *get(int type) const { return type <= max ? at[type] : nullptr; }
};

int collect(const nlattr *attr, void *data)
{
    auto *a = static_cast<Attributes *>(data);
    const int type = mnl_attr_get_type(attr);
    if (type <= a->max && type < 64)
        a->at[type] = attr;
    return MNL_CB_OK;
}

bool parse(const nlmsghdr *n, size_t header, int max, Attributes *a)
{
    if (n->nlmsg_len < NLMSG_HDRLEN + header)
        return false;
    a->max = max;
    return mnl_attr_parse(n, static_cast<unsigned>(header), collect, a) >= MNL_CB_STOP;
}

bool u32At(const Attributes &a, int type, quint32 *out)
{
    const nlattr *x = a.get(type);
    if (!x || mnl_attr_validate(x, MNL_TYPE_U32) < 0)
        return false;
    *out = mnl_attr_get_u32(x);
    return true;
}

// An IPv4 address attribute, in host order.
bool ipAt(const Attributes &a, int type, quint32 *out)
{
    if (!u32At(a, type, out))
        return false;
    *out = ntohl(*out);
    return true;
}

int u8At(const Attributes &a, int type)
{
    const nlattr *x = a.get(type);
    return x && mnl_attr_validate(x, MNL_TYPE_U8) >= 0 ? mnl_attr_get_u8(x) : 0;
}

QByteArray bytesAt(const Attributes &a, int type, int maxBytes)
{
    const nlattr *x = a.get(type);
    if (!x)
        return {};
    const int n = mnl_attr_get_payload_len(x);
    return n <= maxBytes ? QByteArray(static_cast<const char *>(mnl_attr_get_payload(x)), n) : QByteArray();
}

QString stringAt(const Attributes &a, int type)
{
    const nlattr *x = a.get(type);
    if (!x || mnl_attr_validate(x, MNL_TYPE_NUL_STRING) < 0 || mnl_attr_get_payload_len(x) > IFNAMSIZ)
        return {};
    return QString::fromLocal8Bit(mnl_attr_get_str(x));
}

nlmsghdr *header(void *buffer, int type, int flags, size_t extra, void **body)
{
    nlmsghdr *n = mnl_nlmsg_put_header(buffer);
    n->nlmsg_type = static_cast<quint16>(type);
    n->nlmsg_flags = static_cast<quint16>(NLM_F_REQUEST | flags);
    *body = mnl_nlmsg_put_extra_header(n, extra);
    return n;
}

} // namespace

bool Neighbour::isStatic() const
{
    return state & (NUD_PERMANENT | NUD_NOARP);
}

namespace {

// Room for one more request of at most 128 bytes at the end of `m`.
unsigned char *room(Message *m)
{
    if (m->length + 128 > sizeof m->bytes)
        return nullptr;
    std::memset(m->bytes + m->length, 0, 128);
    return m->bytes + m->length;
}

} // namespace

bool neighbourChange(Message *m, bool remove, int index, quint32 address, const Neighbour &entry)
{
    unsigned char *at = room(m);
    if (!at)
        return false;
    void *body = nullptr;
    nlmsghdr *n = header(at, remove ? RTM_DELNEIGH : RTM_NEWNEIGH,
                         remove ? 0 : NLM_F_CREATE | NLM_F_REPLACE, sizeof(ndmsg), &body);
    auto *nd = static_cast<ndmsg *>(body);
    nd->ndm_family = AF_INET;
    nd->ndm_ifindex = index;
    if (!remove) {
        if (entry.lladdr.size() != 6)
            return false;
        nd->ndm_state = entry.state;
        nd->ndm_flags = entry.flags;
    }
    mnl_attr_put_u32(n, NDA_DST, htonl(address));
    if (!remove) {
        mnl_attr_put(n, NDA_LLADDR, 6, entry.lladdr.constData());
        if (entry.protocol)
            mnl_attr_put_u8(n, NDA_PROTOCOL, static_cast<quint8>(entry.protocol));
    }
    m->length += MNL_ALIGN(n->nlmsg_len);
    return true;
}

bool addressChange(Message *m, bool remove, int index, quint32 local, int prefixLength, const QString &label)
{
    const QByteArray name = label.toLocal8Bit();
    unsigned char *at = room(m);
    if (!at || name.size() >= IFNAMSIZ || prefixLength < 0 || prefixLength > 32)
        return false;
    void *body = nullptr;
    // NLM_F_EXCL: an address someone holds already is theirs, never taken over.
    nlmsghdr *n = header(at, remove ? RTM_DELADDR : RTM_NEWADDR, remove ? 0 : NLM_F_CREATE | NLM_F_EXCL,
                         sizeof(ifaddrmsg), &body);
    auto *ifa = static_cast<ifaddrmsg *>(body);
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = static_cast<quint8>(prefixLength);
    ifa->ifa_index = static_cast<unsigned>(index);
    mnl_attr_put_u32(n, IFA_LOCAL, htonl(local));
    mnl_attr_put_u32(n, IFA_ADDRESS, htonl(local));
    if (!remove) {
        const quint32 host = prefixLength == 32 ? 0 : 0xffffffffu >> prefixLength;
        mnl_attr_put_u32(n, IFA_BROADCAST, htonl(local | host));
        if (!name.isEmpty())
            mnl_attr_put_strz(n, IFA_LABEL, name.constData());
        mnl_attr_put_u8(n, IFA_PROTO, TemporaryAddress);
    }
    m->length += MNL_ALIGN(n->nlmsg_len);
    return true;
}

// What one exchange collects: each reply message, or the kernel's error.
struct Socket::Run {
    std::function<void(const nlmsghdr *)> each;
    int error = 0;
    int messages = 0;
};

Socket::Socket()
{
    nl = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (!nl) {
        openError = QStringLiteral("cannot open a netlink socket: %1").arg(sysText(errno));
        return;
    }
    const int on = 1;
    // The kernel's own words with a refusal, and no copy of the request.
    mnl_socket_setsockopt(nl, NETLINK_EXT_ACK, const_cast<int *>(&on), sizeof on);
    mnl_socket_setsockopt(nl, NETLINK_CAP_ACK, const_cast<int *>(&on), sizeof on);
    if (mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
        openError = QStringLiteral("cannot bind a netlink socket: %1").arg(sysText(errno));
        mnl_socket_close(nl);
        nl = nullptr;
        return;
    }
    portid = mnl_socket_get_portid(nl);
}

Socket::~Socket()
{
    if (nl)
        mnl_socket_close(nl);
}

namespace {

struct Sinks {
    explicit Sinks(const std::function<void(const nlmsghdr *)> *e) : each(e) {}
    const std::function<void(const nlmsghdr *)> *each;
    int error = 0;
    QString message;
};

int onData(const nlmsghdr *n, void *data)
{
    const auto *each = static_cast<Sinks *>(data)->each;
    if (*each)
        (*each)(n);
    return MNL_CB_OK;
}

int onError(const nlmsghdr *n, void *data)
{
    auto *sink = static_cast<Sinks *>(data);
    if (n->nlmsg_len < NLMSG_HDRLEN + sizeof(nlmsgerr)) {
        sink->error = EBADMSG;
        errno = EBADMSG;
        return MNL_CB_ERROR;
    }
    const auto *e = static_cast<const nlmsgerr *>(mnl_nlmsg_get_payload(n));
    if (e->error == 0)
        return MNL_CB_STOP;
    sink->error = -e->error;
    if (n->nlmsg_flags & NLM_F_ACK_TLVS) {
        // With NETLINK_CAP_ACK the request is not echoed: the extended
        // acknowledgement's attributes follow the error at once.
        Attributes a;
        if (n->nlmsg_flags & NLM_F_CAPPED && parse(n, sizeof(nlmsgerr), NLMSGERR_ATTR_MAX, &a)) {
            const nlattr *msg = a.get(NLMSGERR_ATTR_MSG);
            if (msg && mnl_attr_validate(msg, MNL_TYPE_NUL_STRING) >= 0)
                sink->message = QString::fromUtf8(mnl_attr_get_str(msg)).left(200);
        }
    }
    errno = sink->error;
    return MNL_CB_ERROR;
}

} // namespace

bool Socket::exchange(void *request, Run &run, QString *why)
{
    if (!nl) {
        *why = openError;
        return false;
    }
    auto *n = static_cast<nlmsghdr *>(request);
    n->nlmsg_seq = ++seq;
    n->nlmsg_flags |= NLM_F_ACK;
    if (mnl_socket_sendto(nl, n, n->nlmsg_len) < 0) {
        *why = QStringLiteral("netlink: %1").arg(sysText(errno));
        return false;
    }
    static thread_local unsigned char buffer[ReceiveBytes];
    Sinks sinks(&run.each);
    // A control array replaces libmnl's own handling of every type it covers.
    mnl_cb_t control[NLMSG_MIN_TYPE] = {};
    control[NLMSG_NOOP] = [](const nlmsghdr *, void *) { return int(MNL_CB_OK); };
    control[NLMSG_ERROR] = onError;
    control[NLMSG_DONE] = [](const nlmsghdr *, void *) { return int(MNL_CB_STOP); };
    control[NLMSG_OVERRUN] = [](const nlmsghdr *, void *) {
        errno = ENOSPC;
        return int(MNL_CB_ERROR);
    };
    for (;;) {
        const ssize_t got = mnl_socket_recvfrom(nl, buffer, sizeof buffer);
        if (got < 0) {
            *why = QStringLiteral("netlink: %1").arg(sysText(errno));
            return false;
        }
        const int r = mnl_cb_run2(buffer, static_cast<size_t>(got), seq, portid, onData, &sinks, control,
                                  NLMSG_MIN_TYPE);
        if (r == MNL_CB_STOP)
            return true;
        if (r < 0) {
            run.error = sinks.error ? sinks.error : errno;
            *why = sysText(run.error);
            if (!sinks.message.isEmpty())
                *why += QStringLiteral(" (%1)").arg(sinks.message);
            return false;
        }
        if (++run.messages > MaxMessages) {
            *why = QStringLiteral("netlink: the kernel's answer does not end");
            return false;
        }
    }
}

bool Socket::change(const Message &m, QString *why, int *error)
{
    if (error)
        *error = 0;
    for (unsigned at = 0; at + NLMSG_HDRLEN <= m.length;) {
        alignas(4) unsigned char copy[sizeof m.bytes];
        std::memcpy(copy, m.bytes + at, m.length - at);
        const auto *n = reinterpret_cast<const nlmsghdr *>(copy);
        if (n->nlmsg_len < NLMSG_HDRLEN || at + n->nlmsg_len > m.length)
            break;
        at += MNL_ALIGN(n->nlmsg_len);
        Run run;
        if (!exchange(copy, run, why)) {
            if (error)
                *error = run.error;
            return false;
        }
    }
    return true;
}

bool Socket::link(int index, Link *out, QString *why)
{
    alignas(4) unsigned char buffer[256] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_GETLINK, 0, sizeof(ifinfomsg), &body);
    static_cast<ifinfomsg *>(body)->ifi_index = index;
    bool seen = false;
    Run run;
    run.each = [&](const nlmsghdr *m) {
        Attributes a;
        if (m->nlmsg_type != RTM_NEWLINK || !parse(m, sizeof(ifinfomsg), IFLA_MAX < 63 ? IFLA_MAX : 63, &a))
            return;
        const auto *ifi = static_cast<const ifinfomsg *>(mnl_nlmsg_get_payload(m));
        if (ifi->ifi_index != index)
            return;
        out->index = index;
        out->type = ifi->ifi_type;
        out->flags = ifi->ifi_flags;
        out->name = stringAt(a, IFLA_IFNAME);
        out->mac = bytesAt(a, IFLA_ADDRESS, 6);
        if (out->mac.size() != 6)
            out->mac.clear();
        seen = !out->name.isEmpty();
    };
    if (!exchange(n, run, why))
        return false;
    if (!seen)
        *why = QStringLiteral("the kernel gave no name for link %1").arg(index);
    return seen;
}

bool Socket::addresses(QVector<Address> *out, QString *why)
{
    alignas(4) unsigned char buffer[256] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_GETADDR, NLM_F_DUMP, sizeof(ifaddrmsg), &body);
    static_cast<ifaddrmsg *>(body)->ifa_family = AF_INET;
    out->clear();
    Run run;
    run.each = [&](const nlmsghdr *m) {
        Attributes a;
        if (m->nlmsg_type != RTM_NEWADDR || !parse(m, sizeof(ifaddrmsg), IFA_MAX, &a))
            return;
        const auto *ifa = static_cast<const ifaddrmsg *>(mnl_nlmsg_get_payload(m));
        Address x;
        if (ifa->ifa_family != AF_INET || ifa->ifa_prefixlen > 32 || !ipAt(a, IFA_LOCAL, &x.local))
            return;
        x.index = static_cast<int>(ifa->ifa_index);
        x.prefixLength = ifa->ifa_prefixlen;
        x.flags = ifa->ifa_flags;
        quint32 flags = 0;
        if (u32At(a, IFA_FLAGS, &flags))
            x.flags |= flags;
        x.label = stringAt(a, IFA_LABEL);
        x.protocol = u8At(a, IFA_PROTO);
        out->append(x);
    };
    return exchange(n, run, why);
}

namespace {

bool neighbourFrom(const nlmsghdr *m, int index, Neighbour *x)
{
    Attributes a;
    if (m->nlmsg_type != RTM_NEWNEIGH || !parse(m, sizeof(ndmsg), NDA_MAX, &a))
        return false;
    const auto *nd = static_cast<const ndmsg *>(mnl_nlmsg_get_payload(m));
    if (nd->ndm_family != AF_INET || nd->ndm_ifindex != index || !ipAt(a, NDA_DST, &x->address))
        return false;
    x->state = nd->ndm_state;
    x->flags = nd->ndm_flags;
    x->lladdr = bytesAt(a, NDA_LLADDR, 32);
    x->protocol = u8At(a, NDA_PROTOCOL);
    return true;
}

} // namespace

bool Socket::neighbour(int index, quint32 address, Neighbour *out, bool *found, QString *why)
{
    alignas(4) unsigned char buffer[256] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_GETNEIGH, 0, sizeof(ndmsg), &body);
    auto *nd = static_cast<ndmsg *>(body);
    nd->ndm_family = AF_INET;
    nd->ndm_ifindex = index;
    mnl_attr_put_u32(n, NDA_DST, htonl(address));
    *found = false;
    Run run;
    run.each = [&](const nlmsghdr *m) {
        Neighbour x;
        if (neighbourFrom(m, index, &x) && x.address == address) {
            *out = x;
            *found = true;
        }
    };
    if (exchange(n, run, why))
        return *found;
    if (run.error == ENOENT)
        why->clear();
    return false;
}

bool Socket::neighbours(int index, QVector<Neighbour> *out, QString *why)
{
    alignas(4) unsigned char buffer[256] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_GETNEIGH, NLM_F_DUMP, sizeof(ndmsg), &body);
    static_cast<ndmsg *>(body)->ndm_family = AF_INET;
    out->clear();
    Run run;
    run.each = [&](const nlmsghdr *m) {
        Neighbour x;
        if (neighbourFrom(m, index, &x))
            out->append(x);
    };
    return exchange(n, run, why);
}

bool Socket::route(quint32 address, Route *out, bool *found, QString *why)
{
    alignas(4) unsigned char buffer[256] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_GETROUTE, 0, sizeof(rtmsg), &body);
    auto *rt = static_cast<rtmsg *>(body);
    rt->rtm_family = AF_INET;
    rt->rtm_dst_len = 32;
    // The table entry that matched, with its own prefix, not a host route
    // made up for the answer.
    rt->rtm_flags = RTM_F_FIB_MATCH;
    mnl_attr_put_u32(n, RTA_DST, htonl(address));
    *found = false;
    Run run;
    run.each = [&](const nlmsghdr *m) {
        Attributes a;
        if (m->nlmsg_type != RTM_NEWROUTE || !parse(m, sizeof(rtmsg), RTA_MAX, &a))
            return;
        const auto *r = static_cast<const rtmsg *>(mnl_nlmsg_get_payload(m));
        out->type = r->rtm_type;
        out->dstLength = r->rtm_dst_len;
        quint32 oif = 0;
        u32At(a, RTA_OIF, &oif);
        out->oif = static_cast<int>(oif);
        ipAt(a, RTA_GATEWAY, &out->gateway);
        ipAt(a, RTA_PREFSRC, &out->prefsrc);
        *found = true;
    };
    if (exchange(n, run, why))
        return *found;
    if (run.error == ENETUNREACH || run.error == EHOSTUNREACH || run.error == ENETDOWN)
        why->clear();
    return false;
}

bool Socket::mayChange(QString *why)
{
    alignas(4) unsigned char buffer[64] = {};
    void *body = nullptr;
    nlmsghdr *n = header(buffer, RTM_DELADDR, 0, sizeof(ifaddrmsg), &body);
    // Link 0 never exists: past the permission check the kernel finds nothing to delete.
    static_cast<ifaddrmsg *>(body)->ifa_family = AF_INET;
    Run run;
    if (exchange(n, run, why))
        return true;
    if (run.error == EPERM || run.error == EACCES) {
        why->clear();
        return false;
    }
    if (run.error != ENODEV && run.error != EINVAL)
        return false;
    why->clear();
    return true;
}

} // namespace rtnl
