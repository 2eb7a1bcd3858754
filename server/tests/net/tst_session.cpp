#include "assembler.h"
#include "config.h"
#include "pathgaps.h"
#include "protocol.h"
#include "session.h"
#include "sharedfiles.h"
#include "testcertificates.h"
#include "tlscredentials.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QSslSocket>
#include <QTcpServer>
#include <QTemporaryFile>
#include <QTest>

#include <fcntl.h>
#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using Messages = QList<QByteArray>;
Q_DECLARE_METATYPE(tavrel::server::SendQueue)

namespace {

// TLS for a Session: the server's credentials, and a client's settings that trust them; the
// test's own, made once the application object is (the TLS backend needs it).
const QSslConfiguration *serverTls, *clientTls;

// A Session on config, and the client's end of its connection, read with the client's
// assembler, at most bytesPerTick every 10 ms (0: as fast as bytes come) through a small
// receive buffer, and at most limit bytes in all (-1: no limit), after which it stops or,
// with vanish, drops the connection. With tls, the connection is encrypted first.
class Reader : public QTcpServer
{
    std::unique_ptr<QTcpSocket> m_own;
    QTimer m_tick;
    MessageAssembler m_assembler;

public:
    explicit Reader(int bytesPerTick = 0, qint64 limit = -1, bool vanish = false, bool tls = false,
                    const Config &config = Config())
        : m_own(tls ? new QSslSocket : new QTcpSocket)
        , socket(*m_own)
    {
        QVERIFY(listen(QHostAddress::LocalHost, 0));
        const auto take = [this, limit, vanish](qint64 most) {
            if (limit >= 0)
                most = std::min(most < 0 ? limit : most, limit - bytesRead);
            const QByteArray bytes = most < 0 ? socket.readAll() : socket.read(most);
            bytesRead += bytes.size();
            if (m_assembler.pendingSize() == 0)
                followPacedPath(m_assembler, socket.socketDescriptor());
            m_assembler.append(bytes);
            if (vanish && bytesRead == limit) {
                m_tick.stop();
                socket.abort();
            }
        };
        if (bytesPerTick > 0) {
            // Set on the bound socket, before the connection offers its first window.
            QVERIFY(socket.bind(QHostAddress::LocalHost));
            socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 16 * 1024);
            socket.setReadBufferSize(bytesPerTick);
            connect(&m_tick, &QTimer::timeout, this, [take, bytesPerTick] { take(bytesPerTick); });
            m_tick.start(10);
        } else {
            connect(&socket, &QTcpSocket::readyRead, this, [take] { take(-1); });
        }
        if (tls) {
            auto &tlsSocket = static_cast<QSslSocket &>(socket);
            tlsSocket.setSslConfiguration(*clientTls);
            tlsSocket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), serverPort());
        } else {
            socket.connectToHost(QHostAddress::LocalHost, serverPort());
        }
        QVERIFY(socket.waitForConnected(3000) && waitForNewConnection(3000));
        serverSide = nextPendingConnection();
        session = std::make_unique<Session>(serverSide, std::make_shared<SessionSettings>(config));
        connect(&m_assembler, &MessageAssembler::messageReady, this,
                [this](const QByteArray &m) { received.append(m); });
        // As the client does, a message still arriving when the connection closes is dropped.
        connect(&socket, &QTcpSocket::disconnected, this, [this, take] {
            if (socket.isOpen())
                take(-1);
            cutByClose = m_assembler.pendingSize() > 0;
            m_assembler.clear();
        });
        if (tls) {
            session->offerTls(*serverTls);
            // The client is done first: it sends its last handshake message and goes on.
            QTRY_VERIFY(static_cast<QSslSocket &>(socket).isEncrypted() && session->isEncrypted());
        }
    }

    // The socket outlives the assembler, and its close would still reach it.
    ~Reader() override { socket.disconnect(this); }
    // The server's sockets can start TLS, as the server's own can.
    void incomingConnection(qintptr descriptor) override
    {
        auto *accepted = new QSslSocket(this);
        accepted->setSocketDescriptor(descriptor);
        addPendingConnection(accepted);
    }

    QTcpSocket &socket;
    QTcpSocket *serverSide = nullptr;
    std::unique_ptr<Session> session;
    Messages received;
    qint64 bytesRead = 0;
    bool cutByClose = false;
};

