#include "assembler.h"
#include "protocol.h"
#include "session.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using Messages = QList<QByteArray>;

// Drives one Session over a loopback connection and reads what it sends with the client's
// own assembler: two messages sent too close together would arrive as one.
class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void pacedAndMerged_data()
    {
        QTest::addColumn<Messages>("sent");
        QTest::addColumn<Messages>("expected");
        const QByteArray file = fileMessage(QStringLiteral("f.txt"), "data");
        const QByteArray ok = loginAnswer(QStringLiteral("登录成功"));
        QTest::newRow("chat lines waiting merge")
            << Messages{"c,a", "c,b", "c,c"} << Messages{"c,a", "c,b\nc"};
        QTest::newRow("newer user list replaces the waiting one")
            << Messages{ok, "o,x", "o,x\ny"} << Messages{ok, "o,x\ny"};
        QTest::newRow("chat joins across a waiting user list")
            << Messages{"r,ok", "c,a", "o,u", "c,b"} << Messages{"r,ok", "c,a\nb", "o,u"};
        QTest::newRow("a file keeps the order")
            << Messages{"c,a", file, "c,b", "c,c"} << Messages{"c,a", file, "c,b\nc"};
        QTest::newRow("after a file the longer gap")
            << Messages{file, file, "c,x"} << Messages{file, file, "c,x"};
        QTest::newRow("answers never merge")
            << Messages{"l,x", "l,y", "r,z"} << Messages{"l,x", "l,y", "r,z"};
    }
    void pacedAndMerged()
    {
        QFETCH(Messages, sent);
        QFETCH(Messages, expected);
        QTcpServer listener;
        QTcpSocket reader;
        MessageAssembler assembler;
        Messages received;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        reader.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(reader.waitForConnected(3000) && listener.waitForNewConnection(3000));
        connect(&reader, &QTcpSocket::readyRead, this, [&] { assembler.append(reader.readAll()); });
        connect(&assembler, &MessageAssembler::messageReady, this,
                [&](const QByteArray &m) { received.append(m); });
        Session session(listener.nextPendingConnection(), Config());
        for (const QByteArray &message : sent)
            session.send(message);
        QTRY_COMPARE_WITH_TIMEOUT(received.size(), expected.size(), 5000);
        // Long enough for a wrongly split or late message to show.
        QTest::qWait(kFileQuietGapMs + kFileGapMarginMs);
        QCOMPARE(received, expected);
    }

    // A connection closed after its output ends only once the client has taken its last
    // message whole: the client ends a message by the quiet gap after it, and gives up one
    // whose connection closes before that.
    void closeWaitsForTheClient_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("chat line") << QByteArray("c,bye");
        QTest::newRow("file of 4 MiB") << fileMessage(QStringLiteral("f.txt"), QByteArray(4 << 20, 'f'));
    }
    void closeWaitsForTheClient()
    {
        QFETCH(QByteArray, message);
        QTcpServer listener;
        QTcpSocket reader;
        MessageAssembler assembler;
        Messages received;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        reader.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(reader.waitForConnected(3000) && listener.waitForNewConnection(3000));
        bool cut = false;
        connect(&reader, &QTcpSocket::readyRead, this, [&] { assembler.append(reader.readAll()); });
        connect(&reader, &QTcpSocket::disconnected, this, [&] {
            assembler.append(reader.readAll());
            cut = !assembler.pending().isEmpty();
        });
        connect(&assembler, &MessageAssembler::messageReady, this,
                [&](const QByteArray &m) { received.append(m); });
        Session session(listener.nextPendingConnection(), Config());
        session.sendAndClose(message);
        QTRY_VERIFY_WITH_TIMEOUT(reader.state() == QAbstractSocket::UnconnectedState, 10000);
        QVERIFY2(!cut, "the connection closed while the last message was still arriving");
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.value(0).size(), message.size());
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
