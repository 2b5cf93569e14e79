#include "app/mainwindow.h"

void MainWindow::createUpg() {}
