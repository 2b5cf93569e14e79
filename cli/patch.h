#ifndef TARVO_CLI_PATCH_H
#define TARVO_CLI_PATCH_H

#include "config/configvalues.h"

#include <QString>
#include <QStringList>
#include <QVector>

// config set's --set KEY=VALUE: one field of the configuration, named as the
// configuration file and the plan name it ("label", "network.ip",
// "ports[1].break", "ports[*].universe" for all four ports), each node
// keeping every other value it has. A number or an address ending in '+'
// counts up from node to node ("ports[*].universe=1+": the first node's
// ports 1 to 4, the next 5 to 8; "network.ip=192.0.2.100+").
struct Setting {
    enum class Field { Label, Ip, Mask, Gateway, Port, Merge };
    Field field = Field::Label;
    int port = -1; // 0..3, or -1 for all four
    PortValues::Field portField = PortValues::Universe;
    QString key;   // as given
    QString text;  // the value as given, without a sequence's '+'
    quint64 number = 0; // a number's or an address's value
    bool sequence = false;

    // How many a sequence counts per node: four for all ports, else one.
    int step() const { return field == Field::Port && port < 0 ? 4 : 1; }
};

struct Patch {
    QVector<Setting> settings;
    bool sequence() const;
    bool setsAddress() const;
};

// Reads the --set arguments; the first that is not one gives the refusal.
Patch parsePatch(const QStringList &given, QString *refusal);

// Where a sequence for `count` nodes goes beyond what its field takes:
// the refusal, naming the setting; empty when none does. Addresses are
// counted within the network of `mask`.
QString sequenceRange(const Patch &patch, int count, quint32 mask);

// The address the patch gives the node at `position` of the sequence, or
// `current` where it sets none.
quint32 addressAt(const Patch &patch, int position, quint32 current);

// Puts the patch's values for the node at `position` into `values`.
void applyPatch(const Patch &patch, int position, ConfigValues *values);

#endif
