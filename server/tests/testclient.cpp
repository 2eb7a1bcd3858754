#include "testclient.h"

#include <QHostAddress>
#include <QTest>

TestClient::TestClient(QObject *parent)
    : QObject(parent)
{
    connect(&socket, &QTcpSocket::readyRead, this, [this] { m_assembler.append(socket.readAll()); });
    connect(&m_assembler, &tavrel::MessageAssembler::messageReady, this,
            [this](const QByteArray &message) { inbox.append(message); });
}

bool TestClient::connectTo(quint16 port)
{
    socket.connectToHost(QHostAddress::LocalHost, port);
    return socket.waitForConnected(3000);
}

void TestClient::send(const QByteArray &message)
{
    // Leave the server's gap after the previous message, with room for a busy machine.
    if (m_lastSend.isValid()) {
        const qint64 gap = tavrel::quietGapFor(m_lastKind) + 25;
        if (m_lastSend.elapsed() < gap)
            QTest::qWait(int(gap - m_lastSend.elapsed()));
    }
    socket.write(message);
    m_lastSend.start();
    m_lastKind = message.isEmpty() ? 0 : message.at(0);
}

QByteArray TestClient::take(char kind, int timeoutMs)
{
    QByteArray found;
    [[maybe_unused]] const bool arrived = QTest::qWaitFor(
        [&] {
            for (qsizetype i = 0; i < inbox.size(); ++i) {
                if (inbox.at(i).startsWith(kind)) {
                    found = inbox.takeAt(i);
                    return true;
                }
            }
            return false;
        },
        timeoutMs);
    return found;
}

bool TestClient::expect(const QByteArray &expected, int timeoutMs)
{
    return QTest::qWaitFor(
        [&] {
            while (!inbox.isEmpty()) {
                if (inbox.takeFirst() == expected)
                    return true;
            }
            return false;
        },
        timeoutMs);
}

bool TestClient::nothingOf(char kind, int waitMs)
{
    QTest::qWait(waitMs);
    for (const QByteArray &message : std::as_const(inbox)) {
        if (message.startsWith(kind))
            return false;
    }
    return true;
}

QStringList TestClient::chatLines(int waitMs)
{
    QTest::qWait(waitMs);
    QStringList lines;
    for (const QByteArray &message : std::exchange(inbox, {})) {
        if (message.startsWith('c'))
            lines += QString::fromUtf8(message.mid(2)).split(QLatin1Char('\n'));
    }
    return lines;
}

bool TestClient::waitClosed(int timeoutMs)
{
    return QTest::qWaitFor([&] { return socket.state() == QAbstractSocket::UnconnectedState; }, timeoutMs);
}
