#include "registration.h"
#include "serverprocess.h"

#include <QDir>
#include <QProcess>
#include <QSslSocket>
#include <QTemporaryDir>

#include "testcertificates.h"

#ifdef TAVREL_TEST_TLS
#include <csignal>
#endif

using namespace Qt::StringLiterals;

// The real window against the real server on 127.0.0.1:12345, as a new user meets them:
// register with the code from the mail, log in, chat, send a file and ask for it back, and
// ask for an image. Built for TLS, the window does all of it over TLS, with a server that
// takes nothing else and that reads a renewed certificate in the middle.
class TestEndToEnd : public QObject
{
    Q_OBJECT

    QTemporaryDir m_data;
    QTemporaryDir m_work;
    QProcess m_server;
    QString m_log;
    TestCertificates m_certificates;

private slots:
    void initTestCase()
    {
        QVERIFY(m_data.isValid() && m_work.isValid() && QDir::setCurrent(m_work.path()));
        QVERIFY(QDir(m_data.path()).mkpath(u"files"_s) &&
                write(m_data.filePath(u"files/picture.png"_s), png(40, 30)));
        QStringList options{u"--port"_s, u"12345"_s, u"--data"_s, m_data.path()};
#ifdef TAVREL_TEST_TLS
        QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error()));
        options << m_certificates.serverOptions() << u"--tls-required"_s;
#endif
        quint16 port = 0;
        QVERIFY2(startServerProcess(m_server, &m_log, QStringLiteral(TAVREL_SERVER_BINARY), options, &port),
                 qPrintable(m_log));
    }

    void cleanupTestCase()
    {
        m_server.terminate();
        QVERIFY(m_server.waitForFinished(10000));
        QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
    }

    void newUserSession()
    {
        Widget w;
        WidgetProbe::setServerAddresses(w, {u"127.0.0.1"_s});
        shortenFileGap(w);
        startAsNewUser(w, QDir(m_data.filePath("outbox")), u"alice"_s, u"alice@example.org"_s);
        if (QTest::currentTestFailed())
            return;
        // Alone online: the server's list leaves alice out and is empty.
        QCOMPARE(shown(w, "textEditUsers"), u"我: alice\n"_s);
        chat(w, u"alice"_s, u"大家好 <b>hi</b>"_s);

        // Send a text file from another folder, then ask for it back by name.
        QTemporaryDir outgoing;
        sendAndFetchBack(w, outgoing.filePath(u"notes.txt"_s), u"notes.txt"_s,
                         u"第一行\nsecond line ~+^`& kept\n"_s.toUtf8());
        fetch(w, u"picture.png"_s, u"收到的图片：picture.png 在图片标签页里显示"_s);
        QCOMPARE(contents(u"picture.png"_s), png(40, 30));
        QCOMPARE(WidgetProbe::scene(w)->items().size(), 1);

#ifdef TAVREL_TEST_TLS
        // A renewal with a new key, read on SIGHUP: a new connection gets it (that open ones go
        // on is tst_tls's).
        for (const QString &name : {u"server.pem"_s, u"server.key"_s}) {
            QVERIFY(QFile::remove(m_certificates.path(name)));
            QVERIFY(QFile::copy(m_certificates.path(QString(name).replace(u"server"_s, u"renewed"_s)),
                                m_certificates.path(name)));
        }
        QVERIFY(::kill(pid_t(m_server.processId()), SIGHUP) == 0);
        QTRY_VERIFY_WITH_TIMEOUT(m_log.contains(u"TLS certificate reloaded"_s), 5000);
        Widget next;
        WidgetProbe::setServerAddresses(next, {u"127.0.0.1"_s});
        connectThroughButton(next);
        const auto *tls = static_cast<QSslSocket *>(WidgetProbe::socket(next));
        QCOMPARE(tavrel::publicKeyPin(tls->peerCertificate()), m_certificates.pin(u"renewed"_s));
#endif
    }

#ifdef TAVREL_TEST_TLS
    // A plain connection is told why this server, which takes only TLS ones, closes it. (That
    // the window shows a notice which comes right before a close is tst_receive's cutMessage.)
    void plainConnectionToldWhy()
    {
        QTcpSocket plain;
        plain.connectToHost(QHostAddress::LocalHost, 12345);
        QVERIFY(plain.waitForConnected(5000));
        plain.write("c,hi");
        QTRY_COMPARE(plain.state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(QString::fromUtf8(plain.readAll()), u"c,服务器: 此服务器只接受加密连接"_s);
    }
#endif
};

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
