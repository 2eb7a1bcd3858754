#include "linkproxy.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QThread>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

// Connects client through proxy to a new listener of target: the target's end, or null.
QTcpSocket *connectThrough(LinkProxy &proxy, QTcpServer &target, QTcpSocket &client)
{
    if (!target.listen(QHostAddress::LocalHost, 0) ||
        !proxy.listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, target.serverPort()))
        return nullptr;
    client.connectToHost(QHostAddress::LocalHost, proxy.port());
    const bool connected = client.waitForConnected(3000) &&
                           QTest::qWaitFor([&] { return target.hasPendingConnections(); }, 3000);
    return connected ? target.nextPendingConnection() : nullptr;
}

} // namespace

// The emulator's own figures: what a link carries arrives whole, in the time its profile
// says, and the profile's text reads back as written.
class TestLinkProxy : public QObject
{
    Q_OBJECT

private slots:
    // Each direction keeps its own profile. Up: 100 bytes 100 ms late. Down: 64 KiB at
    // 2 Mbit/s (262 ms), with a stall after each of its four 16 KiB units, of which the last
    // holds nothing back (300 ms); what the link still carries arrives before the receiver
    // sees the connection close.
    void shaping()
    {
        QTcpServer target;
        LinkProxy proxy;
        proxy.setProfiles(*LinkProfile::parse(u"2000k/0ms/100%x100ms"_s), *LinkProfile::parse(u"0k/100ms"_s));
        QTcpSocket client;
        QTcpSocket *server = connectThrough(proxy, target, client);
        QVERIFY(server);
        QByteArray payload(64 * 1024, Qt::Uninitialized);
        for (int i = 0; i < payload.size(); ++i)
            payload[i] = char(i * 7 + i / 251);
        QByteArray up, down;
        QElapsedTimer clock;
        qint64 upMs = -1;
        connect(server, &QTcpSocket::readyRead, this, [&] {
            up += server->readAll();
            upMs = clock.elapsed();
        });
        connect(&client, &QTcpSocket::readyRead, this, [&] { down += client.readAll(); });

        clock.start();
        client.write(payload.left(100));
        QTRY_COMPARE(up, payload.left(100));
        QVERIFY2(upMs >= 100, qPrintable(QString::number(upMs)));
        clock.start();
        server->write(payload);
        server->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(client.state(), QAbstractSocket::UnconnectedState, 10000);
        QCOMPARE(down, payload);
        QVERIFY2(clock.elapsed() >= 550, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(proxy.down().stalls, 4);
        QCOMPARE(proxy.up().stalls, 0);
    }

    // A proxy that goes while its connections still carry bytes, as a test's does when it
    // fails half-way: its links must not run on into the proxy's freed figures as the sockets
    // under them close, and both ends see their connection end.
    void destroyedWhileCarrying()
    {
        QTcpServer target;
        auto proxy = std::make_unique<LinkProxy>();
        // Bytes wait in the read-ahead behind a slow link.
        const LinkProfile slow = *LinkProfile::parse(u"200k/0ms/ahead64k"_s);
        proxy->setProfiles(slow, slow);
        QTcpSocket client;
        QTcpSocket *server = connectThrough(*proxy, target, client);
        QVERIFY(server);
        client.write(QByteArray(64 * 1024, 'u'));
        server->write(QByteArray(64 * 1024, 'd'));
        QTRY_VERIFY(proxy->down().taken > 0 && proxy->up().taken > 0);
        // A busy process: the link is free again when the proxy goes.
        QThread::msleep(100);
        proxy.reset();
        QTRY_COMPARE(client.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(server->state(), QAbstractSocket::UnconnectedState);
    }

    void profileText()
    {
        QCOMPARE(LinkProfile::parse(u" 4000k/30ms/0.5%x500ms/ahead64k "_s).value_or(LinkProfile()).toString(),
                 u"4000k/30ms/0.5%x500ms/ahead64k"_s);
        // No unit on the rate; a chance above 100%.
        for (const QString &refused : {u"2000/100ms"_s, u"0k/0ms/150%x10ms"_s})
            QVERIFY2(!LinkProfile::parse(refused), qPrintable(refused));
    }
};

QTEST_GUILESS_MAIN(TestLinkProxy)
#include "tst_linkproxy.moc"
