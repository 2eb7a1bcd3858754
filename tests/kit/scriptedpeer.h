#pragma once

#include "widgetprobe.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#ifdef Q_OS_WIN
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

// A stand-in chat server on loopback port 12345: records what the last connection sends.
class ScriptedPeer
{
public:
    ScriptedPeer()
    {
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket *socket = m_server.nextPendingConnection()) {
                m_client = socket;
                ++m_connections;
                m_received.clear();
                QObject::connect(socket, &QTcpSocket::readyRead, &m_server, [this, socket] {
                    const QByteArray bytes = socket->readAll();
                    if (socket == m_client)
                        m_received += bytes;
                });
            }
        });
    }
    bool listen(const QString &address = QStringLiteral("127.0.0.1"))
    {
        Q_ASSERT(QHostAddress(address).isLoopback());
        return m_server.listen(QHostAddress(address), 12345);
    }
    void close() { m_server.close(); }
    int connectionCount() const { return m_connections; }
    QByteArray received() const { return m_received; }

    // Keeps the event loop running until the bytes have left: the window reads on this thread.
    bool send(const QByteArray &bytes)
    {
        m_client->write(bytes);
        return QTest::qWaitFor([this] { return m_client->bytesToWrite() == 0; }, 10000);
    }
    void closeClient()
    {
        m_client->disconnectFromHost();
        if (m_client->state() != QAbstractSocket::UnconnectedState)
            m_client->waitForDisconnected(1000);
    }
    // Ends the connection with a reset, as a crashed server does.
    void resetClient()
    {
        const linger now = {1, 0};
        ::setsockopt(m_client->socketDescriptor(), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char *>(&now), sizeof now);
        m_client->abort();
    }

private:
    QTcpServer m_server;
    QTcpSocket *m_client = nullptr;
    int m_connections = 0;
    QByteArray m_received;
};

// Connects the window straight to the peer and leaves it as after a login: the message box
// empty, the send buttons enabled, and the connect button aimed at the peer too.
inline bool connectToPeer(Widget &w, ScriptedPeer &peer)
{
    const int before = peer.connectionCount();
    WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
    WidgetProbe::socket(w)->connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), 12345);
    const bool connected = QTest::qWaitFor([&] { return peer.connectionCount() > before; }, 3000);
    WidgetProbe::textEdit(w, "textEditRead")->clear();
    setSendButtonsEnabled(w, true);
    return connected;
}

// What the peer got from the window before a marker the test sends.
inline QByteArray receivedBeforeMarker(Widget &w, ScriptedPeer &peer)
{
    static const QByteArray marker("<<end of test bytes>>");
    WidgetProbe::socket(w)->write(marker);
    if (!QTest::qWaitFor([&] { return peer.received().endsWith(marker); }, 5000))
        return QByteArray("<<marker missing>>");
    return peer.received().chopped(marker.size());
}
