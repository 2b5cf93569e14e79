#ifndef TARVO_NODEINFO_H
#define TARVO_NODEINFO_H

#include <QByteArray>
#include <QHostAddress>
#include <QString>

// One node as a discovery reply described it, with the address the reply
// came from: the address the tool connects to, and the one that names the
// node when two report the same serial. Texts are the node's own bytes
// (8-bit, up to the field's NUL); show them through printable().
struct NodeInfo {
    QByteArray serial;
    QByteArray label;
    QByteArray firmware;
    QByteArray name;
    QByteArray mac;        // six bytes, the first byte first
    QHostAddress address;  // where the reply came from
    quint32 ip = 0, mask = 0, gateway = 0; // the network settings the node reports
    quint32 deviceType = 0;
    quint16 replyStatus = 0;
    QByteArray record;     // the reply's 512-byte record, as received
    // Another node answering the same search reports this serial too.
    bool sharedSerial = false;

    // Reads the fields of a discovery reply (at least its 282 used bytes;
    // fields a shorter one lacks stay empty).
    static NodeInfo fromRecord(const QByteArray &record, const QHostAddress &sender);

    bool isValid() const { return !record.isEmpty(); }
    bool bootLoader() const;
    // "application" or "bootloader".
    QString mode() const;
    // "02:54:41:52:70:01".
    QString macText() const;
    // How messages name the node: its serial, made printable, and address.
    QString displayName() const;
};

#endif
