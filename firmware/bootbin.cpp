#include "app/mainwindow.h"

void MainWindow::createBootBin() {}