// The tail of a file message as the server reads it, from a file that holds contents up to
// failAt (-1: all of them), as if it had shrunk once opened.
std::shared_ptr<MessageTail> fileTail(const QByteArray &contents, qint64 failAt = -1)
{
    QTemporaryFile file;
    if (!file.open() || file.write(contents.left(failAt < 0 ? contents.size() : failAt)) < 0 || !file.flush())
        qFatal("cannot write %s", qPrintable(file.fileName()));
    return std::make_shared<OpenFile>(::open(QFile::encodeName(file.fileName()).constData(), O_RDONLY),
                                      contents.size());
}

} // namespace

class TestSession : public QObject
{
    Q_OBJECT

    TestCertificates m_certificates;
    QSslConfiguration m_serverTls, m_clientTls = QSslConfiguration::defaultConfiguration();

private slots:
    void initTestCase()
    {
        QVERIFY2(m_certificates.make(), qPrintable(m_certificates.error()));
        QString why;
        const auto credentials =
            TlsCredentials::read(m_certificates.path(QStringLiteral("server.pem")),
                                 m_certificates.path(QStringLiteral("server.key")), &why);
        QVERIFY2(credentials, qPrintable(why));
        m_serverTls = credentials->configuration();
        m_clientTls.setCaCertificates(QSslCertificate::fromPath(m_certificates.authority()));
        serverTls = &m_serverTls;
        clientTls = &m_clientTls;
    }

