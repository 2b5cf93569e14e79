#ifndef TARVO_CONFIGVALUES_H
#define TARVO_CONFIGVALUES_H

#include "config/configrecord.h"

#include <QByteArray>
#include <QString>
#include <array>

// A node's configuration as the operator sees it: the universe as shown
// (1..256), timings in microseconds, the merge mode as its word (0 HTP, 1
// LTP, as the boxes' index; a node's other value is kept as it is, and the
// window shows it as LTP), the label and the network settings in dotted
// form. The
// window's form and the command line's files both turn into this, and one
// builder makes the SetConfig record from it.
struct PortValues {
    enum Field { Universe, Break, Mab, Mbf, Wait, Channels, FieldCount };
    std::array<quint32, FieldCount> field{};
    quint32 mergeMode = 0;
};

struct ConfigValues {
    QByteArray label;
    QString ip, mask, gateway;
    std::array<PortValues, ConfigRecord::PortCount> ports{};

    // Reads a complete record (ConfigRecord::complete); the universe is
    // shown as the stored index plus one, wrapping as the form does.
    static ConfigValues fromRecord(const QByteArray &record);
    // Every value the tool writes is the same.
    bool sameAs(const ConfigValues &other) const;
};

// The checks of "Set", in their order. A refusal is data: which check,
// which port and field, the range and the value; each front end words it
// its own way (the window with its boxes' texts).
namespace configcheck {

struct Range {
    quint32 low, high;
};
// The one table of ranges: the form's validators and the checks use it.
Range range(PortValues::Field field);

enum class Check { None, NotConnected, LabelTooLong, Address, PortField };

struct Refusal {
    Check check = Check::None;
    int address = -1; // Address: 0 IP address, 1 subnet mask, 2 gateway
    int port = -1;    // PortField: 0..3
    PortValues::Field field = PortValues::Universe;
    Range range{0, 0};
    quint32 value = 0; // the value refused, for a port field
    bool refused() const { return check != Check::None; }
};

Refusal notConnected();
Refusal labelTooLong();
Refusal badAddress(int which); // 0 IP address, 1 subnet, 2 gateway
Refusal badPortField(int port, PortValues::Field field, quint32 value = 0);

// Names for people: "universe", "BREAK time", ...; "IP address", "subnet mask", "gateway".
QString fieldName(PortValues::Field field);
QString addressName(int which);

// Checks every value in the order "Set" does and builds the fresh 1024-byte
// SetConfig record. At the first failing check, returns its refusal and
// leaves `record` untouched.
Refusal buildSetConfig(const ConfigValues &values, QByteArray *record);

} // namespace configcheck

#endif
