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

// The real window against the real server on 127.0.0.1:12345, as a new user meets them:
// register with the code from the mail, log in, chat, send a file and ask for it back, and
// ask for an image. Built for TLS, the window does all of it over TLS, with a server that
// takes nothing else and that reads a renewed certificate in the middle.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void newUserSession();
#ifndef TAVREL_TEST_TLS
    void toServerThatTakesOnlyTls();
#endif

private:
    QTemporaryDir m_data;
    QTemporaryDir m_work;
    QProcess m_server;
    QString m_log;
#ifdef TAVREL_TEST_TLS
    TestCertificates m_certificates;
#endif
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(m_data.isValid() && m_work.isValid() && QDir::setCurrent(m_work.path()));
    QVERIFY(QDir(m_data.path()).mkpath(QStringLiteral("files")) &&
            write(m_data.filePath(QStringLiteral("files/picture.png")), png(40, 30)));
    QStringList options{QStringLiteral("--port"), QStringLiteral("12345"), QStringLiteral("--data"),
                        m_data.path()};
#ifdef TAVREL_TEST_TLS
    QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error()));
    options << m_certificates.serverOptions() << QStringLiteral("--tls-required");
#endif
    quint16 port = 0;
    QVERIFY2(startServerProcess(m_server, &m_log, QStringLiteral(TAVREL_SERVER_BINARY), options, &port),
             qPrintable(m_log));
}

void TestEndToEnd::cleanupTestCase()
{
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(10000));
    QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
}

void TestEndToEnd::newUserSession()
{
    Widget w;
    WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
    shortenFileGap(w);
    startAsNewUser(w, QDir(m_data.filePath("outbox")), QStringLiteral("alice"),
                   QStringLiteral("alice@example.org"));
    if (QTest::currentTestFailed())
        return;
    // Alone online: the server's list leaves alice out and is empty.
    QCOMPARE(shown(w, "textEditUsers"), QStringLiteral("我: alice\n"));
    chat(w, QStringLiteral("alice"), QStringLiteral("大家好 <b>hi</b>"));

    // Send a text file from another folder, then ask for it back by name.
    QTemporaryDir outgoing;
    sendAndFetchBack(w, outgoing.filePath(QStringLiteral("notes.txt")), QStringLiteral("notes.txt"),
                     QStringLiteral("第一行\nsecond line ~+^`& kept\n").toUtf8());
    fetch(w, QStringLiteral("picture.png"), QStringLiteral("收到的图片：picture.png 在图片标签页里显示"));
    QCOMPARE(contents(QStringLiteral("picture.png")), png(40, 30));
    QCOMPARE(WidgetProbe::scene(w)->items().size(), 1);

#ifdef TAVREL_TEST_TLS
    // A renewal with a new key, read on SIGHUP: this connection goes on, a new one gets it.
    for (const QString &name : {QStringLiteral("server.pem"), QStringLiteral("server.key")}) {
        QVERIFY(QFile::remove(m_certificates.path(name)));
        QVERIFY(QFile::copy(
            m_certificates.path(QString(name).replace(QStringLiteral("server"), QStringLiteral("renewed"))),
            m_certificates.path(name)));
    }
    QVERIFY(::kill(pid_t(m_server.processId()), SIGHUP) == 0);
    QTRY_VERIFY_WITH_TIMEOUT(m_log.contains(QStringLiteral("TLS certificate reloaded")), 5000);
    chat(w, QStringLiteral("alice"), QStringLiteral("after the renewal"));
    Widget next;
    WidgetProbe::setServerAddresses(next, {QStringLiteral("127.0.0.1")});
    connectThroughButton(next);
    const auto *tls = static_cast<QSslSocket *>(WidgetProbe::socket(next));
    QCOMPARE(tavrel::publicKeyPin(tls->peerCertificate()), m_certificates.pin(QStringLiteral("renewed")));
    QCOMPARE(m_server.state(), QProcess::Running);
#endif
}

#ifndef TAVREL_TEST_TLS
// The window built without TLS is told why a server that takes only TLS ones closes it.
void TestEndToEnd::toServerThatTakesOnlyTls()
{
    TestCertificates certificates;
    QVERIFY2(certificates.make(), qPrintable(certificates.error()));
    QTemporaryDir data;
    QProcess server;
    QString log;
    quint16 port = 0;
    QVERIFY2(startServerProcess(server, &log, QStringLiteral(TAVREL_SERVER_BINARY),
                                QStringList{QStringLiteral("--port"), QStringLiteral("0"),
                                            QStringLiteral("--data"), data.path(),
                                            QStringLiteral("--tls-required")}
                                    << certificates.serverOptions(),
                                &port),
             qPrintable(log));
    Widget w;
    WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
    WidgetProbe::setServerPort(w, port);
    connectThroughButton(w);
    type(w, "lineEditName", QStringLiteral("alice"));
    type(w, "lineEditPasswd", QStringLiteral("秘密 secret"));
    click(w, "btnLog");
    QTRY_COMPARE_WITH_TIMEOUT(shown(w), QStringLiteral("成功和服务器连接\n服务器: 此服务器只接受加密连接"),
                              5000);
    QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    stopServerProcess(server);
}
#endif

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
