#include "metrics.h"
#include "serverfixture.h"
#include "testcertificates.h"

#include <QSslKey>

#include <sys/socket.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

struct Counts
{
    quint64 plain, tls, failures;
};

static Counts counts()
{
    return {metrics().plainConnections, metrics().tlsConnections, metrics().tlsHandshakeFailures};
}

// TLS and plain connections on one port, told apart by their first byte; what an attacker
// can send before, during and after a handshake; and certificates read again at run time.
class TestTls : public QObject
{
    Q_OBJECT

    ServerFixture f{this};
    TestCertificates m_certificates;
    QSslConfiguration m_trusting;

    // Puts a copy of the named certificate and key where the server reads them.
    bool place(const QString &cert, const QString &key)
    {
        QDir(f.dir->path()).mkpath(u"tls"_s);
        for (const auto &[from, to] :
             {std::pair{cert, u"tls/cert.pem"_s}, std::pair{key, u"tls/key.pem"_s}}) {
            QFile::remove(f.dataPath(to));
            if (!QFile::copy(m_certificates.path(from), f.dataPath(to)))
                return false;
        }
        return QFile::setPermissions(f.dataPath(u"tls/key.pem"_s),
                                     QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    TestClient *tlsClient() { return new TestClient(f.server->port(), this, 0, m_trusting); }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error()));
        m_trusting = QSslConfiguration::defaultConfiguration();
        m_trusting.setCaCertificates(QSslCertificate::fromPath(m_certificates.authority()));
    }
    void init()
    {
        f.init();
        QVERIFY(place(u"server.pem"_s, u"server.key"_s));
        f.config.tlsCertFile = f.dataPath(u"tls/cert.pem"_s);
        f.config.tlsKeyFile = f.dataPath(u"tls/key.pem"_s);
    }
    void cleanup() { f.cleanup(); }

    // Bytes an attacker sends, before, in and after a handshake: TLS that is cut off or is no
    // TLS fails the connection; what arrives inside TLS is handled as if it had come plain.
    // The first byte counts the connection as TLS or plain.
    void badInput_data()
    {
        QTest::addColumn<QByteArray>("plain");  // sent first; none: a handshake first, then:
        QTest::addColumn<QByteArray>("inside"); // sent encrypted
        QTest::addColumn<QByteArray>("raw");    // sent on the connection past TLS
        QTest::addColumn<bool>("vanish");       // the client drops the connection at once
        QTest::addColumn<bool>("closed");
        QTest::addColumn<int>("failures");
        const QByteArray junk = "\x01\x02\xff junk c, l, fs,";
        const QByteArray none;
        QTest::newRow("neither TLS nor a kind") << junk << none << none << false << false << 0;
        QTest::newRow("the same inside TLS") << none << junk << none << false << false << 0;
        QTest::newRow("no TLS after the handshake") << none << none << junk << false << true << 0;
        QTest::newRow("junk after the handshake byte")
            << "\x16" + junk.repeated(8) << none << none << false << true << 1;
        QTest::newRow("gone in the middle of a handshake")
            << QByteArray("\x16\x03\x01\x02\x00\x01", 6) << none << none << true << true << 1;
    }
    void badInput()
    {
        QFETCH(QByteArray, plain);
        QFETCH(QByteArray, inside);
        QFETCH(QByteArray, raw);
        QFETCH(bool, vanish);
        QFETCH(bool, closed);
        QFETCH(int, failures);
        f.startServer({u"alice"_s});
        const Counts before = counts();
        const bool handshake = plain.isEmpty();
        TestClient *client = handshake ? tlsClient() : f.connected();
        QVERIFY(client->isConnected());
        if (!plain.isEmpty())
            client->socket.write(plain);
        if (!inside.isEmpty())
            client->send(inside);
        if (!raw.isEmpty()) {
            QVERIFY(client->socket.waitForBytesWritten(1000) || client->socket.bytesToWrite() == 0);
            QCOMPARE(::send(int(client->socket.socketDescriptor()), raw.constData(), size_t(raw.size()), 0),
                     ssize_t(raw.size()));
        }
        if (vanish) {
            QTRY_COMPARE(counts().tls - before.tls, quint64(1));
            client->socket.abort();
        }
        const bool tls = handshake || plain.startsWith(kTlsHandshakeByte);
        QTRY_COMPARE(counts().tls - before.tls + counts().plain - before.plain, quint64(1));
        QCOMPARE(counts().tls - before.tls, quint64(tls));
        if (closed) {
            QTRY_VERIFY_WITH_TIMEOUT(!client->isConnected(), 5000);
            QTRY_COMPARE(f.server->sessionCount(), 0);
            QTRY_COMPARE(counts().failures - before.failures, quint64(failures));
            return;
        }
        QTRY_COMPARE(f.server->sessionCount(), 1);
        // Still served as before.
        QTest::qWait(2 * kQuietGapMs);
        QCOMPARE(client->answerTo(login(u"alice"_s)), answers::loginReply(answers::loginOk()));
    }

    // A handshake that never finishes holds a connection like any client that does not log
    // in: it counts against the connections per address until the login deadline ends it.
    void unfinishedHandshake()
    {
        f.config.maxPerAddress = 1;
        f.config.loginTimeoutMs = 800;
        f.startServer({u"alice"_s});
        const Counts before = counts();
        TestClient *stalled = f.connected();
        QElapsedTimer clock;
        clock.start();
        stalled->socket.write(QByteArray("\x16\x03\x01\x00", 4));
        QTRY_COMPARE(counts().tls - before.tls, quint64(1));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"refused: too many connections"_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^no TLS with port"_s));
        TestClient *second = tlsClient();
        QTRY_VERIFY(!second->isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(!stalled->isConnected(), 5000);
        // A coarse timer may fire 5% early.
        QVERIFY2(clock.elapsed() >= 800 * 95 / 100, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(counts().failures - before.failures, quint64(1));
        QCOMPARE(tlsClient()->answerTo(login(u"alice"_s)), answers::loginReply(answers::loginOk()));
    }

    // Pairs of certificate and key, read again while connections are open: they keep theirs,
    // new ones get the new pair; a pair that cannot serve leaves the one in use, and stops a
    // start.
    void pairs_data()
    {
        QTest::addColumn<QString>("cert"); // put in place of the certificate
        QTest::addColumn<QString>("key");  // in place of the key: a file, "missing", "folder", "readable"
        QTest::addColumn<QString>("why");  // "": it serves
        QTest::newRow("renewed") << u"renewed.pem"_s << u"renewed.key"_s << QString();
        QTest::newRow("key missing") << u"renewed.pem"_s << u"missing"_s << u"cannot read"_s;
        QTest::newRow("key is a folder") << u"renewed.pem"_s << u"folder"_s << u"cannot read"_s;
        QTest::newRow("key for everyone")
            << u"renewed.pem"_s << u"readable"_s << u"may be read by everyone"_s;
        QTest::newRow("key of another certificate")
            << u"renewed.pem"_s << u"server.key"_s << u"is not the key of"_s;
        QTest::newRow("certificate is no certificate")
            << u"renewed.key"_s << u"renewed.key"_s << u"holds no certificate"_s;
    }
    void pairs()
    {
        QFETCH(QString, cert);
        QFETCH(QString, key);
        QFETCH(QString, why);
        f.startServer({u"alice"_s});
        TestClient *before = tlsClient();
        QCOMPARE(before->answerTo(login(u"alice"_s)), answers::loginReply(answers::loginOk()));

        QVERIFY(place(cert, key.endsWith(u".key") ? key : u"renewed.key"_s));
        const QString keyPath = f.dataPath(u"tls/key.pem"_s);
        if (key == u"missing"_s || key == u"folder"_s)
            QVERIFY(QFile::remove(keyPath));
        if (key == u"folder"_s)
            QVERIFY(QDir().mkpath(keyPath));
        if (key == u"readable"_s)
            QVERIFY(QFile::setPermissions(keyPath, QFileDevice::ReadOwner | QFileDevice::ReadOther));
        const quint64 failedBefore = metrics().tlsReloadsFailed;
        if (!why.isEmpty())
            QTest::ignoreMessage(QtWarningMsg,
                                 QRegularExpression(u"not reloaded, the one in use stays: .*"_s + why));
        QCOMPARE(f.server->reloadTls(), why.isEmpty());
        QCOMPARE(metrics().tlsReloadsFailed - failedBefore, quint64(!why.isEmpty()));

        const auto &after = static_cast<QSslSocket &>(tlsClient()->socket);
        QVERIFY2(after.isEncrypted(), qPrintable(after.errorString()));
        QCOMPARE(
            QCryptographicHash::hash(after.peerCertificate().publicKey().toDer(), QCryptographicHash::Sha256),
            m_certificates.pin(why.isEmpty() ? u"renewed"_s : u"server"_s));
        before->send(chatMessage(u"still here"_s));
        QVERIFY(before->expect("c,alice: still here"));

        f.server.reset();
        if (!why.isEmpty())
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(u"cannot serve TLS: .*"_s + why));
        Server fresh(f.config);
        QCOMPARE(fresh.start(), why.isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestTls)
#include "tst_tls.moc"
