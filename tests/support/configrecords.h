#ifndef TARVO_TEST_CONFIGRECORDS_H
#define TARVO_TEST_CONFIGRECORDS_H

#include "config/configrecord.h"

// A configuration record with every port word its own value (100 + 10 ×
// port + offset), on 192.0.2.10/24 with the gateway 192.0.2.254.
inline QByteArray configRecord(quint32 word = GetConfig)
{
    QByteArray r = wire::message(MessageCommand(word));
    for (int port = 0; port < ConfigRecord::PortCount; ++port)
        for (int f = 0; f < PortConfig::Size; f += 4)
            wire::putU32(r, ConfigRecord::portField(port, f), quint32(100 + 10 * port + f));
    ConfigRecord::putAddress(r, ConfigRecord::IpOffset, QStringLiteral("192.0.2.10"));
    ConfigRecord::putAddress(r, ConfigRecord::MaskOffset, QStringLiteral("255.255.255.0"));
    ConfigRecord::putAddress(r, ConfigRecord::GatewayOffset, QStringLiteral("192.0.2.254"));
    return r;
}

#endif
