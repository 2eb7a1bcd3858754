#include "linkproxy.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#if defined(Q_OS_LINUX)
#include <linux/sockios.h>
#include <sys/ioctl.h>
#endif

namespace {

// What the sender has written and its peer not yet acknowledged: Qt's buffer and the
// kernel's queue. -1 where the kernel cannot tell.
qint64 unacknowledged(QTcpSocket *socket)
{
#if defined(Q_OS_LINUX)
    int queued = 0;
    if (ioctl(int(socket->socketDescriptor()), SIOCOUTQ, &queued) == 0)
        return socket->bytesToWrite() + queued;
#endif
    Q_UNUSED(socket);
    return -1;
}

} // namespace

// The emulator's own figures: a transfer through it takes the time its profile says, and the
// sender's bytes wait in the sender's queue until the link is about to carry them.
class TestLinkProxy : public QObject
{
    Q_OBJECT

private slots:
    void shaping_data();
    void shaping();
    void profileText_data();
    void profileText();
};

void TestLinkProxy::shaping_data()
{
    QTest::addColumn<QString>("down");
    QTest::addColumn<QString>("up");
    QTest::addColumn<bool>("upward"); // the bytes go from the client to the server
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("minMs"); // the whole transfer, from the write to the last byte
    QTest::addColumn<int>("maxMs");
    QTest::addColumn<int>("stalls");
    QTest::addColumn<bool>("closeAfter"); // the sender closes once it has written

    // 256 KiB at 2 Mbit/s: 1049 ms.
    QTest::newRow("rate") << "2000k/0ms"
                          << "0k/0ms" << false << 256 * 1024 << 1000 << 1500 << 0 << false;
    QTest::newRow("delay") << "0k/100ms"
                           << "0k/0ms" << false << 100 << 100 << 160 << 0 << false;
    // A stall after each of the four units; the last one holds nothing back.
    QTest::newRow("stall at every unit") << "0k/0ms/100%x100ms"
                                         << "0k/0ms" << false << 64 * 1024 << 300 << 500 << 4 << false;
    QTest::newRow("up shaped on its own") << "0k/0ms"
                                          << "1000k/50ms" << true << 64 * 1024 << 570 << 800 << 0 << false;
    QTest::newRow("down left alone") << "0k/0ms"
                                     << "1000k/50ms" << false << 64 * 1024 << 0 << 100 << 0 << false;
    // What the link still carries arrives before the receiver sees the connection close.
    QTest::newRow("sender closes") << "2000k/50ms"
                                   << "0k/0ms" << false << 64 * 1024 << 300 << 500 << 0 << true;
}

void TestLinkProxy::shaping()
{
    QFETCH(QString, down);
    QFETCH(QString, up);
    QFETCH(bool, upward);
    QFETCH(int, bytes);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);
    QFETCH(int, stalls);
    QFETCH(bool, closeAfter);

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

    QByteArray received;
    QByteArray payload(bytes, Qt::Uninitialized);
    for (int i = 0; i < bytes; ++i)
        payload[i] = char(i * 7 + i / 251);
    QElapsedTimer clock;
    clock.start();
    connect(receiver, &QTcpSocket::readyRead, this, [&] { received += receiver->readAll(); });
    sender->write(payload);
    if (closeAfter)
        sender->disconnectFromHost();
    qint64 waitingHalfway = -1;
    QVERIFY(QTest::qWaitFor(
        [&] {
            if (waitingHalfway < 0 && clock.elapsed() >= minMs / 2)
                waitingHalfway = unacknowledged(sender);
            return received.size() >= bytes;
        },
        5000));
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(received, payload);
    if (closeAfter)
        QTRY_COMPARE(receiver->state(), QAbstractSocket::UnconnectedState);
    QVERIFY2(elapsed >= minMs && elapsed <= maxMs, qPrintable(QString::number(elapsed)));
    const LinkStats stats = upward ? proxy.up() : proxy.down();
    QCOMPARE(stats.stalls, stalls);
    QCOMPARE(stats.delivered, qint64(bytes));
    // Halfway through, all but what the link carried meanwhile and the little the proxy
    // holds still waits at the sender.
    const LinkProfile profile = *LinkProfile::parse(upward ? up : down);
    if (profile.bitsPerSecond > 0 && waitingHalfway >= 0) {
        const qint64 carried = profile.bitsPerSecond / 8 * (minMs / 2) / 1000;
        QVERIFY2(
            waitingHalfway >= bytes - carried - 32 * 1024,
            qPrintable(QStringLiteral("%1 bytes waiting after %2 ms").arg(waitingHalfway).arg(minMs / 2)));
    }
}

void TestLinkProxy::profileText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("parsed"); // empty: refused
    QTest::newRow("fraction") << " 4000k/30ms/0.5%x500ms "
                              << "4000k/30ms/0.5%x500ms";
    QTest::newRow("no unit") << "2000/100ms"
                             << "";
    QTest::newRow("chance above 100%") << "0k/0ms/150%x10ms"
                                       << "";
}

void TestLinkProxy::profileText()
{
    QFETCH(QString, text);
    QFETCH(QString, parsed);
    const std::optional<LinkProfile> profile = LinkProfile::parse(text);
    QCOMPARE(profile ? profile->toString() : QString(), parsed);
}

QTEST_GUILESS_MAIN(TestLinkProxy)
#include "tst_linkproxy.moc"
