#include "serverprocess.h"
#include "testcertificates.h"
#include "widgetprobe.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryDir>

using namespace Qt::StringLiterals;

// The window built for TLS against real servers: the certificates and keys it takes, and
// the one line it shows for each it refuses, after which it is not connected at all.
class TestTlsConnect : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;

    // tavrel-server serving the certificate named (none: plain only) on address and port (0:
    // any), until it goes out of scope.
    struct Server
    {
        QTemporaryDir data;
        QProcess process;
        QString log;
        quint16 port = 0;
        ~Server() { stopServerProcess(process); }
    };
    bool start(Server &server, const QString &certificate, const QString &address, quint16 port = 0)
    {
        server.port = port;
        QStringList options{u"--listen"_s,         address,     u"--port"_s,
                            QString::number(port), u"--data"_s, server.data.path()};
        if (!certificate.isEmpty())
            options << m_certificates.serverOptions(certificate);
        return startServerProcess(server.process, &server.log, QStringLiteral(TAVREL_SERVER_BINARY), options,
                                  &server.port);
    }

private slots:
    void initTestCase() { QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error())); }

    void candidate_data()
    {
        QTest::addColumn<QString>("served"); // a certificate; "": plain only; "silent": no answer
        QTest::addColumn<QStringList>("pins");
        QTest::addColumn<QString>("why"); // "": connected
        const QString expired = u"服务器的证书已过期"_s;
        const QString wrongKey = u"服务器的密钥不是本程序认可的密钥"_s;
        QTest::newRow("authority: valid") << u"server"_s << QStringList() << QString();
        QTest::newRow("authority: expired") << u"expired"_s << QStringList() << expired;
        QTest::newRow("authority: self-signed")
            << u"stranger"_s << QStringList() << u"服务器的证书不是可信的机构签发的"_s;
        QTest::newRow("pin: self-signed") << u"stranger"_s << QStringList{u"stranger"_s} << QString();
        QTest::newRow("pin: the second of two")
            << u"renewed"_s << QStringList{u"server"_s, u"renewed"_s} << QString();
        QTest::newRow("pin: wrong key, signed") << u"server"_s << QStringList{u"renewed"_s} << wrongKey;
        QTest::newRow("pin: wrong key, self-signed") << u"stranger"_s << QStringList{u"server"_s} << wrongKey;
        QTest::newRow("pin: expired") << u"expired"_s << QStringList{u"server"_s} << expired;
        QTest::newRow("plain server") << QString() << QStringList() << u"服务器在加密握手时断开了连接"_s;
        QTest::newRow("silent server")
            << u"silent"_s << QStringList() << u"服务器没有在1000毫秒内完成加密握手"_s;
    }
    void candidate()
    {
        QFETCH(QString, served);
        QFETCH(QStringList, pins);
        QFETCH(QString, why);
        Server server;
        QTcpServer silent;
        if (served == u"silent"_s) {
            QVERIFY(silent.listen(QHostAddress::LocalHost));
            server.port = silent.serverPort();
        } else {
            QVERIFY2(start(server, served, u"127.0.0.1"_s), qPrintable(server.log));
        }
        Widget w;
        WidgetProbe::setServerAddresses(w, {u"127.0.0.1"_s});
        WidgetProbe::setServerPort(w, server.port);
        for (const QString &pin : pins)
            WidgetProbe::tls(w).pins.append(m_certificates.pin(pin));
        click(w, "btnConnect");
        auto *socket = static_cast<QSslSocket *>(WidgetProbe::socket(w));
        if (why.isEmpty()) {
            QCOMPARE(shown(w), u"成功和服务器连接"_s);
            QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), u"断开"_s);
            QVERIFY(socket->isEncrypted());
        } else {
            // One line; no plain connection left behind that a login could go out on.
            QCOMPARE(shown(w), u"加密连接失败（127.0.0.1）："_s + why);
            QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), u"连接服务器"_s);
            QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        }
    }

    // A candidate refused for its certificate is passed over for the next, as one that
    // refuses the connection is.
    void nextCandidate()
    {
        // The port is picked free on 127.0.0.1, where the other tests of this machine listen,
        // and taken on 127.0.0.2 too.
        Server first, second;
        QVERIFY2(start(second, u"server"_s, u"127.0.0.1"_s), qPrintable(second.log));
        QVERIFY2(start(first, u"expired"_s, u"127.0.0.2"_s, second.port), qPrintable(first.log));
        Widget w;
        WidgetProbe::setServerAddresses(w, {u"127.0.0.2"_s, u"127.0.0.1"_s});
        WidgetProbe::setServerPort(w, second.port);
        QStringList lines;
        connect(WidgetProbe::textEdit(w, "textEditRead"), &QTextEdit::textChanged, this,
                [&] { lines.append(shown(w)); });
        click(w, "btnConnect");
        QCOMPARE(lines,
                 (QStringList{u"加密连接失败（127.0.0.2）：服务器的证书已过期"_s, u"成功和服务器连接"_s}));
        QCOMPARE(WidgetProbe::socket(w)->peerAddress(), QHostAddress(u"127.0.0.1"_s));
    }
};

QTEST_MAIN(TestTlsConnect)
#include "tst_tlsconnect.moc"
