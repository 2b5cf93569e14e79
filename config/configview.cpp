#include "app/mainwindow.h"

#include "link/trace.h"
#include "config/portfields.h"
#include "link/devicerecord.h"

#include <QListWidget>
#include <cstring>

// Shows the port settings of a record as the node sent them; ranges are
// only enforced when the operator sends them back.
void MainWindow::showPortConfig(const QByteArray &record)
{
    // A short record (or none yet) would show a mix of old and missing
    // values: leave the fields as they are.
    if (!ConfigRecord::complete(record))
        return;
    const auto ports = portFields(ui);
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        for (const PortFields::Field &field : ports[port].fields) {
            quint32 value = wire::u32(record, ConfigRecord::portField(port, field.word));
            if (field.word == PortConfig::UniverseIndex)
                value += 1u; // wraps: an index with all bits set shows "0"
            field.line->setText(QString::number(value));
        }
        ports[port].mergeMode->setCurrentIndex(wire::u32(record, ConfigRecord::mergeMode(port)) == 0 ? 0 : 1);
    }
}

bool MainWindow::netInfoChanged(const QByteArray &record)
{
    trace(QStringLiteral("Checking net info changes..."));
    // Without both network blocks there is nothing to compare: assume the
    // node may be moving, so that the tool lets go of it.
    if (!ConfigRecord::complete(record) || !ConfigRecord::complete(lastConfigMessage))
        return true;
    if (std::memcmp(record.constData() + ConfigRecord::IpOffset, lastConfigMessage.constData() + ConfigRecord::IpOffset,
                    ConfigRecord::NetworkSize) != 0)
        return true;
    trace(QStringLiteral("Net info doesn't changed"));
    return false;
}

void MainWindow::handleConfigReply(const QByteArray &message)
{
    if (!ConfigRecord::complete(message)) {
        trace(QStringLiteral("Short config message ignored: ") + QString::number(message.size()));
        return;
    }
    lastConfigMessage = message;
    showPortConfig(lastConfigMessage);
    for (int i = 0; i < devices.size(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        if (!item || !item->isSelected())
            continue;
        const QByteArray serial = DeviceRecord::serialNumber(devices.at(i)).left(int(sizeof connectedSerial) - 1);
        std::memset(connectedSerial, 0, sizeof connectedSerial);
        std::memcpy(connectedSerial, serial.constData(), size_t(serial.size()));
        trace(QStringLiteral("Serial number: ") + QString::fromLatin1(connectedSerial));
    }
}
