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

    // tavrel-server serving tls (none: plain only) on address and port (0: any), until it goes
    // out of scope.
    struct Server
    {
        QTemporaryDir data;
        QProcess process;
        QString log;
        quint16 port = 0;
        ~Server() { stopServerProcess(process); }
        bool start(const QStringList &tls, const QString &address, quint16 at = 0)
        {
            port = at;
            const QStringList options{u"--listen"_s,       address,     u"--port"_s,
                                      QString::number(at), u"--data"_s, data.path()};
            return startServerProcess(process, &log, QStringLiteral(TAVREL_SERVER_BINARY), options + tls,
                                      &port);
        }
    };

private slots:
    void initTestCase() { QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error())); }

    void candidate_data()
    {
        QTest::addColumn<QString>("served"); // a certificate; "": plain only; "silent": no answer
        QTest::addColumn<QStringList>("pins");
        QTest::addColumn<QString>("why"); // "": connected
        QTest::addColumn<bool>("next");   // a valid server waits behind, on the next address
        const QString expired = u"服务器的证书已过期"_s;
        const QString wrongKey = u"服务器的密钥不是本程序认可的密钥"_s;
        const auto add = [](const char *tag, const QString &served, const QStringList &pins,
                            const QString &why,
                            bool next = false) { QTest::newRow(tag) << served << pins << why << next; };
        add("authority: self-signed", u"stranger"_s, {}, u"服务器的证书不是可信的机构签发的"_s);
        add("pin: self-signed", u"stranger"_s, {u"stranger"_s}, QString());
        add("pin: the second of two", u"renewed"_s, {u"server"_s, u"renewed"_s}, QString());
        add("pin: wrong key, signed", u"server"_s, {u"renewed"_s}, wrongKey);
        add("pin: wrong key, self-signed", u"stranger"_s, {u"server"_s}, wrongKey);
        add("pin: expired", u"expired"_s, {u"server"_s}, expired);
        add("plain server", QString(), {}, u"服务器在加密握手时断开了连接"_s);
        add("silent server", u"silent"_s, {}, u"服务器没有在1000毫秒内完成加密握手"_s);
        // Refused for its certificate, a candidate is passed over for the next, as one that
        // refuses the connection is.
        add("expired, then the next candidate", u"expired"_s, {}, expired, true);
    }
    void candidate()
    {
        QFETCH(QString, served);
        QFETCH(QStringList, pins);
        QFETCH(QString, why);
        QFETCH(bool, next);
        // The port is picked free on 127.0.0.1, where the other tests of this machine listen,
        // and taken on 127.0.0.2 too.
        const QString address = next ? u"127.0.0.2"_s : u"127.0.0.1"_s;
        Server behind, server;
        if (next)
            QVERIFY2(behind.start(m_certificates.serverOptions(), u"127.0.0.1"_s), qPrintable(behind.log));
        QTcpServer silent;
        if (served == u"silent"_s) {
            QVERIFY(silent.listen(QHostAddress::LocalHost));
            server.port = silent.serverPort();
        } else {
            const QStringList tls = served.isEmpty() ? QStringList() : m_certificates.serverOptions(served);
            QVERIFY2(server.start(tls, address, behind.port), qPrintable(server.log));
        }
        Widget w;
        WidgetProbe::setServerAddresses(w,
                                        next ? QStringList{address, u"127.0.0.1"_s} : QStringList{address});
        WidgetProbe::setServerPort(w, server.port);
        for (const QString &pin : pins)
            WidgetProbe::tls(w).pins.append(m_certificates.pin(pin));
        QStringList lines;
        connect(WidgetProbe::textEdit(w, "textEditRead"), &QTextEdit::textChanged, this,
                [&] { lines.append(shown(w)); });
        click(w, "btnConnect");
        auto *socket = static_cast<QSslSocket *>(WidgetProbe::socket(w));
        const bool connected = why.isEmpty() || next;
        // One line for a refusal; no plain connection left behind that a login could go out on.
        QStringList expected;
        if (!why.isEmpty())
            expected << u"加密连接失败（%1）："_s.arg(address) + why;
        if (connected)
            expected << u"成功和服务器连接"_s;
        QCOMPARE(lines, expected);
        QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), connected ? u"断开"_s : u"连接服务器"_s);
        if (connected)
            QVERIFY(socket->isEncrypted() && socket->peerAddress() == QHostAddress(u"127.0.0.1"_s));
        else
            QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
    }
};

QTEST_MAIN(TestTlsConnect)
#include "tst_tlsconnect.moc"
