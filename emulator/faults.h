#ifndef TARVO_EMULATOR_FAULTS_H
#define TARVO_EMULATOR_FAULTS_H

// The faults a node can be asked to show: one list of definitions (name,
// value, area, one line of help) from which come the parsing into a typed
// Faults value, the refusal of an unknown name or a bad value, the --help
// text and the table of --list-faults (the one in docs/EMULATOR.md).

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QSet>
#include <QString>
#include <QVector>
#include <utility>

struct Faults {
    // Discovery
    bool silent = false;
    bool noDiscovery = false;
    int discoveryDelayMs = 0;
    bool duplicateReply = false;
    enum Extra { ShortRecord, Tiny, Garbage };
    QVector<Extra> extraDatagrams;
    double floodRate = 0; // discovery-flood
    qint64 floodCount = 0;

    // Any reply on TCP
    QSet<quint32> noReply;
    int delayMs = 0;
    QHash<quint32, int> delayByWord;
    bool duplicate = false;
    bool hasAppend = false;
    quint32 append = 0;
    bool split = false;
    int splitAt = 0;
    int splitPauseMs = 60;
    int shortReplies = -1; // -1: whole replies
    int closeAfter = 0;    // 0: never
    QSet<quint32> closeAfterReply;
    QVector<quint32> sendOnConnect;
    bool hasFloodAfter = false;
    quint32 floodAfterWord = 0;
    qint64 floodAfterBytes = 0;

    // Configuration
    bool noAck = false;
    bool earlyAck = false;
    int lateAckMs = 0;
    bool outOfRange = false;
    QVector<std::pair<int, quint32>> configWords; // byte offset, value
    QString factoryIp;
    bool move = false;

    // Firmware
    bool wrongCrc = false;
    qint64 silentAfterPacket = -1; // -1: never
    QHash<qint64, qint64> ackPacket;
    bool ackTwice = false;
    int eraseDelayMs = 0;
    qint64 dropAfterPacket = -1; // -1: never
    bool restartSilently = false;
    QHash<qint64, int> refusePacket; // packet number, times refused
    int staleEvery = 0;              // 0: none
    int staleBack = 0;
    bool hasResetReply = false;
    quint32 resetReplyWord = 0;
    quint32 resetReplyNumber = 0;
    int restartMs = 0;
    bool keepVersion = false;

    // Takes every fault of `given` (name to JSON value). An unknown name or
    // a bad value gives the reason, "fault NAME=VALUE: ...", saying what the
    // fault takes; the faults before it are taken.
    QString parse(const QJsonObject &given);
};

// "NAME=VALUE" of the command line: VALUE is JSON, or plain text where it is
// not JSON (an address); "NAME" alone means true.
std::pair<QString, QJsonValue> faultArgument(const QString &argument);

// For --help: the faults by area, one line each.
QString faultHelp();
// For --list-faults and docs/EMULATOR.md: a Markdown table.
QString faultTable();
// "silent, no-discovery, ...": what a refusal lists.
QString faultNames();

#endif
