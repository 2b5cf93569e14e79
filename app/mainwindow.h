#ifndef TARVO_MAINWINDOW_H
#define TARVO_MAINWINDOW_H

#include <QByteArray>
#include <QFile>
#include <QHostAddress>
#include <QMainWindow>
#include <QString>
#include <QTimer>
#include <QVector>

#include "link/messages.h"

class QListWidgetItem;
class QMessageBox;
class QTcpSocket;
class QUdpSocket;

namespace Ui {
class MainWindowClass;
}

// The one window of the tool and the owner of all run-time state. Every
// button, socket notification and timer expiry reaches one of the fifteen
// slots below; their order is their index in the meta-object, which the
// production operations are reached by.
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
    // Start-up (app/)
    void connectButtons();
    void initNetwork();
    void initFormInputs();
    void setDisconnectedView();
    void setConnectedView();
    void clearPortFields();

    // Discovery and connection (link/)
    void clearDeviceDetails();
    void raiseReceiveBuffer();
    void addDeviceEntry(const QByteArray &datagram);
    bool isKnownDevice(const QByteArray &datagram) const;
    bool selectedIndexValid() const;
    void connectToIndex(int index);
    void dropConnection();
    void sendMessage(MessageCommand command);
    void handleMessage(const QByteArray &message);
    void closeStatusBox();
    void execStatusBox();

    // Configuration (config/)
    void showPortConfig(const QByteArray &record);
    bool netInfoChanged(const QByteArray &record);
    void handleConfigReply(const QByteArray &message);
    void handleDefaultConfigReply(const QByteArray &message);

    // Firmware (firmware/)
    void sendPacket(qint64 n);
    void handleEraseReply(const QByteArray &message);
    void handleProgramReply(const QByteArray &message);
    void handleCrcReply(const QByteArray &message);
    void handleResetReply(const QByteArray &message);

    // Tests reach the state through this one friend.
    friend struct MainWindowProbe;

    Ui::MainWindowClass *ui;
    QFile upgradeFile;
    QTimer operationTimer;
    QTcpSocket *tcpSocket = nullptr;
    QUdpSocket *udpSocket = nullptr;
    QMessageBox *statusBox = nullptr;
    QVector<QByteArray> devices;
    QVector<QHostAddress> deviceAddresses;
    QByteArray lastConfigMessage;
    char connectedSerial[16] = {};
    UpgradeState upgradeState = Idle;
    QString upgradeFileName;
    QByteArray firmwareImage;
    int packetNumber = 0;
    int selectedDeviceIndex = -1;
};

#endif
