#include "ui_widget.h"
#include "widget.h"

#include "net/plaintext.h"
#include "protocol.h"
#include "serveraddresses.h"

#include <QHostAddress>
#include <QSslSocket>

namespace {

// With TLS the wait covers the handshake too: TCP and TLS 1.3 take two round trips, so a
// server up to about 450 ms away still connects. The handshake took 3 to 8 ms (p99 21 ms) on
// loopback (bench/run-server-load.sh with TLS=1, load 4 to 7), and the whole click 223 ms
// through an emulated link of a 200 ms round trip (tst_slowlink_tls).
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
            if (tls.enabled) {
                if (!connectEncrypted(candidate))
                    continue;
            } else {
                socket->connectToHost(QHostAddress(candidate), serverPort, QIODevice::ReadWrite);
                if (!socket->waitForConnected(kConnectWaitMs))
                    continue;
            }
            ui->btnConnect->setText(QStringLiteral("断开"));
            return;
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

bool Widget::connectEncrypted(const QString &address)
{
    auto *tlsSocket = static_cast<QSslSocket *>(socket);
    tlsSocket->setSslConfiguration(tavrel::clientTlsConfiguration(tls));
    QString why;
    // Reported during the handshake, inside the wait below.
    const QMetaObject::Connection check =
        connect(tlsSocket, &QSslSocket::sslErrors, this, [&](const QList<QSslError> &errors) {
            const QList<QSslError> standing = tavrel::standingErrors(tls, errors);
            if (standing.isEmpty() && tavrel::keyAccepted(tls, tlsSocket->peerCertificate()))
                tlsSocket->ignoreSslErrors();
            else
                why = tavrel::certificateProblem(tls, tlsSocket->peerCertificate(), standing);
        });
    // The address is the name the certificate must hold, unless the key is pinned.
    tlsSocket->connectToHostEncrypted(address, serverPort, QIODevice::ReadWrite);
    const bool encrypted = tlsSocket->waitForEncrypted(kConnectWaitMs);
    disconnect(check);
    if (encrypted) {
        // A certificate that some authority vouches for still needs the pinned key.
        if (tavrel::keyAccepted(tls, tlsSocket->peerCertificate())) {
            connectToServer();
            return true;
        }
        why = tavrel::certificateProblem(tls, tlsSocket->peerCertificate(), {});
    } else if (why.isEmpty()) {
        // The handshake had no answer in time, or the server closed or broke it. A connection
        // refused, or not made in time, is said of no candidate, as without TLS.
        if (tlsSocket->state() == QAbstractSocket::ConnectedState)
            why = QStringLiteral("服务器没有在%1毫秒内完成加密握手").arg(kConnectWaitMs);
        else if (tlsSocket->error() == QAbstractSocket::RemoteHostClosedError)
            why = QStringLiteral("服务器在加密握手时断开了连接");
        else if (tlsSocket->error() == QAbstractSocket::SslHandshakeFailedError ||
                 tlsSocket->error() == QAbstractSocket::SslInternalError)
            why = QStringLiteral("加密握手失败（%1）").arg(tlsSocket->errorString());
    }
    tlsSocket->abort();
    if (!why.isEmpty())
        appendPlainText(ui->textEditRead, tavrel::tlsFailureLine(address, why));
    return false;
}
