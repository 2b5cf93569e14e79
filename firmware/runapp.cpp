#include "app/mainwindow.h"

#include "link/trace.h"

#include <QTcpSocket>

// Starts the application of a node in its boot loader. The node sends no
// reply; the tool leaves the connection, and the disconnection reaches the
// window as for any other.
void MainWindow::runApp()
{
    trace(QStringLiteral("Run Application"));
    sendMessage(RunApplication);
    tcpSocket->disconnectFromHost();
}
