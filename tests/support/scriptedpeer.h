#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

// A stand-in chat server for tests: it listens on a loopback address, records every byte
// each connection sends, and sends what the test tells it to.
class ScriptedPeer : public QObject
{
    Q_OBJECT
public:
    explicit ScriptedPeer(QObject *parent = nullptr);
    ~ScriptedPeer() override;

    bool listen(const QHostAddress &address = QHostAddress(QStringLiteral("127.0.0.1")),
                quint16 port = 12345);
    void close();

    // Connections accepted so far, and the one accepted last (null before any).
    int connectionCount() const { return m_connections.size(); }
    QTcpSocket *client() const;

    // Every byte received from the last connection, in order.
    QByteArray received() const;
    void clearReceived();

    // Writes bytes to the last connection in one write and waits until they have left.
    void send(const QByteArray &bytes);
    // Writes bytes in pieces of pieceSize, pausing pauseMs between them.
    void sendInPieces(const QByteArray &bytes, int pieceSize, int pauseMs);
    // Closes the last connection from this side.
    void closeClient();

    // Waits until at least n bytes from the last connection have arrived.
    bool waitForReceived(qsizetype n, int timeoutMs = 5000);

private:
    QTcpServer m_server;
    QList<QPointer<QTcpSocket>> m_connections;
    QByteArray m_received;
};
