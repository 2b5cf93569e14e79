#include "app/mainwindow.h"

void MainWindow::updateFirmware() {}
void MainWindow::handleEraseReply(const QByteArray &) {}
void MainWindow::handleProgramReply(const QByteArray &) {}
void MainWindow::handleCrcReply(const QByteArray &) {}
void MainWindow::handleResetReply(const QByteArray &) {}
