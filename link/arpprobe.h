#ifndef TARVO_ARPPROBE_H
#define TARVO_ARPPROBE_H

#include <QByteArray>
#include <QString>
#include <QVector>

// A duplicate-address check on one Ethernet link: ARP probes for each
// candidate address (sender address 0.0.0.0, so that no host's table learns
// anything from them), and whoever answers for one, or announces or probes
// it, holds it. Needs CAP_NET_RAW. Addresses are IPv4 in host order.
struct ArpProbe {
    int index = 0;     // the link
    QByteArray mac;    // its six-byte address, the probes' sender
    int probes = 3;    // per candidate, spread over the first half of the window
    int windowMs = 500;

    // The candidates someone holds, in `held`; false with the reason when
    // the check could not run (`denied`: for want of CAP_NET_RAW).
    bool run(const QVector<quint32> &candidates, QVector<quint32> *held, QString *why, bool *denied) const;
};

#endif
