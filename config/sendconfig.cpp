#include "app/mainwindow.h"

#include "link/trace.h"
#include "config/portfields.h"
#include "link/devicerecord.h"

#include <QMessageBox>
#include <QTcpSocket>
#include <QValidator>

namespace {

struct Refusal {
    const char *text;
    QMessageBox::Icon icon;
};

constexpr QMessageBox::Icon W = QMessageBox::Warning;
constexpr QMessageBox::Icon N = QMessageBox::NoIcon;

// The refusals of each port's fields, in check order (universe, BREAK, MAB,
// MBF, WAIT, channels). The texts are the node tool's own, spelling and
// punctuation included, and so are the four boxes without an icon.
const Refusal portRefusals[ConfigRecord::PortCount][PortFields::Count] = {
    {{"DMX Port 1: universe is invalid! Choose value between 1 and 256.", W},
     {"DMX Port 1: BREAK time is invalid! Choose value between 92 and 999 us.", W},
     {"DMX Port 1: MAB time is invalid! Choose value between 12 and 999 us.", W},
     {"DMX Port 1: MBF time is invalid! Choose value between 0 and 999 us.", W},
     {"DMX Port 1: WAIT time is invalid!Choose value between 10 and 999 us", W},
     {"DMX Port 1: Channels number is invalid! Choose value between 24 and 512.", W}},
    {{"DMX Port 2: universe is invalid! Choose value between 1 and 256.", W},
     {"DMX Port 2: BREAK time is invalid! Choose value between 92 and 999 us.", W},
     {"DMX Port 2: MAB time is invalid! Choose value between 12 and 999 us.", W},
     {"DMX Port 2: MBF time is invalid! Choose value between 0 and 999 us.", W},
     {"DMX Port 2: WAIT time is invalid! Choose value between 10 and 999 us", W},
     {"DMX Port 2: Channels number is invalid! Choose value between 24 and 512.", W}},
    {{"DMX Port 3: universe is invalid! Choose value between 1 and 256.", W},
     {"DMX Port 3: BREAK time is invalid! Choose value between 92 nad 999 us.", W},
     {"DMX Port 3: MAB time is invalid! Choose value between 12 and 999 us.", W},
     {"DMX Port 3: MBF time is invalid! Choose value between 0 and 999 us.", W},
     {"DMX Port 3: WAIT time is invalid! Choose value between 10 and 999 us.", W},
     {"DMX Port 3: Channel number is invalid! Choose value between 24 and 512.", W}},
    {{"DMX Port 4: universe is invalid! Choose value between 1 and 256.", W},
     {"DMX Port 4: BREAK time is invalid! Choose value between 92 and 999 us.", W},
     {"DMX Port 4: MAB time is invalid! Choose value between 12 and 999 us.", N},
     {"DMX Port 4: MBF time is invalid! Choose value between 0 and 999 us.", N},
     {"DMX Port 4: WAIT time is invalid! Choose value between 10 and 999 us.", N},
     {"DMX Port 4: Channels number is invalid! Choose value between 24 and 512.", N}},
};

void refuse(QMessageBox::Icon icon, const char *text)
{
    QMessageBox box(icon, QStringLiteral("Config error"), QString::fromLatin1(text), QMessageBox::Ok);
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

void MainWindow::sendConfig()
{
    if (tcpSocket->state() != QAbstractSocket::ConnectedState) {
        refuse(QMessageBox::Warning, "You are not connected to device!");
        return;
    }

    QByteArray record = wire::message(SetConfig, ConfigRecord::Size);

    const QByteArray label = ui->DeviceLabelLine->text().toLatin1();
    if (label.size() > ConfigRecord::LabelSize - 1) {
        refuse(QMessageBox::Warning, "Device name is too long!");
        return;
    }
    wire::putText(record, ConfigRecord::LabelOffset, ConfigRecord::LabelSize, label);
    trace(QStringLiteral("Device name: ") + QString::fromLatin1(label));

    const struct {
        QLineEdit *line;
        int offset;
        const char *refusal;
    } addresses[] = {
        {ui->IPLine, ConfigRecord::IpOffset, "IP address is invalid!"},
        {ui->SubnetLine, ConfigRecord::MaskOffset, "Subnet is invalid!"},
        {ui->GatewayLine, ConfigRecord::GatewayOffset, "Gateway is invalid!"},
    };
    for (const auto &address : addresses) {
        if (!acceptable(address.line) || !ConfigRecord::putAddress(record, address.offset, address.line->text())) {
            refuse(QMessageBox::Warning, address.refusal);
            return;
        }
    }

    const auto ports = portFields(ui);
    for (int port = 0; port < ConfigRecord::PortCount; ++port) {
        for (int f = 0; f < PortFields::Count; ++f) {
            const PortFields::Field &field = ports[port].fields[f];
            bool ok = false;
            const uint value = field.line->text().toUInt(&ok, 10);
            // A text the validator takes but that is no plain number (a
            // group separator) must not go out as 0.
            if (!acceptable(field.line) || !ok) {
                refuse(portRefusals[port][f].icon, portRefusals[port][f].text);
                return;
            }
            const bool universe = field.word == PortConfig::UniverseIndex;
            wire::putU32(record, ConfigRecord::portField(port, field.word), universe ? value - 1 : value);
        }
        wire::putU32(record, ConfigRecord::mergeMode(port), quint32(ports[port].mergeMode->currentIndex()));
    }

    // The list keeps the node's old text until the next search, but its
    // details show the new label at once.
    const QByteArray serial = QByteArray(connectedSerial, int(qstrnlen(connectedSerial, sizeof connectedSerial)));
    for (QByteArray &device : devices) {
        if (DeviceRecord::serialNumber(device) == serial) {
            wire::putText(device, DeviceRecord::LabelOffset, DeviceRecord::LabelSize, label);
            break;
        }
    }

    trace(QStringLiteral("Send Config"));
    tcpSocket->write(record);

    if (netInfoChanged(record)) {
        trace(QStringLiteral("Net config has changed"));
        tcpSocket->disconnectFromHost();
        return;
    }

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
    operationTimer.setSingleShot(true);
    operationTimer.start(3000);
}
