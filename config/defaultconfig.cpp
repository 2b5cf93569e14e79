#include "app/mainwindow.h"

void MainWindow::setDefaultConfig() {}
void MainWindow::handleDefaultConfigReply(const QByteArray &) {}
