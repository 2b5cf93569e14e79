#ifndef TARVO_UPGRADEFILE_H
#define TARVO_UPGRADEFILE_H

#include <QByteArray>
#include <QString>

#include <functional>

// Building an upgrade file from a raw firmware image, without a window: the
// "Create Upg" slot and the production command line share this code.
struct UpgradeFile {
    enum Result { Ok, BrandError, UnsafeName } result = Ok;
    QByteArray data;   // 131072 scrambled bytes, ready to write; empty unless Ok
    QString fileName;  // "Tarvo_v" + versionText from its second character + ".upg"
};

// `raw` is whatever was read of the source (the first 131072 bytes at most);
// it is padded with zeros and the byte sum of all 131072 bytes is stored as
// its checksum. Traces "Calculated CRC: ", "Filename: \"...\"" and, unless
// the brand is wrong, the encoding lines. A name that would leave its folder
// gives UnsafeName; the caller reports it as a failed file creation.
UpgradeFile buildUpgradeFile(const QByteArray &raw);

// Writes data to folder/name whole or not at all (QSaveFile); false on
// failure, and for a name that is not a plain file name.
bool saveWhole(const QString &folder, const QString &name, const QByteArray &data);

// Replaces the file at `path` only by a complete new one (QSaveFile), or
// leaves it as it was and gives the system's reason. Every byte is written
// and flushed, and checked, before the new file takes the old one's place:
// Qt 6.4's commit() renames a file whose last write failed (a full disk)
// and still reports success. An existing character device, FIFO or socket
// is written into instead, never replaced; a FIFO is waited on until a
// program opens it to read, or until `interrupted` (asked every 20 ms)
// says to give up.
bool writeFileWhole(const QString &path, const QByteArray &data, QString *reason = nullptr,
                    const std::function<bool()> &interrupted = {});

// The tool's program folder's subfolder (created when missing), e.g.
// programSubfolder("Upgrade"). The path is returned even when it could not
// be created, so that writing there fails rather than landing elsewhere.
QString programSubfolder(const QString &name);

// True when a name taken from an image stays inside the folder it is
// written to.
bool isPlainFileName(const QString &name);

#endif
