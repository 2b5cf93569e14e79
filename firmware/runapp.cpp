#include "app/mainwindow.h"

void MainWindow::runApp() {}
