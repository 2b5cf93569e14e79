#include "app/mainwindow.h"

#include "app/portfields.h"
#include "config/configexchange.h"
#include "link/devicerecord.h"
#include "link/discovery.h"
#include "link/nodesession.h"
#include "link/trace.h"
#include "ui_mainwindow.h"

#include <QComboBox>
#include <QHostInfo>
#include <QInputDialog>
#include <QIntValidator>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QRegularExpressionValidator>
#include <QTcpSocket>
#include <QUdpSocket>
#include <climits>
#include <cstdlib>

MainWindow::MainWindow(QWidget *parent)
    : QMainWindow(parent), ui(new Ui::MainWindowClass)
{
    ui->setupUi(this);
    setWindowTitle(QStringLiteral("Tarvo configurator") + QLatin1Char(' ') + QStringLiteral("ver. 1.00"));
    connectButtons();
    initNetwork();
    statusBox = nullptr;
    // The form is wider than the window: the production column beyond
    // x = 760 stays out of sight on purpose.
    setFixedSize(760, 550);
    initFormInputs();
    ui->listWidget->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);

    connect(ui->DisonnectBtn, &QPushButton::clicked, session->socket(), &QAbstractSocket::disconnectFromHost);
    connect(ui->listWidget, &QListWidget::itemDoubleClicked, this, &MainWindow::connectToDevice);
    connect(ui->listWidget, &QListWidget::itemClicked, this, &MainWindow::displayDevice);
}

MainWindow::~MainWindow()
{
    // The engine outlives the form (its objects are children, destroyed
    // after this body): a connection closing then must not reach the
    // deleted widgets.
    const QObject *senders[] = {discovery, session, config, upgrade, &operationTimer};
    for (const QObject *sender : senders)
        if (sender)
            QObject::disconnect(sender, nullptr, this, nullptr);
    if (session)
        QObject::disconnect(session->socket(), nullptr, this, nullptr);
    if (discovery)
        QObject::disconnect(discovery->socket(), nullptr, this, nullptr);
    // The exchanges share operationTimer, a member: they go before it does.
    delete session;
    delete statusBox;
    delete ui;
}

void MainWindow::connectButtons()
{
    connect(ui->SearchBtn, &QPushButton::clicked, this, &MainWindow::searchForDevices);
    connect(ui->ConnectBtn, &QPushButton::clicked, this, &MainWindow::connectBtnPressed);
    connect(ui->SetBtn, &QPushButton::clicked, this, &MainWindow::sendConfig);
    connect(ui->RefreshBtn, &QPushButton::clicked, this, &MainWindow::connectBtnPressed);
    connect(ui->DefaultBtn, &QPushButton::clicked, this, &MainWindow::setDefaultConfig);
    connect(ui->FirmwareBtn, &QPushButton::clicked, this, &MainWindow::updateFirmware);
    connect(ui->QuitBtn, &QPushButton::clicked, this, &MainWindow::close);
    connect(ui->RunBtn, &QPushButton::clicked, this, &MainWindow::runApp);
}

void MainWindow::initNetwork()
{
    // The window wires the engine's sockets and timer to its own slots.
    discovery = new Discovery(this, Wiring::External);

    QHostAddress localAddress;
    QStringList addressTexts;
    for (const QHostAddress &address : Discovery::workstationAddresses()) {
        addressTexts.append(address.toString());
        trace(QStringLiteral("IP address: ") + address.toString());
    }

    if (addressTexts.isEmpty()) {
        QMessageBox box(QMessageBox::Critical, QStringLiteral("IP address error"),
                        QStringLiteral("No IP address found, application will be closed!"));
        box.exec();
        std::exit(1);
    }

    for (;;) {
        bool ok = false;
        const QString chosen = QInputDialog::getItem(this, QStringLiteral("IP"), QStringLiteral("IP address: "),
                                                     addressTexts, 0, false, &ok);
        // Cancel yields the preselected first entry, which is what is wanted.
        if (localAddress.setAddress(chosen))
            break;
        localAddress.clear();
        QMessageBox box(QMessageBox::Warning, QStringLiteral("IP address"), QStringLiteral("IP address is invalid!"));
        box.exec();
    }

    discovery->bind(localAddress); // a failed bind is not reported: no replies arrive
    trace(QStringLiteral("Hostname: ") + QHostInfo::localHostName());

    // One guard for whichever operation runs, as the window always had.
    operationTimer.setTimerType(Qt::PreciseTimer);
    session = new NodeSession(this, Wiring::External);
    config = new ConfigExchange(session, {}, &operationTimer);
    upgrade = new FirmwareUpgrade(session, {}, &operationTimer);

    connect(&operationTimer, &QTimer::timeout, this, &MainWindow::timerTimeout);
    connect(session->socket(), &QTcpSocket::connected, this, &MainWindow::deviceConnected);
    connect(discovery->socket(), &QUdpSocket::readyRead, this, &MainWindow::discoveryResponseMessage);
    connect(session->socket(), &QTcpSocket::readyRead, this, &MainWindow::tcpMessageHandler);
    connect(session->socket(), &QTcpSocket::disconnected, this, &MainWindow::deviceDisconnected);
    connectEngine();
}

