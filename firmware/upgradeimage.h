#ifndef TARVO_UPGRADEIMAGE_H
#define TARVO_UPGRADEIMAGE_H

#include <QByteArray>
#include <QString>

// An upgrade file read once and checked; the bytes that passed are the
// bytes that are sent. Copies share the bytes: any number of upgrades of
// one file hold one decoded image between them.
struct UpgradeImage {
    enum Status {
        Ok,
        Unreadable, // not a regular file, or it cannot be opened: `error` says why
        TooShort,
        TooLarge,
        Damaged,
        RawImage, // a firmware image as built, not scrambled into an upgrade file
    };
    Status status = Unreadable;
    QString error;       // the system's reason, for Unreadable
    QByteArray file;     // the file's bytes as read (scrambled), whole
    QByteArray image;    // the same bytes unscrambled: what the node receives
    QByteArray version;  // versionText of the decoded image
    qint64 size = 0;     // the file's size, as far as it was read

    // No node holds more than a few hundred KiB: a larger file is damaged,
    // and reading stops there.
    enum : qint64 { MaxFileSize = 512 * 1024 };

    bool ok() const { return status == Ok; }

    // Refuses anything but a regular file at once (a FIFO would block for
    // ever), reads at most MaxFileSize + 1 bytes, decodes and checks the
    // first 131072: checksum over 0..0x1FFFB and brand 0. Traces as the
    // window always has ("Error opening file!", "Upgrade file too short: N",
    // "Calculated CRC: N", "CRC error: N") and "Upgrade file too large: N".
    static UpgradeImage read(const QString &path);
    // The same checks on a file's bytes already read.
    static UpgradeImage check(const QByteArray &file);
};

#endif
