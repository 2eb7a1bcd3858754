#include "ui_widget.h"
#include "widget.h"

#include "protocol.h"
#include "serveraddresses.h"

#include <QHostAddress>
#include <QTcpSocket>

namespace {

constexpr int kConnectWaitMs = 1000;
constexpr int kDisconnectWaitMs = 1000;

} // namespace

QStringList Widget::defaultServerAddresses()
{
    // Tried in this order; the first to accept wins.
    return {
        QStringLiteral(TAVREL_SERVER_LAN),
        QStringLiteral(TAVREL_SERVER_INTERNET),
        QStringLiteral("127.0.0.1"),
    };
}

void Widget::on_btnConnect_clicked()
{
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        for (const QString &candidate : std::as_const(serverAddresses)) {
            socket->connectToHost(QHostAddress(candidate), tavrel::kServerPort, QIODevice::ReadWrite);
            if (socket->waitForConnected(kConnectWaitMs)) {
                ui->btnConnect->setText(QStringLiteral("断开"));
                return;
            }
        }
        return;
    }

    socket->disconnectFromHost();
    if (socket->state() == QAbstractSocket::UnconnectedState ||
        socket->waitForDisconnected(kDisconnectWaitMs)) {
        ui->btnConnect->setText(QStringLiteral("连接"));
        setSendButtonsEnabled(false);
    }
}

void Widget::connectToServer()
{
    ui->textEditRead->setText(QStringLiteral("成功和服务器连接"));
    setSendButtonsEnabled(false);
}
