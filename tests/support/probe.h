#ifndef TARVO_TEST_PROBE_H
#define TARVO_TEST_PROBE_H

#include "app/mainwindow.h"
#include "config/configexchange.h"
#include "firmware/firmwareupgrade.h"
#include "link/discovery.h"
#include "link/nodesession.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaMethod>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTcpSocket>
#include <QUdpSocket>

// The tests' view into the window's state; the window names it its friend.
struct MainWindowProbe {
    explicit MainWindowProbe(MainWindow &w) : w(w) {}
    MainWindow &w;

    NodeSession &session() const { return *w.session; }
    Discovery &discovery() const { return *w.discovery; }
    ConfigExchange &config() const { return *w.config; }
    FirmwareUpgrade &upgrade() const { return *w.upgrade; }

    QTcpSocket *tcpSocket() const { return w.session->socket(); }
    QUdpSocket *udpSocket() const { return w.discovery->socket(); }
    QTimer &operationTimer() const { return w.operationTimer; }
    QMessageBox *&statusBox() const { return w.statusBox; }
    QProgressBar *upgradeProgress() const { return w.upgradeProgress; }
    QVector<QByteArray> &devices() const { return w.devices; }
    QVector<QHostAddress> &deviceAddresses() const { return w.deviceAddresses; }
    const QByteArray &lastConfigMessage() const { return w.config->lastConfigMessage(); }
    QByteArray connectedSerial() const { return QByteArray(w.connectedSerial, int(qstrnlen(w.connectedSerial, 16))); }
    char *connectedSerialRaw() const { return w.connectedSerial; }
    UpgradeState upgradeState() const { return w.upgrade->state(); }
    QString &upgradeFileName() const { return w.upgradeFileName; }
    const QByteArray &firmwareImage() const { return w.upgrade->firmwareImage(); }
    int packetNumber() const { return w.upgrade->packetNumber(); }
    int &selectedDeviceIndex() const { return w.selectedDeviceIndex; }
    // An upgrade under way, as "Firmware upgrade" starts one (on whatever
    // connection there is): the guard runs, the state is no longer Idle.
    void startUpgrade(const QByteArray &upgradeFile) const { w.upgrade->start(UpgradeImage::check(upgradeFile)); }

    // Operations that are not slots, for the tests that drive them directly.
    void clearPortFields() const { w.clearPortFields(); }
    void setConnectedView() const { w.setConnectedView(); }
    void setDisconnectedView() const { w.setDisconnectedView(); }
    void showPortConfig(const QByteArray &r) const { w.showPortConfig(r); }
    bool netInfoChanged(const QByteArray &r) const { return w.config->netInfoChanged(r); }
    // A message as the node's connection would hand it on.
    void handleMessage(const QByteArray &m) const { w.session->dispatch(m); }
    void handleConfigReply(const QByteArray &m) const { w.config->acceptConfig(m); }
    void handleDefaultConfigReply(const QByteArray &m) const { w.config->handleDefaultReply(m); }

    template <typename T = QWidget>
    T *widget(const char *name) const
    {
        return w.findChild<T *>(QString::fromLatin1(name));
    }
    QLineEdit *line(const char *name) const { return widget<QLineEdit>(name); }
    QPushButton *button(const char *name) const { return widget<QPushButton>(name); }
    QLabel *label(const char *name) const { return widget<QLabel>(name); }
    QComboBox *combo(const char *name) const { return widget<QComboBox>(name); }
    QListWidget *list() const { return widget<QListWidget>("listWidget"); }

    // Calls a slot through the meta-object, by name, as production does.
    bool invoke(const char *slot) const { return QMetaObject::invokeMethod(&w, slot); }

    // The window's slots as member pointers, so that a test can ask
    // QObject::disconnect(sender, &Signal, &window, slot) whether a
    // connection was made (string-based disconnects miss these).
    using Slot = void (MainWindow::*)();
    static Slot slot(const char *name)
    {
        static const struct {
            const char *name;
            Slot slot;
        } table[] = {
            {"searchForDevices", &MainWindow::searchForDevices},
            {"discoveryResponseMessage", &MainWindow::discoveryResponseMessage},
            {"deviceConnected", &MainWindow::deviceConnected},
            {"connectBtnPressed", &MainWindow::connectBtnPressed},
            {"displayDevice", &MainWindow::displayDevice},
            {"tcpMessageHandler", &MainWindow::tcpMessageHandler},
            {"sendConfig", &MainWindow::sendConfig},
            {"deviceDisconnected", &MainWindow::deviceDisconnected},
            {"setDefaultConfig", &MainWindow::setDefaultConfig},
            {"timerTimeout", &MainWindow::timerTimeout},
            {"updateFirmware", &MainWindow::updateFirmware},
            {"runApp", &MainWindow::runApp},
            {"createUpg", &MainWindow::createUpg},
            {"createBootBin", &MainWindow::createBootBin},
        };
        for (const auto &entry : table)
            if (qstrcmp(entry.name, name) == 0)
                return entry.slot;
        return nullptr;
    }
    using ItemSlot = void (MainWindow::*)(QListWidgetItem *);
    static ItemSlot connectToDeviceSlot() { return &MainWindow::connectToDevice; }
};

// How many connections reach a signal of any object (QObject::receivers is
// protected; a member pointer named through a derived class may call it).
struct SignalReceivers : QObject {
    static int count(const QObject *sender, const char *signal) // SIGNAL(clicked(bool))
    {
        return (sender->*(&SignalReceivers::receivers))(signal);
    }
    static int count(const QObject *sender, const QMetaMethod &signal)
    {
        return count(sender, QByteArray(QByteArray::number(QSIGNAL_CODE) + signal.methodSignature()).constData());
    }
};

#endif