// What the engine reports reaches the form; none of these is a socket or
// timer signal.
void MainWindow::connectEngine()
{
    connect(discovery, &Discovery::nodeFound, this, &MainWindow::addDeviceEntry);
    connect(config, &ConfigExchange::writeAcknowledged, this, &MainWindow::closeStatusBox);
    connect(config, &ConfigExchange::configReceived, this, &MainWindow::configReceived);
    connect(upgrade, &FirmwareUpgrade::finished, this, &MainWindow::upgradeFinished);
    connect(upgrade, &FirmwareUpgrade::progress, this, [this](qint64 sent, qint64 total) {
        // Repainting the bar for every packet would slow the lock-step
        // transfer down: a few times a second is what an eye can follow.
        if (!upgradeProgress || (sent < total && progressShown.isValid() && progressShown.elapsed() < 100))
            return;
        progressShown.start();
        upgradeProgress->setMaximum(int(qMin<qint64>(total, INT_MAX)));
        upgradeProgress->setValue(int(qMin<qint64>(sent, INT_MAX)));
    });
}

namespace {

const char *const ipOctet = "(?:[0-1]?[0-9]?[0-9]|2[0-4][0-9]|25[0-5])";

} // namespace

void MainWindow::initFormInputs()
{
    setDisconnectedView();

    // The details show a node's own texts: never as markup.
    for (QLabel *value : {ui->SerialNoLabel, ui->FirmwareLabel, ui->DevNameLabel, ui->MACLabel})
        value->setTextFormat(Qt::PlainText);

    for (QComboBox *box : {ui->MergeModeBox, ui->MergeModeBox_2, ui->MergeModeBox_3, ui->MergeModeBox_4}) {
        box->addItem(QStringLiteral("HTP"), 0);
        box->addItem(QStringLiteral("LTP"), 1);
    }

    const QString octet = QString::fromLatin1(ipOctet);
    const QRegularExpression ipAddressPattern(QStringLiteral("^") + octet + QStringLiteral("\\.") + octet +
                                              QStringLiteral("\\.") + octet + QStringLiteral("\\.") + octet +
                                              QStringLiteral("$"));
    for (QLineEdit *line : {ui->IPLine, ui->SubnetLine, ui->GatewayLine})
        line->setValidator(new QRegularExpressionValidator(ipAddressPattern, this));

    // The ranges are the checks' own (configcheck::range), so that the form
    // and the checks of "Set" cannot disagree.
    const PortValues::Field order[] = {PortValues::Channels, PortValues::Universe, PortValues::Break,
                                       PortValues::Mab,      PortValues::Mbf,      PortValues::Wait};
    const auto ports = portFields(ui);
    for (const PortValues::Field field : order) {
        const configcheck::Range range = configcheck::range(field);
        auto *validator = new QIntValidator(int(range.low), int(range.high), this);
        for (const PortFields &port : ports)
            port.fields[size_t(field)]->setValidator(validator);
    }
}

void MainWindow::setDisconnectedView()
{
    ui->ConnectBtn->show();
    ui->DisonnectBtn->hide();
    ui->RefreshBtn->show();
    ui->RefreshBtn->setEnabled(false);
    ui->RunBtn->hide();
    ui->SetBtn->setEnabled(false);
    ui->DefaultBtn->setEnabled(false);
    ui->FirmwareBtn->setEnabled(false);
    for (QLineEdit *line : {ui->DeviceLabelLine, ui->IPLine, ui->SubnetLine, ui->GatewayLine})
        line->setReadOnly(true);
}

void MainWindow::setConnectedView()
{
    const bool bootLoader = selectedIndexValid() &&
        DeviceRecord::deviceType(devices.at(selectedDeviceIndex)) == DeviceRecord::DeviceTypeBootLoader;
    ui->ConnectBtn->hide();
    ui->DisonnectBtn->show();
    if (bootLoader) {
        ui->RefreshBtn->hide();
        ui->RunBtn->show();
        ui->RunBtn->setEnabled(true);
    } else {
        ui->RefreshBtn->show();
        ui->RefreshBtn->setEnabled(true);
        ui->RunBtn->hide();
    }
    ui->SetBtn->setEnabled(true);
    ui->DefaultBtn->setEnabled(true);
    ui->FirmwareBtn->setEnabled(true);
    for (QLineEdit *line : {ui->DeviceLabelLine, ui->IPLine, ui->SubnetLine, ui->GatewayLine})
        line->setReadOnly(false);
}

void MainWindow::clearPortFields()
{
    for (const PortFields &port : portFields(ui)) {
        for (QLineEdit *field : port.fields)
            field->setText(QString());
        port.mergeMode->setCurrentIndex(0);
    }
}
