#pragma once

// A socket client that keeps the server's quiet gap between the raw messages it sends and
// gathers what arrives with the client's own assembler, as a real client sees it.

#include "assembler.h"
#include "pathgaps.h"

#include <QElapsedTimer>
#include <QHostAddress>
#include <QSslSocket>
#include <QTest>

#include <memory>

class TestClient : public QObject
{
public:
    // source: connects from 127.0.0.<source>; 0: from any address. tls: a TLS connection that
    // checks the server's certificate so; null: a plain one.
    TestClient(quint16 port, QObject *parent, int source = 0,
               const QSslConfiguration &tls = QSslConfiguration())
        : QObject(parent)
        , m_socket(tls.isNull() ? new QTcpSocket : new QSslSocket)
        , socket(*m_socket)
    {
        connect(&socket, &QTcpSocket::readyRead, this, [this] {
            if (m_assembler.pendingSize() == 0)
                tavrel::followPacedPath(m_assembler, socket.socketDescriptor());
            m_assembler.append(socket.readAll());
        });
        connect(&m_assembler, &tavrel::MessageAssembler::messageReady, this,
                [this](const QByteArray &message) { inbox.append(message); });
        if (source)
            socket.bind(QHostAddress(QStringLiteral("127.0.0.%1").arg(source)));
        if (tls.isNull()) {
            socket.connectToHost(QHostAddress::LocalHost, port);
            if (!socket.waitForConnected(3000))
                qWarning("cannot connect to port %d", port);
            return;
        }
        // The server may run in this thread: the event loop runs while the handshake does.
        auto &tlsSocket = static_cast<QSslSocket &>(socket);
        tlsSocket.setSslConfiguration(tls);
        tlsSocket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
        const auto settled = [&] {
            return tlsSocket.isEncrypted() || tlsSocket.state() == QAbstractSocket::UnconnectedState;
        };
        if (!QTest::qWaitFor(settled, 5000) || !tlsSocket.isEncrypted())
            qWarning("no TLS with port %d: %s", port, qPrintable(tlsSocket.errorString()));
    }

    // Ends files at this gap, and keeps it after the files it sends, as a server set to it
    // does (its Config::fileGapMs).
    void setFileGap(int ms)
    {
        m_fileGap = ms;
        m_assembler.setQuietGaps(tavrel::kQuietGapMs, ms);
    }

    // Keeps the server's gap after the previous message (25 ms more, for a busy machine): the
    // long one only after file contents.
    void send(const QByteArray &message)
    {
        const int gap = tavrel::quietGapForStart(m_lastStart);
        const qint64 wait = (gap == tavrel::kFileQuietGapMs ? m_fileGap : gap) + 25;
        if (m_lastSend.isValid() && m_lastSend.elapsed() < wait)
            QTest::qWait(int(wait - m_lastSend.elapsed()));
        socket.write(message);
        m_lastSend.start();
        m_lastStart = message.left(2);
    }

    // Takes the next message of this kind (first byte) from the inbox; null when none comes.
    QByteArray take(char kind, int timeoutMs = 5000)
    {
        const auto found = [&] {
            return std::find_if(inbox.begin(), inbox.end(),
                                [&](const QByteArray &m) { return m.startsWith(kind); });
        };
        if (!QTest::qWaitFor([&] { return found() != inbox.end(); }, timeoutMs))
            return QByteArray();
        return inbox.takeAt(found() - inbox.begin());
    }

    // Sends message and takes the answer: the next message of this kind, by default the
    // message's own.
    QByteArray answerTo(const QByteArray &message, char kind = 0)
    {
        send(message);
        return take(kind ? kind : message.at(0));
    }

    // Waits for a message equal to expected, taking every message up to it.
    bool expect(const QByteArray &expected, int timeoutMs = 5000)
    {
        const auto found = [&] {
            const qsizetype at = inbox.indexOf(expected);
            inbox.remove(0, at < 0 ? inbox.size() : at + 1);
            return at >= 0;
        };
        return QTest::qWaitFor(found, timeoutMs);
    }

    // Waits, then empties the inbox and returns the lines of its chat messages.
    QStringList chatLines(int waitMs)
    {
        QTest::qWait(waitMs);
        QStringList lines;
        for (const QByteArray &message : std::exchange(inbox, {})) {
            if (message.startsWith('c'))
                lines += QString::fromUtf8(message.mid(2)).split(u'\n');
        }
        return lines;
    }

    bool isConnected() const { return socket.state() == QAbstractSocket::ConnectedState; }

private:
    std::unique_ptr<QTcpSocket> m_socket;
    tavrel::MessageAssembler m_assembler;
    QElapsedTimer m_lastSend;
    QByteArray m_lastStart;
    int m_fileGap = tavrel::kFileQuietGapMs;

public:
    QTcpSocket &socket;
    QList<QByteArray> inbox;
};
