#include "app/mainwindow.h"

#include "link/trace.h"
#include "config/configrecord.h"

#include <QMessageBox>
#include <QTcpSocket>

void MainWindow::setDefaultConfig()
{
    if (tcpSocket->state() == QAbstractSocket::ConnectedState) {
        trace(QStringLiteral("Default config sended"));
        tcpSocket->write(wire::message(DefaultConfig, ConfigRecord::Size));
        return;
    }
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("Default config status"),
                    QStringLiteral("You are not connected to device!"), QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}

// The reply is neither stored nor shown: it only tells whether the node is
// about to move to other network settings.
void MainWindow::handleDefaultConfigReply(const QByteArray &message)
{
    if (netInfoChanged(message)) {
        trace(QStringLiteral("Net config has changed"));
        tcpSocket->disconnectFromHost();
        return;
    }
    trace(QStringLiteral("Net config doesnt changed"));
}
