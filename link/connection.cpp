#include "app/mainwindow.h"

#include "app/trace.h"

void MainWindow::connectToDevice(QListWidgetItem *) {}
void MainWindow::deviceConnected() {}
void MainWindow::connectBtnPressed() {}
void MainWindow::tcpMessageHandler() {}
void MainWindow::deviceDisconnected() {}
void MainWindow::timerTimeout() {}
bool MainWindow::selectedIndexValid() const { return selectedDeviceIndex >= 0 && selectedDeviceIndex < devices.size(); }
void MainWindow::sendMessage(MessageCommand) {}
void MainWindow::handleMessage(const QByteArray &) {}
void MainWindow::closeStatusBox() {}
void MainWindow::execStatusBox() {}
