#include "app/mainwindow.h"

void MainWindow::showPortConfig(const QByteArray &) {}
bool MainWindow::netInfoChanged(const QByteArray &) { return true; }
void MainWindow::handleConfigReply(const QByteArray &) {}
