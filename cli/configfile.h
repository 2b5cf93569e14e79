#ifndef TARVO_CLI_CONFIGFILE_H
#define TARVO_CLI_CONFIGFILE_H

#include "config/configvalues.h"

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QVector>

// The configuration file (docs/CLI.md): a node's settings as JSON, in the
// units the window shows. Reading checks the file's form and that every
// number is a whole 32-bit one; the ranges are the window's checks
// (configcheck::buildSetConfig), made when the record is built.
namespace configfile {

enum : int {
    FormatVersion = 1,
    MaxFileBytes = 64 * 1024, // a real file is well under 2 KiB
};

QJsonObject toJson(const ConfigValues &values, const QByteArray &serial);
// The file as written: keys in the window's order, one port a line.
QByteArray toText(const ConfigValues &values, const QByteArray &serial);

struct Parsed {
    ConfigValues values;
    QByteArray serial;
    QString error; // empty when the file was read
    bool ok() const { return error.isEmpty(); }
};

Parsed fromJson(const QByteArray &text);

// For valid JSON that gives a key twice in one object, where the second
// stands ("line 6, column 3: the key "label" is given twice"); else empty.
// QJsonDocument keeps the last one without a word, other readers the first.
QString repeatedKeyError(const QByteArray &json);

// Reads and parses a file ("-": standard input); errors name it.
Parsed readFile(const QString &path);

// One field that differs, named as in the file: "label", "network.ip",
// "ports[1].universe" (ports counted from 0, as in the file's list).
struct Change {
    QString field;
    QJsonValue from, to;
};
QVector<Change> changes(const ConfigValues &from, const ConfigValues &to);

} // namespace configfile

#endif
