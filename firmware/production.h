#ifndef TARVO_PRODUCTION_H
#define TARVO_PRODUCTION_H

#include "firmware/bootimage.h"

#include <QByteArray>
#include <QString>

// The window-free building of factory images, shared by the window's
// production slot and the production command line, so that both check the
// same things in the same order and write the same names and bytes.
namespace production {

// What the operator is told when a run is refused: a warning box with this
// title (possibly empty) and text, or a line on standard error.
struct Refusal {
    QString title;
    QString text;
    bool refused() const { return !text.isEmpty(); }
};

// Reads at most one image (128 KiB) of a file into a zero-filled buffer of
// exactly that size. False when the file cannot be opened.
bool readImageFile(const QString &path, QByteArray &image, qint64 *fileSize = nullptr);

struct SeriesInput {
    int year = 10;
    int week = 1;
    int startNumber = 0;
    int deviceCount = 1;
    QString macText = QStringLiteral("0");
};

// One production run: one boot loader and one firmware, a series of devices
// with consecutive serial numbers and MAC addresses. Only one factory image
// is held; each device's numbers are written into it before it is saved.
// The steps are called in this order, each only when the one before passed.
class FactorySeries
{
public:
    explicit FactorySeries(const SeriesInput &input) : in(input) {}

    Refusal checkInput() const;
    void traceInput() const;
    bool loadBootLoader(const QString &path); // false: trace "Error opening file!"
    Refusal checkBootLoader() const;
    bool loadFirmware(const QString &path);
    Refusal checkFirmware() const;

    int count() const { return in.deviceCount; }
    // Device `index`'s numbers are written into the image; returns its file name.
    QString prepareDevice(int index);
    const QByteArray &image() const { return factory; }
    // Saves device `index` whole into `folder`; false (traced) when that fails,
    // also for a version text that would take the file out of its folder.
    bool writeDevice(const QString &folder, int index, QString *fileName = nullptr);

private:
    SeriesInput in;
    QByteArray bootLoader;
    QByteArray factory; // boot loader, then firmware with its checksum
    QString version;
};

} // namespace production

#endif
