#ifndef TARVO_MAINWINDOW_H
#define TARVO_MAINWINDOW_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include "firmware/firmwareupgrade.h"

class ConfigExchange;
class Discovery;
class NodeSession;
class QListWidgetItem;
class QMessageBox;
class QProgressBar;

namespace Ui {
class MainWindowClass;
}

// The one window of the tool: a client of the engine (link/, config/,
// firmware/). It reads the form, calls the engine and shows what the engine
// reports. Every button, socket notification and timer expiry reaches one
// of the fifteen slots below; their order is their index in the
// meta-object, which the production operations are reached by.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private slots:
    void searchForDevices();
    void connectToDevice(QListWidgetItem *item);
    void discoveryResponseMessage();
    void deviceConnected();
    void connectBtnPressed();
    void displayDevice();
    void tcpMessageHandler();
    void sendConfig();
    void deviceDisconnected();
    void setDefaultConfig();
    void timerTimeout();
    void updateFirmware();
    void runApp();
    void createUpg();
    void createBootBin();

private:
    // Start-up and views (mainwindow.cpp)
    void connectButtons();
    void initNetwork();
    void connectEngine();
    void initFormInputs();
    void setDisconnectedView();
    void setConnectedView();
    void clearPortFields();

    // Discovery and connection (window_link.cpp)
    void clearDeviceDetails();
    void addDeviceEntry(int index);
    bool selectedIndexValid() const;
    void connectToIndex(int index);
    // connectedSerial holds 15 characters of a serial and its NUL; a
    // record's serial is compared on the same characters.
    void setConnectedSerial(const QByteArray &record);
    bool isConnectedSerial(const QByteArray &record) const;
    void closeStatusBox();
    void execStatusBox();

    // Configuration (window_config.cpp)
    void showPortConfig(const QByteArray &record);
    void configReceived(const QByteArray &record);

    // Firmware (window_firmware.cpp)
    void upgradeFinished(FirmwareUpgrade::Result result);
    void showUpgradeResult(int icon, const QString &text);
    void settleAndSearch();

    // Tests reach the state through this one friend.
    friend struct MainWindowProbe;

    Ui::MainWindowClass *ui;
    // Guards a configuration write (3000 ms) or a whole upgrade (20000 ms);
    // both exchanges share it, and its expiry reaches timerTimeout().
    QTimer operationTimer;
    Discovery *discovery = nullptr;
    NodeSession *session = nullptr;
    ConfigExchange *config = nullptr;
    FirmwareUpgrade *upgrade = nullptr;
    // One discovery record per row of the list, as received (a successful
    // "Set" puts its new label into the connected node's), and the address
    // each came from.
    QVector<QByteArray> devices;
    QVector<QHostAddress> deviceAddresses;
    QMessageBox *statusBox = nullptr;
    QPointer<QProgressBar> upgradeProgress; // inside the upgrade's status box
    QElapsedTimer progressShown;
    char connectedSerial[16] = {};
    QString upgradeFileName;
    int selectedDeviceIndex = -1;
};

#endif
