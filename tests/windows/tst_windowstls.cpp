#include "registration.h"

#include <QSslSocket>
#include <QTemporaryDir>

// The window built for TLS on Windows, where Qt's TLS is Schannel: it takes and refuses
// servers as with OpenSSL, it pins the key openssl computed, and a whole session runs over
// TLS. Needs the check's tavrel-server on 127.0.0.1:12345 serving the certificate whose key
// TAVREL_CHECK_TLS_PIN gives, and TAVREL_CHECK_SERVER_DATA; skipped without them.
class TestWindowsTls : public QObject
{
    Q_OBJECT

    QByteArray m_pin = QByteArray::fromHex(qgetenv("TAVREL_CHECK_TLS_PIN"));
    QString m_data = qEnvironmentVariable("TAVREL_CHECK_SERVER_DATA");

private slots:
    void initTestCase()
    {
        if (m_pin.size() != 32 || m_data.isEmpty())
            QSKIP("TAVREL_CHECK_TLS_PIN and TAVREL_CHECK_SERVER_DATA name no TLS server to talk to");
    }

    void connecting_data()
    {
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<QByteArray>("pin");
        QTest::addColumn<QString>("expected");
        const QString connected = QStringLiteral("成功和服务器连接");
        QTest::newRow("the authority built in") << false << QByteArray() << connected;
        QTest::newRow("the key pinned") << true << m_pin << connected;
        QTest::newRow("another key pinned")
            << true << QByteArray(32, 'x')
            << QStringLiteral("加密连接失败（127.0.0.1）：服务器的密钥不是本程序认可的密钥");
    }
    void connecting()
    {
        QFETCH(bool, pinned);
        QFETCH(QByteArray, pin);
        QFETCH(QString, expected);
        Widget w;
        WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
        if (pinned)
            WidgetProbe::tls(w).pins = {pin};
        auto *socket = static_cast<QSslSocket *>(WidgetProbe::socket(w));
        QStringList errors;
        connect(socket, &QSslSocket::sslErrors, this, [&](const QList<QSslError> &found) {
            for (const QSslError &error : found)
                errors << QStringLiteral("%1 (%2)").arg(error.errorString()).arg(int(error.error()));
        });
        click(w, "btnConnect");
        QVERIFY2(shown(w) == expected,
                 qPrintable(shown(w) + QStringLiteral("; errors: ") + errors.join(u", ")));
        QCOMPARE(socket->isEncrypted(), expected.startsWith(QStringLiteral("成功")));
    }

    // Register, log in, chat, and receive a file and an image, all over TLS.
    void session()
    {
        QTemporaryDir work;
        QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
        Widget w;
        WidgetProbe::setServerAddresses(w, {QStringLiteral("127.0.0.1")});
        startAsNewUser(w, QDir(m_data + QStringLiteral("/outbox")), QStringLiteral("加密用户"),
                       QStringLiteral("tls@example.org"));
        if (QTest::currentTestFailed())
            return;
        chat(w, QStringLiteral("加密用户"), QStringLiteral("加密的问候"));
        fetch(w, QStringLiteral("tavrel.png"), QStringLiteral("收到的图片：tavrel.png 在图片标签页里显示"));
        QCOMPARE(WidgetProbe::scene(w)->items().size(), 1);
        QVERIFY(QDir::setCurrent(QDir::tempPath()));
    }
};

QTEST_MAIN(TestWindowsTls)
#include "tst_windowstls.moc"
