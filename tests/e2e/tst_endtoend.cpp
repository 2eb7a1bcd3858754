#include "widget.h"
#include "widgetprobe.h"

#include <QDir>
#include <QImage>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

// The real window against the real server on 127.0.0.1:12345, as a new user meets them:
// register with the code from the mail, log in, chat, send a file and ask for it back.
class TestEndToEnd : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void newUserSession();

private:
    QString messageBox() { return WidgetProbe::textEdit(*m_window, "textEditRead")->toPlainText(); }
    void click(const char *name) { QTest::mouseClick(WidgetProbe::button(*m_window, name), Qt::LeftButton); }
    void type(const char *name, const QString &text)
    {
        WidgetProbe::lineEdit(*m_window, name)->setText(text);
    }
    QString codeFromOutbox() const;

    QTemporaryDir m_data;
    QTemporaryDir m_work;
    QProcess m_server;
    std::unique_ptr<Widget> m_window;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(m_data.isValid() && m_work.isValid());
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(QStringLiteral(TAVREL_SERVER_BINARY),
                   {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                    QStringLiteral("12345"), QStringLiteral("--data"), m_data.path()});
    QVERIFY2(m_server.waitForStarted(5000), qPrintable(m_server.errorString()));
    // Ready once it accepts connections.
    bool listening = false;
    for (int attempt = 0; attempt < 100 && !listening; ++attempt) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), 12345);
        listening = probe.waitForConnected(100);
        if (!listening)
            QTest::qWait(50);
    }
    QVERIFY(listening);
    QVERIFY(QDir::setCurrent(m_work.path()));
    m_window = std::make_unique<Widget>();
}

void TestEndToEnd::cleanupTestCase()
{
    m_window.reset();
    m_server.terminate();
    QVERIFY(m_server.waitForFinished(10000));
    QCOMPARE(m_server.exitStatus(), QProcess::NormalExit);
}

QString TestEndToEnd::codeFromOutbox() const
{
    const QDir outbox(m_data.filePath(QStringLiteral("outbox")));
    const QStringList mails = outbox.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Time);
    if (mails.isEmpty())
        return QString();
    QFile mail(outbox.filePath(mails.first()));
    if (!mail.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(mail.readAll());
    if (!text.contains(QLatin1String("To: <alice@example.org>")))
        return QString();
    return QRegularExpression(QStringLiteral("验证码：(\\d{6})")).match(text).captured(1);
}

void TestEndToEnd::newUserSession()
{
    click("btnConnect");
    QCOMPARE(WidgetProbe::button(*m_window, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(messageBox(), QStringLiteral("成功和服务器连接"));

    // Registration, first without a code: the server mails one.
    type("lineEditName", QStringLiteral("alice"));
    type("lineEditEmail", QStringLiteral("alice@example.org"));
    type("lineEditPasswd", QStringLiteral("秘密 secret"));
    type("lineEditPasswd2", QStringLiteral("秘密 secret"));
    click("btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().contains(QStringLiteral("验证码已发送到alice@example.org")), 10000);
    QString code;
    QTRY_VERIFY_WITH_TIMEOUT(!(code = codeFromOutbox()).isEmpty(), 5000);

    // The client's one-minute lockout is tested on its own; here the minute has passed.
    WidgetProbe::button(*m_window, "btnReg")->setEnabled(true);
    type("lineEditCheckCode", code);
    click("btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().contains(QStringLiteral("注册成功，请登录")), 10000);

    click("btnLog");
    QTRY_VERIFY_WITH_TIMEOUT(WidgetProbe::button(*m_window, "btnSend")->isEnabled(), 10000);
    QVERIFY(messageBox().endsWith(QStringLiteral("登录成功")));
    QTRY_VERIFY(WidgetProbe::textEdit(*m_window, "textEditUsers")
                    ->toPlainText()
                    .startsWith(QStringLiteral("我: alice\nalice")));

    // The server echoes the chat line to its sender.
    WidgetProbe::textEdit(*m_window, "textEditWrite")->setPlainText(QStringLiteral("大家好 <b>hi</b>"));
    click("btnSend");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().endsWith(QStringLiteral("alice: 大家好 <b>hi</b>")), 5000);

    // Send a text file from another folder, then ask for it back by name.
    QTemporaryDir outgoing;
    const QByteArray contents = QStringLiteral("第一行\nsecond line ~+^`& kept\n").toUtf8();
    {
        QFile file(outgoing.filePath(QStringLiteral("notes.txt")));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(contents);
    }
    type("lineEditFile", outgoing.filePath(QStringLiteral("notes.txt")));
    click("btnSendFile");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().contains(QStringLiteral("notes.txt")), 5000);

    type("lineEditFile2", QStringLiteral("notes.txt"));
    click("btnReceiveFile");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().contains(QStringLiteral("收到文件：notes.txt")), 5000);
    QFile received(QStringLiteral("notes.txt"));
    QVERIFY(received.open(QIODevice::ReadOnly));
    QCOMPARE(received.readAll(), contents);
    QCOMPARE(WidgetProbe::textEdit(*m_window, "textEditFile")->toPlainText(), QString::fromUtf8(contents));

    // An image the operator put on the server arrives as an image and is shown.
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QVERIFY(QDir().mkpath(m_data.filePath(QStringLiteral("files"))));
    QVERIFY(image.save(m_data.filePath(QStringLiteral("files/logo.png"))));
    type("lineEditFile2", QStringLiteral("logo.png"));
    click("btnReceiveFile");
    QTRY_VERIFY_WITH_TIMEOUT(messageBox().contains(QStringLiteral("收到服务器 发来的文件：logo.png")), 5000);
    QVERIFY(messageBox().contains(QStringLiteral("收到的图片：logo.png 在图片标签页里显示")));
    QCOMPARE(WidgetProbe::scene(*m_window)->items().size(), 1);
    QCOMPARE(QImage(QStringLiteral("logo.png")).size(), QSize(40, 30));
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
