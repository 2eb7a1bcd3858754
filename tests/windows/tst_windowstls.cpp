#include "widgetprobe.h"

#include <QSslSocket>

using namespace Qt::StringLiterals;

// The window built for TLS on Windows, where Qt's TLS is Schannel: it takes and refuses
// servers as with OpenSSL, and it pins the key openssl computed. (A whole session over TLS is
// tst_endtoend_tls's; one on Windows is tst_windows's.) Needs the check's tavrel-server on
// 127.0.0.1:12345 serving the certificate whose key TAVREL_CHECK_TLS_PIN gives; skipped without.
class TestWindowsTls : public QObject
{
    Q_OBJECT

    QByteArray m_pin = QByteArray::fromHex(qgetenv("TAVREL_CHECK_TLS_PIN"));

private slots:
    void initTestCase()
    {
        if (m_pin.size() != 32)
            QSKIP("TAVREL_CHECK_TLS_PIN names no TLS server to talk to");
    }

    void connecting_data()
    {
        QTest::addColumn<QByteArray>("pin"); // empty: none pinned
        QTest::addColumn<QString>("expected");
        const QString connected = u"成功和服务器连接"_s;
        QTest::newRow("the authority built in") << QByteArray() << connected;
        QTest::newRow("the key pinned") << m_pin << connected;
        QTest::newRow("another key pinned")
            << QByteArray(32, 'x') << u"加密连接失败（127.0.0.1）：服务器的密钥不是本程序认可的密钥"_s;
    }
    void connecting()
    {
        QFETCH(QByteArray, pin);
        QFETCH(QString, expected);
        Widget w;
        WidgetProbe::setServerAddresses(w, {u"127.0.0.1"_s});
        if (!pin.isEmpty())
            WidgetProbe::tls(w).pins = {pin};
        auto *socket = static_cast<QSslSocket *>(WidgetProbe::socket(w));
        QStringList errors;
        connect(socket, &QSslSocket::sslErrors, this, [&](const QList<QSslError> &found) {
            for (const QSslError &error : found)
                errors << u"%1 (%2)"_s.arg(error.errorString()).arg(int(error.error()));
        });
        click(w, "btnConnect");
        QVERIFY2(shown(w) == expected, qPrintable(shown(w) + u"; errors: "_s + errors.join(u", ")));
        QCOMPARE(socket->isEncrypted(), expected.startsWith(u"成功"_s));
    }
};

QTEST_MAIN(TestWindowsTls)
#include "tst_windowstls.moc"
