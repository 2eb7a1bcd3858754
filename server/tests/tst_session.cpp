#include "assembler.h"
#include "protocol.h"
#include "session.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;

// Drives one Session over a loopback connection and reads what it sends with the client's
// own assembler: two messages sent too close together arrive as one.
class TestSession : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void pacedAndMerged_data();
    void pacedAndMerged();

private:
    QTcpServer m_listener;
    QTcpSocket m_reader;
    MessageAssembler m_assembler;
    QList<QByteArray> m_received;
    std::unique_ptr<Session> m_session;
    Config m_config;
};

void TestSession::init()
{
    m_received.clear();
    m_config = Config();
    QVERIFY(m_listener.listen(QHostAddress::LocalHost, 0));
    m_reader.connectToHost(QHostAddress::LocalHost, m_listener.serverPort());
    QVERIFY(m_reader.waitForConnected(3000));
    QVERIFY(m_listener.waitForNewConnection(3000));
    connect(&m_reader, &QTcpSocket::readyRead, this, [this] { m_assembler.append(m_reader.readAll()); });
    connect(&m_assembler, &MessageAssembler::messageReady, this,
            [this](const QByteArray &message) { m_received.append(message); });
}

void TestSession::cleanup()
{
    m_session.reset();
    m_reader.abort();
    m_reader.disconnect(this);
    m_assembler.disconnect(this);
    m_assembler.clear();
    m_listener.close();
}

void TestSession::pacedAndMerged_data()
{
    QTest::addColumn<QList<QByteArray>>("sent");
    QTest::addColumn<QList<QByteArray>>("expected");

    const QByteArray file = fileMessage(QStringLiteral("f.txt"), "data");
    const QByteArray ok = loginAnswer(QStringLiteral("登录成功"));
    QTest::newRow("chat lines waiting merge")
        << QList<QByteArray>{"c,a", "c,b", "c,c"} << QList<QByteArray>{"c,a", "c,b\nc"};
    QTest::newRow("newer user list replaces the waiting one")
        << QList<QByteArray>{ok, "o,x", "o,x\ny"} << QList<QByteArray>{ok, "o,x\ny"};
    QTest::newRow("chat joins across a waiting user list")
        << QList<QByteArray>{"r,ok", "c,a", "o,u", "c,b"} << QList<QByteArray>{"r,ok", "c,a\nb", "o,u"};
    QTest::newRow("a file keeps the order")
        << QList<QByteArray>{"c,a", file, "c,b", "c,c"} << QList<QByteArray>{"c,a", file, "c,b\nc"};
    QTest::newRow("after a file the longer gap")
        << QList<QByteArray>{file, file, "c,x"} << QList<QByteArray>{file, file, "c,x"};
    QTest::newRow("answers never merge")
        << QList<QByteArray>{"l,x", "l,y", "r,z"} << QList<QByteArray>{"l,x", "l,y", "r,z"};
}

void TestSession::pacedAndMerged()
{
    QFETCH(QList<QByteArray>, sent);
    QFETCH(QList<QByteArray>, expected);
    m_session = std::make_unique<Session>(m_listener.nextPendingConnection(), m_config);
    for (const QByteArray &message : sent)
        m_session->send(message);
    QTRY_COMPARE_WITH_TIMEOUT(m_received.size(), expected.size(), 5000);
    QTest::qWait(kFileQuietGapMs + kFileGapMarginMs);
    QCOMPARE(m_received, expected);
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
