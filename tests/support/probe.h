#ifndef TARVO_TEST_PROBE_H
#define TARVO_TEST_PROBE_H

#include "app/mainwindow.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTcpSocket>
#include <QUdpSocket>

// The tests' view into the window's state; the window names it its friend.
struct MainWindowProbe {
    explicit MainWindowProbe(MainWindow &w) : w(w) {}
    MainWindow &w;

    QTcpSocket *tcpSocket() const { return w.tcpSocket; }
    QUdpSocket *udpSocket() const { return w.udpSocket; }
    QTimer &operationTimer() const { return w.operationTimer; }
    QFile &upgradeFile() const { return w.upgradeFile; }
    QMessageBox *&statusBox() const { return w.statusBox; }
    QVector<QByteArray> &devices() const { return w.devices; }
    QVector<QHostAddress> &deviceAddresses() const { return w.deviceAddresses; }
    QByteArray &lastConfigMessage() const { return w.lastConfigMessage; }
    QByteArray connectedSerial() const { return QByteArray(w.connectedSerial, int(qstrnlen(w.connectedSerial, 16))); }
    char *connectedSerialRaw() const { return w.connectedSerial; }
    UpgradeState &upgradeState() const { return w.upgradeState; }
    QString &upgradeFileName() const { return w.upgradeFileName; }
    QByteArray &firmwareImage() const { return w.firmwareImage; }
    int &packetNumber() const { return w.packetNumber; }
    int &selectedDeviceIndex() const { return w.selectedDeviceIndex; }

    // Operations that are not slots, for the tests that drive them directly.
    void clearPortFields() const { w.clearPortFields(); }
    void setConnectedView() const { w.setConnectedView(); }
    void setDisconnectedView() const { w.setDisconnectedView(); }
    void showPortConfig(const QByteArray &r) const { w.showPortConfig(r); }
    bool netInfoChanged(const QByteArray &r) const { return w.netInfoChanged(r); }
    void handleMessage(const QByteArray &m) const { w.handleMessage(m); }

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
};

#endif
