#include "linkproxy.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <memory>

// The emulator's own figures: what a link carries arrives whole, in the time its profile
// says, and the profile's text reads back as written.
class TestLinkProxy : public QObject
{
    Q_OBJECT

private slots:
    void shaping_data()
    {
        QTest::addColumn<QString>("down");
        QTest::addColumn<QString>("up");
        QTest::addColumn<bool>("upward"); // from the client to the server
        QTest::addColumn<int>("bytes");
        QTest::addColumn<int>("minMs"); // from the write to the last byte
        QTest::addColumn<int>("stalls");
        // 256 KiB at 2 Mbit/s: 1049 ms.
        QTest::newRow("rate") << "2000k/0ms"
                              << "0k/0ms" << false << 256 * 1024 << 1000 << 0;
        QTest::newRow("delay, up on its own") << "0k/0ms"
                                              << "0k/100ms" << true << 100 << 100 << 0;
        // A stall after each of the four units; the last one holds nothing back.
        QTest::newRow("stall at every unit") << "0k/0ms/100%x100ms"
                                             << "0k/0ms" << false << 64 * 1024 << 300 << 4;
    }
    void shaping()
    {
        QFETCH(QString, down);
        QFETCH(QString, up);
        QFETCH(bool, upward);
        QFETCH(int, bytes);
        QFETCH(int, minMs);
        QFETCH(int, stalls);
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        LinkProxy proxy;
        proxy.setProfiles(*LinkProfile::parse(down), *LinkProfile::parse(up));
        QVERIFY(proxy.listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, target.serverPort()));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, proxy.port());
        QVERIFY(client.waitForConnected(3000));
        QTRY_VERIFY(target.hasPendingConnections());
        QTcpSocket *server = target.nextPendingConnection();
        QTcpSocket *sender = upward ? &client : server;
        QTcpSocket *receiver = upward ? server : &client;

        QByteArray payload(bytes, Qt::Uninitialized);
        for (int i = 0; i < bytes; ++i)
            payload[i] = char(i * 7 + i / 251);
        QByteArray received;
        connect(receiver, &QTcpSocket::readyRead, this, [&] { received += receiver->readAll(); });
        QElapsedTimer clock;
        clock.start();
        sender->write(payload);
        // What the link still carries arrives before the receiver sees the connection close.
        sender->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(receiver->state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(received, payload);
        QVERIFY2(clock.elapsed() >= minMs, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE((upward ? proxy.up() : proxy.down()).stalls, stalls);
    }

    // A proxy that goes while its connections still carry bytes, as a test's does when it
    // fails half-way: its links must not run on into the proxy's freed figures as the sockets
    // under them close, and both ends see their connection end.
    void destroyedWhileCarrying()
    {
        QTcpServer target;
        QVERIFY(target.listen(QHostAddress::LocalHost, 0));
        auto proxy = std::make_unique<LinkProxy>();
        // Bytes wait in the read-ahead behind a slow link.
        const LinkProfile slow = *LinkProfile::parse(QStringLiteral("200k/0ms/ahead64k"));
        proxy->setProfiles(slow, slow);
        QVERIFY(proxy->listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, target.serverPort()));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, proxy->port());
        QVERIFY(client.waitForConnected(3000));
        QTRY_VERIFY(target.hasPendingConnections());
        QTcpSocket *server = target.nextPendingConnection();
        client.write(QByteArray(64 * 1024, 'u'));
        server->write(QByteArray(64 * 1024, 'd'));
        QTRY_VERIFY(proxy->down().taken > 0 && proxy->up().taken > 0);
        // A busy process: the link is free again when the proxy goes.
        QThread::msleep(100);
        proxy.reset();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server->state(), QAbstractSocket::UnconnectedState);
    }

    void profileText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("parsed"); // empty: refused
        QTest::newRow("all parts") << " 4000k/30ms/0.5%x500ms/ahead64k "
                                   << "4000k/30ms/0.5%x500ms/ahead64k";
        QTest::newRow("no unit") << "2000/100ms"
                                 << "";
        QTest::newRow("chance above 100%") << "0k/0ms/150%x10ms"
                                           << "";
    }
    void profileText()
    {
        QFETCH(QString, text);
        QFETCH(QString, parsed);
        const std::optional<LinkProfile> profile = LinkProfile::parse(text);
        QCOMPARE(profile ? profile->toString() : QString(), parsed);
    }
};

QTEST_GUILESS_MAIN(TestLinkProxy)
#include "tst_linkproxy.moc"
