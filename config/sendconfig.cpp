#include "app/mainwindow.h"

void MainWindow::sendConfig() {}
