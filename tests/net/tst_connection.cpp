#include "scriptedpeer.h"
#include "widget.h"
#include "widgetprobe.h"

#include <QTest>

// Every test here binds port 12345 on loopback addresses only.
class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void candidateOrder_data();
    void candidateOrder();
    void noServer();
    void connectDisconnectReconnect();
    void droppedConnectionIsNotNoticed();

private:
    static void click(Widget &w, const char *name)
    {
        QTest::mouseClick(WidgetProbe::button(w, name), Qt::LeftButton);
    }
    static void enableSendButtons(Widget &w)
    {
        for (const char *name : {"btnSend", "btnSendFile", "btnReceiveFile"})
            WidgetProbe::button(w, name)->setEnabled(true);
    }
    static bool sendButtonsEnabled(Widget &w)
    {
        return WidgetProbe::button(w, "btnSend")->isEnabled() ||
               WidgetProbe::button(w, "btnSendFile")->isEnabled() ||
               WidgetProbe::button(w, "btnReceiveFile")->isEnabled();
    }
};

void TestConnection::candidateOrder_data()
{
    QTest::addColumn<QString>("listenOn");
    QTest::addColumn<int>("minMs");
    QTest::addColumn<int>("maxMs");

    // Refused candidates fail at once on loopback, so the timing tells how many were tried.
    QTest::newRow("first candidate accepts") << QStringLiteral("127.0.0.2") << 0 << 900;
    QTest::newRow("only the third accepts") << QStringLiteral("127.0.0.1") << 0 << 2900;
}

void TestConnection::candidateOrder()
{
    QFETCH(QString, listenOn);
    QFETCH(int, minMs);
    QFETCH(int, maxMs);

    ScriptedPeer peer;
    QVERIFY(peer.listen(QHostAddress(listenOn)));
    // A second listener on the address that must not be reached when the first accepts.
    ScriptedPeer third;
    if (listenOn != QLatin1String("127.0.0.1"))
        QVERIFY(third.listen(QHostAddress(QStringLiteral("127.0.0.1"))));

    Widget w;
    WidgetProbe::textEdit(w, "textEditRead")->setPlainText(QStringLiteral("old line"));
    enableSendButtons(w);
    QElapsedTimer clock;
    clock.start();
    click(w, "btnConnect");
    QVERIFY(clock.elapsed() >= minMs && clock.elapsed() <= maxMs);

    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(WidgetProbe::socket(w)->peerAddress(), QHostAddress(listenOn));
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), QStringLiteral("成功和服务器连接"));
    QVERIFY(!sendButtonsEnabled(w));
    QTRY_COMPARE(peer.connectionCount(), 1);
    QTest::qWait(50);
    QCOMPARE(third.connectionCount(), 0);
}

void TestConnection::noServer()
{
    Widget w;
    WidgetProbe::textEdit(w, "textEditRead")->setPlainText(QStringLiteral("kept"));
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("连接服务器"));
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), QStringLiteral("kept"));
}

void TestConnection::connectDisconnectReconnect()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    Widget w;
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));

    // Signed in, then disconnected by the user.
    enableSendButtons(w);
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("连接"));
    QVERIFY(!sendButtonsEnabled(w));

    // With no server the caption stays "连接", never the start caption.
    peer.close();
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("连接"));

    QVERIFY(peer.listen());
    WidgetProbe::textEdit(w, "textEditRead")->append(QStringLiteral("chat"));
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), QStringLiteral("成功和服务器连接"));
}

void TestConnection::droppedConnectionIsNotNoticed()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    Widget w;
    click(w, "btnConnect");
    QTRY_COMPARE(peer.connectionCount(), 1);
    enableSendButtons(w);
    WidgetProbe::textEdit(w, "textEditRead")->append(QStringLiteral("chat"));

    peer.closeClient();
    QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QVERIFY(WidgetProbe::button(w, "btnSend")->isEnabled());
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(),
             QStringLiteral("成功和服务器连接\nchat"));

    // The next click connects again instead of disconnecting; the buttons wait for a login.
    click(w, "btnConnect");
    QTRY_COMPARE(peer.connectionCount(), 2);
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), QStringLiteral("成功和服务器连接"));
    QVERIFY(!sendButtonsEnabled(w));
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
