#include "registration.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>

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
    QTemporaryDir m_data;
    QTemporaryDir m_work;
    QProcess m_server;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(m_data.isValid() && m_work.isValid() && QDir::setCurrent(m_work.path()));
    m_server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_server.start(TAVREL_SERVER_BINARY,
                   {"--listen", "127.0.0.1", "--port", "12345", "--data", m_data.path()});
    QVERIFY2(m_server.waitForStarted(5000), qPrintable(m_server.errorString()));
    QTcpSocket probe; // ready once it accepts connections
    QTRY_VERIFY_WITH_TIMEOUT(
        (probe.abort(), probe.connectToHost("127.0.0.1", 12345), probe.waitForConnected(100)), 10000);
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
    connectThroughButton(w);
    registerThroughMail(w, QDir(m_data.filePath("outbox")), QStringLiteral("alice"),
                        QStringLiteral("alice@example.org"), QStringLiteral("秘密 secret"));
    if (QTest::currentTestFailed())
        return;

    // The answer and the user list come 40 ms apart: wait in a running event loop, as the
    // application does, since QTRY looks at the socket only every 10 ms and could join them.
    QSignalSpy users(WidgetProbe::textEdit(w, "textEditUsers"), &QTextEdit::textChanged);
    click(w, "btnLog");
    const auto listed = [&w] {
        return shown(w, "textEditUsers").startsWith(QStringLiteral("我: alice\nalice"));
    };
    while (!listed() && users.wait(10000)) {
    }
    QVERIFY2(listed() && sendButtonsEnabled(w) == 3 && shown(w).endsWith(QStringLiteral("登录成功")),
             qPrintable(shown(w)));

    // The server echoes the chat line to its sender.
    WidgetProbe::textEdit(w, "textEditWrite")->setPlainText(QStringLiteral("大家好 <b>hi</b>"));
    click(w, "btnSend");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).endsWith(QStringLiteral("alice: 大家好 <b>hi</b>")), 5000);

    // Send a text file from another folder, then ask for it back by name.
    QTemporaryDir outgoing;
    sendAndFetchBack(w, outgoing.filePath(QStringLiteral("notes.txt")), QStringLiteral("notes.txt"),
                     QStringLiteral("第一行\nsecond line ~+^`& kept\n").toUtf8());
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
