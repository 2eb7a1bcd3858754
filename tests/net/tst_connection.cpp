#include "scriptedpeer.h"

// Every test here binds port 12345 on loopback addresses only.
class TestConnection : public QObject
{
    Q_OBJECT

private slots:
    void candidates_data();
    void candidates();
    void transitions();
};

void TestConnection::candidates_data()
{
    QTest::addColumn<QString>("listenOn"); // empty: no server at all
    QTest::newRow("first candidate accepts") << "127.0.0.2";
    QTest::newRow("only the third accepts") << "127.0.0.1";
    QTest::newRow("none accepts") << "";
}

void TestConnection::candidates()
{
    QFETCH(QString, listenOn);

    ScriptedPeer peer, third;
    QVERIFY(listenOn.isEmpty() || peer.listen(listenOn));
    // Must not be reached when an earlier candidate accepts.
    QVERIFY(listenOn != QLatin1String("127.0.0.2") || third.listen());

    Widget w;
    WidgetProbe::textEdit(w, "textEditRead")->setPlainText(QStringLiteral("old line"));
    setSendButtonsEnabled(w, true);
    click(w, "btnConnect");

    QTcpSocket *socket = WidgetProbe::socket(w);
    if (listenOn.isEmpty()) {
        QCOMPARE(socket->state(), QAbstractSocket::UnconnectedState);
        QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("连接服务器"));
        QCOMPARE(shown(w), QStringLiteral("old line"));
        return;
    }
    QCOMPARE(socket->state(), QAbstractSocket::ConnectedState);
    QCOMPARE(socket->peerAddress(), QHostAddress(listenOn));
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(shown(w), QStringLiteral("成功和服务器连接"));
    QCOMPARE(sendButtonsEnabled(w), 0);
    QTRY_COMPARE(peer.connectionCount(), 1);
    QTest::qWait(50);
    QCOMPARE(third.connectionCount(), 0);
}

void TestConnection::transitions()
{
    ScriptedPeer peer;
    QVERIFY(peer.listen());
    Widget w;
    QPushButton *button = WidgetProbe::button(w, "btnConnect");
    click(w, "btnConnect");
    QTRY_COMPARE(peer.connectionCount(), 1);
    setSendButtonsEnabled(w, true);
    WidgetProbe::textEdit(w, "textEditRead")->append(QStringLiteral("chat"));

    // A connection the peer closes goes unnoticed: caption and buttons stay.
    peer.closeClient();
    QTRY_COMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(button->text(), QStringLiteral("断开"));
    QCOMPARE(sendButtonsEnabled(w), 3);
    QCOMPARE(shown(w), QStringLiteral("成功和服务器连接\nchat"));

    // So the next click connects again instead of disconnecting; the buttons wait for a login.
    click(w, "btnConnect");
    QTRY_COMPARE(peer.connectionCount(), 2);
    QCOMPARE(button->text(), QStringLiteral("断开"));
    QCOMPARE(shown(w), QStringLiteral("成功和服务器连接"));
    QCOMPARE(sendButtonsEnabled(w), 0);

    // Signed in, then disconnected by the user.
    setSendButtonsEnabled(w, true);
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::socket(w)->state(), QAbstractSocket::UnconnectedState);
    QCOMPARE(button->text(), QStringLiteral("连接"));
    QCOMPARE(sendButtonsEnabled(w), 0);

    // With no server the caption stays "连接", never the start caption.
    peer.close();
    click(w, "btnConnect");
    QCOMPARE(button->text(), QStringLiteral("连接"));
    QVERIFY(peer.listen());
    click(w, "btnConnect");
    QCOMPARE(button->text(), QStringLiteral("断开"));
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
