#include "app/mainwindow.h"

#include "app/trace.h"
#include "link/devicerecord.h"

void MainWindow::searchForDevices() {}
void MainWindow::discoveryResponseMessage() {}
void MainWindow::displayDevice() {}
void MainWindow::clearDeviceDetails() {}
void MainWindow::addDeviceEntry(const QByteArray &) {}
bool MainWindow::isKnownDevice(const QByteArray &) const { return false; }
