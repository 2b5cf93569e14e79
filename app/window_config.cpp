#include "app/mainwindow.h"

#include "app/portfields.h"
#include "config/configexchange.h"
#include "config/configvalues.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"

#include <QListWidget>
#include <QMessageBox>
#include <QValidator>

namespace {

using configcheck::Check;

// Each port's box texts in check order (universe, BREAK, MAB, MBF, WAIT,
// channels), the window's own, spelling and punctuation included, and which
// of them show no icon.
struct PortText {
    const char *text;
    bool warning;
};
const PortText portTexts[ConfigRecord::PortCount][PortValues::FieldCount] = {
    {{"DMX Port 1: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 1: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 1: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 1: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 1: WAIT time is invalid!Choose value between 10 and 999 us", true},
     {"DMX Port 1: Channels number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 2: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 2: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 2: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 2: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 2: WAIT time is invalid! Choose value between 10 and 999 us", true},
     {"DMX Port 2: Channels number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 3: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 3: BREAK time is invalid! Choose value between 92 nad 999 us.", true},
     {"DMX Port 3: MAB time is invalid! Choose value between 12 and 999 us.", true},
     {"DMX Port 3: MBF time is invalid! Choose value between 0 and 999 us.", true},
     {"DMX Port 3: WAIT time is invalid! Choose value between 10 and 999 us.", true},
     {"DMX Port 3: Channel number is invalid! Choose value between 24 and 512.", true}},
    {{"DMX Port 4: universe is invalid! Choose value between 1 and 256.", true},
     {"DMX Port 4: BREAK time is invalid! Choose value between 92 and 999 us.", true},
     {"DMX Port 4: MAB time is invalid! Choose value between 12 and 999 us.", false},
     {"DMX Port 4: MBF time is invalid! Choose value between 0 and 999 us.", false},
     {"DMX Port 4: WAIT time is invalid! Choose value between 10 and 999 us.", false},
     {"DMX Port 4: Channels number is invalid! Choose value between 24 and 512.", false}},
};

// The box a refusal shows, titled "Config error".
void refuse(const configcheck::Refusal &refusal)
{
    static const char *const addressTexts[3] = {"IP address is invalid!", "Subnet is invalid!", "Gateway is invalid!"};
    QString text;
    bool warning = true;
    switch (refusal.check) {
    case Check::None:
        return;
    case Check::NotConnected:
        text = QStringLiteral("You are not connected to device!");
        break;
    case Check::LabelTooLong:
        text = QStringLiteral("Device name is too long!");
        break;
    case Check::Address:
        text = QString::fromLatin1(addressTexts[refusal.address]);
        break;
    case Check::PortField:
        text = QString::fromLatin1(portTexts[refusal.port][refusal.field].text);
        warning = portTexts[refusal.port][refusal.field].warning;
        break;
    }
    QMessageBox box(warning ? QMessageBox::Warning : QMessageBox::NoIcon, QStringLiteral("Config error"), text,
                    QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

// The field's own validator is the one place its range or pattern lives.
bool acceptable(const QLineEdit *line)
{
    const QValidator *validator = line->validator();
    QString text = line->text();
    int pos = 0;
    return validator && validator->validate(text, pos) == QValidator::Acceptable;
}

} // namespace

// Shows the port settings of a record as the node sent them; ranges are
// only enforced when the operator sends them back.
void MainWindow::showPortConfig(const QByteArray &record)
{
    // A short record (or none yet) would show a mix of old and missing
    // values: leave the fields as they are.
    if (!ConfigRecord::complete(record))
        return;
    const ConfigValues values = ConfigValues::fromRecord(record);
    const auto ports = portFields(ui);
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        for (int f = 0; f < PortValues::FieldCount; ++f)
            ports[port].fields[f]->setText(QString::number(values.ports[size_t(port)].field[size_t(f)]));
        // Any value but 0 is LTP.
        ports[port].mergeMode->setCurrentIndex(values.ports[size_t(port)].mergeMode == 0 ? 0 : 1);
    }
}

// A GetConfig reply or a SetConfig acknowledgement, stored by the engine.
void MainWindow::configReceived(const QByteArray &record)
{
    showPortConfig(record);
    for (int i = 0; i < devices.size(); ++i) {
        const QListWidgetItem *item = ui->listWidget->item(i);
        if (!item || !item->isSelected())
            continue;
        setConnectedSerial(devices.at(i));
        trace(QStringLiteral("Serial number: ") + printable(QByteArray(connectedSerial)));
    }
}

void MainWindow::sendConfig()
{
    if (!session->isConnected()) {
        refuse(configcheck::notConnected());
        return;
    }

    ConfigValues values;
    values.label = ui->DeviceLabelLine->text().toLatin1();
    if (values.label.size() > ConfigRecord::LabelSize - 1) {
        refuse(configcheck::labelTooLong());
        return;
    }
    trace(QStringLiteral("Device name: ") + printable(values.label));

    QLineEdit *const addresses[3] = {ui->IPLine, ui->SubnetLine, ui->GatewayLine};
    QString *const texts[3] = {&values.ip, &values.mask, &values.gateway};
    for (int i = 0; i < 3; ++i) {
        if (!acceptable(addresses[i])) {
            refuse(configcheck::badAddress(i));
            return;
        }
        *texts[i] = addresses[i]->text();
    }

    const auto ports = portFields(ui);
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        for (int f = 0; f < PortValues::FieldCount; ++f) {
            const QLineEdit *line = ports[port].fields[f];
            bool ok = false;
            const uint value = line->text().toUInt(&ok, 10);
            // A text the validator takes but that is no plain number (a
            // group separator, digits of another script) must not go out as 0.
            if (!acceptable(line) || !ok) {
                refuse(configcheck::badPortField(port, PortValues::Field(f)));
                return;
            }
            values.ports[size_t(port)].field[size_t(f)] = value;
        }
        values.ports[size_t(port)].mergeMode = quint32(ports[port].mergeMode->currentIndex());
    }

    QByteArray record;
    const configcheck::Refusal refusal = configcheck::buildSetConfig(values, &record);
    if (refusal.refused()) {
        refuse(refusal);
        return;
    }

    // The list keeps the node's old text until the next search, but its
    // details show the new label at once.
    for (QByteArray &device : devices) {
        if (isConnectedSerial(device)) {
            wire::putText(device, DeviceRecord::LabelOffset, DeviceRecord::LabelSize, values.label);
            break;
        }
    }

    if (config->sendConfig(record) == ConfigExchange::Sent::NetworkChanged)
        return;

    // One status box at a time: a second "Set" replaces the first one's.
    closeStatusBox();
    auto *box = new QMessageBox();
    box->setWindowTitle(QStringLiteral("Set config status"));
    box->setText(QStringLiteral("Sending new configuration..."));
    box->setIcon(QMessageBox::Information);
    box->setStandardButtons(QMessageBox::NoButton);
    statusBox = box;
    // Shown first and only then made modal, so the window still takes input.
    box->show();
    box->setModal(true);
}

void MainWindow::setDefaultConfig()
{
    if (session->isConnected()) {
        config->requestDefault();
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Default config status"),
                    QStringLiteral("You are not connected to device!"), QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}