    void pacedAndMerged_data()
    {
        QTest::addColumn<Messages>("sent");
        QTest::addColumn<Messages>("expected");
        QTest::addColumn<int>("bytesPerTick");
        QTest::addColumn<bool>("kernelQuery"); // false: as on a platform that cannot tell
        const auto row = [](const char *tag, const Messages &sent, const Messages &expected,
                            int bytesPerTick = 0, bool kernelQuery = true) {
            QTest::newRow(tag) << sent << expected << bytesPerTick << kernelQuery;
        };
        const QByteArray file = fileMessage(QStringLiteral("f.txt"), "data");
        const QByteArray ok = loginAnswer(QStringLiteral("登录成功"));
        row("chat lines waiting merge", {"c,a", "c,b", "c,c"}, {"c,a", "c,b\nc"});
        row("newer user list replaces the waiting one", {ok, "o,x", "o,x\ny"}, {ok, "o,x\ny"});
        row("chat joins across a waiting user list", {"r,ok", "c,a", "o,u", "c,b"},
            {"r,ok", "c,a\nb", "o,u"});
        row("a file keeps the order", {"c,a", file, "c,b", "c,c"}, {"c,a", file, "c,b\nc"});
        row("answers never merge", {"l,x", "l,y", "r,z"}, {"l,x", "l,y", "r,z"});

        const QByteArray small = fileMessage(QStringLiteral("s.txt"), QByteArray(200 * 1024, 's'));
        row("file, then chat, very slow reader, no kernel query", {small, "c,x"}, {small, "c,x"}, 1024,
            false);
    }
    // A text message the kernel takes only in part: the rest follows through Qt's buffer.
    void textLargerThanTheKernelTakes()
    {
        Reader reader;
        Session &session = *reader.session;
        reader.serverSide->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 4096);
        reader.socket.write("c,hi"); // a plain connection, as its first byte tells
        QTRY_VERIFY(session.isGathering());
        const QByteArray list = "o," + QByteArray(256 * 1024, 'u');
        session.send(list);
        session.send("c,x");
        QVERIFY(session.bufferedBytes() > 0);
        QTRY_COMPARE_WITH_TIMEOUT(reader.received, (Messages{list, "c,x"}), 10000);
    }
    void pacedAndMerged()
    {
        QFETCH(Messages, sent);
        QFETCH(Messages, expected);
        QFETCH(int, bytesPerTick);
        QFETCH(bool, kernelQuery);
        Reader reader(bytesPerTick);
        int queries = 0;
        reader.session->setSendQueueQuery([&](qintptr fd) {
            ++queries;
            return kernelQuery ? querySendQueue(fd) : SendQueue();
        });
        QElapsedTimer clock;
        clock.start();
        for (const QByteArray &message : sent)
            reader.session->send(message);
        QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), expected.size(), 15000);
        const bool files =
            std::any_of(sent.begin(), sent.end(), [](const QByteArray &m) { return m.at(0) == 'f'; });
        QTest::qWait(files ? pacingGapFor('f') : 5 * pacingGapFor('c'));
        QCOMPARE(reader.received, expected);
        QVERIFY2(queries <= 10 + clock.elapsed() / 10, qPrintable(QString::number(queries)));
    }

    // What the kernel reports for the first message stays so; the second message goes out
    // only once the first counts as delivered, and its gap has passed.
    // A hop that ends TCP takes a file in at once and may still hold some of it: the next
    // message waits out the file's gap and those bytes at 1 Mbit/s, however fast the hop was.
    // Until a large file has shown the link, that is all of a smaller file; then 64 KiB.
    void secondMessageHeldBack_data()
    {
        QTest::addColumn<QByteArray>("first");
        QTest::addColumn<SendQueue>("queue"); // what the kernel reports, its round trip 3 times the shortest
        QTest::addColumn<int>("earliestMs");  // the second message, after the first was sent
        QTest::addColumn<int>("latestMs");    // -1: not within a second
        const QByteArray answer = "l,first";
        QTest::newRow("waits out twice the shortest round trip")
            << answer << SendQueue{60, 0, 450000, 150000, -1, 1448} << 300 << 600;
        QTest::newRow("bytes not sent yet") << answer << SendQueue{60, 60, 150, 50, -1, 1448} << -1 << -1;
        QTest::newRow("three segments on the way")
            << answer << SendQueue{3 * 1448, 0, 60000, 20000, -1, 1448} << -1 << -1;
        QTest::newRow("all sent over loopback")
            << answer << SendQueue{3 * 1448, 0, 150, 50, -1, 1448} << 0 << 150;
        // Acknowledged at once, the read-ahead of a hop; the file's pause includes its gap.
        for (const auto &[kib, held] : {std::pair{200, 200}, {600, 64}})
            QTest::addRow("file of %d KiB, %d KiB held", kib, held)
                << fileMessage(QStringLiteral("big.txt"), QByteArray(kib * 1024, 'b'))
                << SendQueue{0, 0, -1, -1, -1, -1} << pacingGapFor('f') + held * 1024 / 125 << 9000;
    }
    void secondMessageHeldBack()
    {
        QFETCH(QByteArray, first);
        QFETCH(SendQueue, queue);
        QFETCH(int, earliestMs);
        QFETCH(int, latestMs);
        Reader reader;
        reader.session->setSendQueueQuery([&](qintptr) { return queue; });
        QElapsedTimer clock;
        clock.start();
        reader.session->send(first);
        reader.session->send("r,second");
        if (latestMs < 0) {
            QTest::qWait(1000);
            QCOMPARE(reader.received, Messages{first});
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), 2, latestMs + 1000);
        const int gap =
            first.startsWith('f') ? 0 : pacedQuietGapMs(measurePath(reader.socket.socketDescriptor()));
        QVERIFY2(clock.elapsed() >= earliestMs + gap && clock.elapsed() <= latestMs + kQuietGapMs + 100,
                 qPrintable(QString::number(clock.elapsed())));
    }

    // A client that does not take a message in time is cut off and logged; one that is slow
    // but within its time is not; one that vanishes is let go quietly, and nothing fires later.
    void slowReaders_data()
    {
        // Bytes the reader takes before it stops; one that stops partway drops the connection.
        QTest::addColumn<qint64>("readLimit");
        QTest::addColumn<bool>("cutOff"); // its file is read from disk as it goes out
        QTest::newRow("reads nothing, from a file") << qint64(0) << true;
        QTest::newRow("slow but in time") << qint64(-1) << false;
        QTest::newRow("vanishes in the middle") << qint64(300 * 1024) << false;
    }
    void slowReaders()
    {
        QFETCH(qint64, readLimit);
        const bool vanish = readLimit > 0;
        QFETCH(bool, cutOff);
        // 1 MiB is granted 300 ms plus one second (a coarse timer may fire 5% early); the
        // reader takes it in about 650 ms.
        Config config;
        config.drainGraceMs = 300;
        config.minDrainBytesPerSecond = 1024 * 1024;
        Reader reader(16 * 1024, readLimit, vanish, false, config);
        Session &session = *reader.session;
        // The kernel takes a part, Qt's buffer keeps the rest. Only for a reader that is cut off:
        // behind so small a buffer the slow reader's next message came 5.9 s after the file.
        if (cutOff)
            reader.serverSide->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 32 * 1024);
        QSignalSpy closed(&session, &Session::closed);
        const QByteArray contents(1024 * 1024, 'b');
        const QByteArray big = fileMessage(QStringLiteral("big.txt"), contents);
        if (cutOff)
            QTest::ignoreMessage(
                QtWarningMsg,
                QRegularExpression(
                    QStringLiteral("a message of %1 bytes was not taken in 1[0-9]{3} ms").arg(big.size())));
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".")));
        if (cutOff)
            session.sendWithTail(fileMessage(QStringLiteral("big.txt"), QByteArray()), fileTail(contents));
        else
            session.send(big);
        session.send("c,next");
        QElapsedTimer clock;
        clock.start();
        // The bytes the session handed the kernel, less those TCP_INFO counts acknowledged, are
        // what SIOCOUTQ counts left, while the kernel holds part of a message and Qt's buffer the
        // rest; for 400 ms, before the reader is cut off.
        const qintptr fd = reader.serverSide->socketDescriptor();
        int held = 0;
        for (int look = 0; look < 20 && cutOff && !session.isClosed(); ++look) {
            QTest::qWait(20);
            // An acknowledgement may come between two looks, never a byte more to send.
            const qint64 counted = querySendQueue(fd, session.handedToKernel()).unacknowledged;
            const qint64 kernel = querySendQueue(fd).unacknowledged;
            const qint64 countedAfter = querySendQueue(fd, session.handedToKernel()).unacknowledged;
            QVERIFY2(counted >= kernel && kernel >= countedAfter,
                     qPrintable(QStringLiteral("%1 %2 %3").arg(counted).arg(kernel).arg(countedAfter)));
            held += kernel > 0 && session.bufferedBytes() > 0;
        }
        QVERIFY(!cutOff || held > 0);
        if (cutOff || vanish) {
            QTRY_COMPARE_WITH_TIMEOUT(closed.size(), 1, 3000);
            QVERIFY2(!cutOff || clock.elapsed() >= 1300 * 95 / 100,
                     qPrintable(QString::number(clock.elapsed())));
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(reader.received, (Messages{big, "c,next"}), 5000);
        }
        QTest::qWait(config.drainGraceMs + kFileQuietGapMs + kFileGapMarginMs);
        QCOMPARE(closed.size(), cutOff || vanish ? 1 : 0);
        QCOMPARE(session.isClosed(), cutOff || vanish);
    }

    // A file is read in pieces as the socket takes them; one that ends early closes the
    // connection before its end; a close waits until the client has the file whole.
    void fileInPieces_data()
    {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("failAt"); // -1: never
        QTest::addColumn<int>("bytesPerTick");
        QTest::addColumn<bool>("close"); // after the file
        QTest::addColumn<bool>("tls");
        QTest::newRow("4 MiB, slow reader") << (4 << 20) << -1 << (64 << 10) << false << false;
        QTest::newRow("4 MiB, then closed") << (4 << 20) << -1 << 0 << true << false;
        // Encrypted pieces wait in a buffer of their own: it counts too. The message after the
        // file also shows that the kernel's queue, which then holds the encrypted bytes, paces.
        QTest::newRow("1 MiB, slower reader, TLS") << (1 << 20) << -1 << (8 << 10) << false << true;
        QTest::newRow("4 MiB, then closed, TLS") << (4 << 20) << -1 << 0 << true << true;
        QTest::newRow("empty") << 0 << -1 << 0 << false << false;
        QTest::newRow("ends early") << (1 << 20) << (300 << 10) << 0 << false << false;
    }
    void fileInPieces()
    {
        QFETCH(int, size);
        QFETCH(int, failAt);
        QFETCH(int, bytesPerTick);
        QFETCH(bool, close);
        QFETCH(bool, tls);
        QByteArray contents(size, Qt::Uninitialized);
        for (int i = 0; i < size; ++i)
            contents[i] = char(i * 7 + i / 4096);
        const QByteArray head = fileMessage(QStringLiteral("big.txt"), QByteArray());
        Reader reader(bytesPerTick, -1, false, tls);
        Session &session = *reader.session;
        auto *socket = static_cast<QSslSocket *>(reader.serverSide);
        // A kernel that holds little leaves the rest to Qt's buffers, which must stay small.
        if (bytesPerTick > 0)
            socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, 32 * 1024);
        QSignalSpy closed(&session, &Session::closed);
        // What waits in Qt's buffers, before and after encryption.
        qint64 mostBuffered = 0;
        QTimer sample;
        connect(&sample, &QTimer::timeout, this, [&] {
            if (!session.isClosed())
                mostBuffered =
                    std::max(mostBuffered, socket->bytesToWrite() + socket->encryptedBytesToWrite());
        });
        sample.start(1);
        if (failAt >= 0)
            QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("ended \\d+ bytes early")));
        session.sendWithTail(head, fileTail(contents, failAt));
        if (close)
            session.closeAfterOutput(10000);
        else
            session.send("c,after");
        if (failAt >= 0) {
            QVERIFY(closed.wait(5000));
            QTRY_VERIFY(reader.cutByClose);
            QTest::qWait(kFileQuietGapMs + kFileGapMarginMs);
            QCOMPARE(reader.received, Messages());
            return;
        }
        if (close) {
            QTRY_VERIFY_WITH_TIMEOUT(reader.socket.state() == QAbstractSocket::UnconnectedState, 10000);
            QVERIFY2(!reader.cutByClose, "the connection closed while the last message was still arriving");
        }
        QTRY_COMPARE_WITH_TIMEOUT(reader.received.size(), close ? 1 : 2, 30000);
        QVERIFY(reader.received.value(0) == head + contents);
        QCOMPARE(reader.received.value(1), close ? QByteArray() : QByteArray("c,after"));
        QVERIFY2(mostBuffered <= 2 * 64 * 1024 + head.size(), qPrintable(QString::number(mostBuffered)));
        QCOMPARE(closed.size(), close ? 1 : 0);
    }

    // A test's file gap stays between the two real gaps.
    void fileGapHeld()
    {
        Config config;
        for (const auto &[set, held] : {std::pair{0, kQuietGapMs}, {250, 250}, {60000, kFileQuietGapMs}}) {
            config.fileGapMs = set;
            QCOMPARE(SessionSettings(config).fileGapMs, held);
        }
    }
};

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
