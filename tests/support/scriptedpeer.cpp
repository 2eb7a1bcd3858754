#include "scriptedpeer.h"

#include <QDeadlineTimer>
#include <QTest>

ScriptedPeer::ScriptedPeer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *socket = m_server.nextPendingConnection()) {
            m_connections.append(socket);
            m_received.clear();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] {
                if (socket == client())
                    m_received += socket->readAll();
                else
                    socket->readAll();
            });
        }
    });
}

ScriptedPeer::~ScriptedPeer()
{
    close();
}

bool ScriptedPeer::listen(const QHostAddress &address, quint16 port)
{
    Q_ASSERT(address.isLoopback());
    return m_server.listen(address, port);
}

void ScriptedPeer::close()
{
    m_server.close();
    for (const auto &socket : std::as_const(m_connections)) {
        if (socket)
            socket->abort();
    }
}

QTcpSocket *ScriptedPeer::client() const
{
    return m_connections.isEmpty() ? nullptr : m_connections.last().data();
}

QByteArray ScriptedPeer::received() const
{
    return m_received;
}

void ScriptedPeer::clearReceived()
{
    m_received.clear();
}

void ScriptedPeer::send(const QByteArray &bytes)
{
    QTcpSocket *socket = client();
    if (!socket)
        return;
    socket->write(bytes);
    // The window reads on this same thread, so keep the event loop running while waiting.
    QDeadlineTimer deadline(10000);
    while (socket->bytesToWrite() > 0 && !deadline.hasExpired())
        QTest::qWait(1);
}

void ScriptedPeer::sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs)
{
    for (qsizetype at = 0; at < bytes.size(); at += pieceSize) {
        send(bytes.mid(at, pieceSize));
        if (at + pieceSize < bytes.size())
            QTest::qWait(pauseMs);
    }
}

void ScriptedPeer::closeClient()
{
    if (QTcpSocket *socket = client()) {
        socket->disconnectFromHost();
        if (socket->state() != QAbstractSocket::UnconnectedState)
            socket->waitForDisconnected(1000);
    }
}

bool ScriptedPeer::waitForReceived(qsizetype n, int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs);
    while (m_received.size() < n && !deadline.hasExpired())
        QTest::qWait(5);
    return m_received.size() >= n;
}
