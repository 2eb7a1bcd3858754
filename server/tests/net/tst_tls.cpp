#include "metrics.h"
#include "serverfixture.h"
#include "testcertificates.h"

#include <QSslKey>

#include <sys/socket.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

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
        // 'p': sent first; after a handshake, 'i': sent encrypted, 'r': on the connection past TLS
        QTest::addColumn<char>("where");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("vanish"); // the client drops the connection at once
        QTest::addColumn<bool>("closed");
        const QByteArray junk = "\x01\x02\xff junk c, l, fs,";
        QTest::newRow("neither TLS nor a kind") << 'p' << junk << false << false;
        QTest::newRow("the same inside TLS") << 'i' << junk << false << false;
        QTest::newRow("no TLS after the handshake") << 'r' << junk << false << true;
        QTest::newRow("junk after the handshake byte") << 'p' << "\x16" + junk.repeated(8) << false << true;
        QTest::newRow("gone in the middle of a handshake")
            << 'p' << QByteArray("\x16\x03\x01\x02\x00\x01", 6) << true << true;
    }
    void badInput()
    {
        QFETCH(char, where);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, vanish);
        QFETCH(bool, closed);
        f.startServer({u"alice"_s});
        const Metrics &m = metrics();
        const quint64 plain = m.plainConnections, tls = m.tlsConnections, failed = m.tlsHandshakeFailures;
        TestClient *client = where == 'p' ? f.connected() : tlsClient();
        QVERIFY(client->isConnected());
        if (where == 'p')
            client->socket.write(bytes);
        if (where == 'i')
            client->send(bytes);
        if (where == 'r') {
            QVERIFY(client->socket.waitForBytesWritten(1000) || client->socket.bytesToWrite() == 0);
            QCOMPARE(
                ::send(int(client->socket.socketDescriptor()), bytes.constData(), size_t(bytes.size()), 0),
                ssize_t(bytes.size()));
        }
        if (vanish) {
            QTRY_COMPARE(m.tlsConnections - tls, quint64(1));
            client->socket.abort();
        }
        QTRY_COMPARE(m.tlsConnections - tls + m.plainConnections - plain, quint64(1));
        QCOMPARE(m.tlsConnections - tls, quint64(where != 'p' || bytes.startsWith(kTlsHandshakeByte)));
        if (closed) {
            QTRY_VERIFY_WITH_TIMEOUT(!client->isConnected(), 5000);
            QTRY_COMPARE(f.server->sessionCount(), 0);
            // A handshake broken or cut off fails; bytes past a finished one are no handshake.
            QTRY_COMPARE(m.tlsHandshakeFailures - failed, quint64(where == 'p'));
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
        const quint64 tls = metrics().tlsConnections, failed = metrics().tlsHandshakeFailures;
        TestClient *stalled = f.connected();
        QElapsedTimer clock;
        clock.start();
        stalled->socket.write(QByteArray("\x16\x03\x01\x00", 4));
        QTRY_COMPARE(metrics().tlsConnections - tls, quint64(1));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"refused: too many connections"_s));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(u"^no TLS with port"_s));
        TestClient *second = tlsClient();
        QTRY_VERIFY(!second->isConnected());
        QTRY_VERIFY_WITH_TIMEOUT(!stalled->isConnected(), 5000);
        // A coarse timer may fire 5% early.
        QVERIFY2(clock.elapsed() >= 800 * 95 / 100, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(metrics().tlsHandshakeFailures - failed, quint64(1));
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
