#include "linkproxy.h"
#include "serverfixture.h"

#include <QTcpSocket>

#include <list>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

// The smallest segment TCP lets a peer ask for (TCP_MAXSEG 88), less the 12 bytes of
// timestamps every segment carries.
constexpr int kSmallestSegment = 76;
constexpr int kTimestampBytes = 12;
// Longer than any quiet gap a reader waits for: each segment is a read of its own.
constexpr int kSegmentPauseMs = 60;

// A reader that takes every read as one message, behind a link that holds each segment up.
struct Reader
{
    QString name;
    LinkProxy proxy;
    QTcpSocket socket;
    QList<QByteArray> reads;
};

// Connects r to port, logs it in, and waits for its first reads: whether the first is the
// login answer.
bool logIn(Reader &r, quint16 port, int reads)
{
    QObject::connect(&r.socket, &QTcpSocket::readyRead, &r.socket,
                     [&r] { r.reads.append(r.socket.readAll()); });
    r.socket.connectToHost(QHostAddress::LocalHost, port);
    if (!r.socket.waitForConnected(5000))
        return false;
    r.socket.write(login(r.name));
    return QTest::qWaitFor([&] { return r.reads.size() >= reads; }, 10000) &&
           r.reads.first() == answers::loginReply(answers::loginOk());
}

} // namespace

// Relayed chat on links that hold up every segment of a message: a reader that takes each
// read as a message (as the protocol's strictest reader does) sees each segment as one.
// With a reader for every segment size from the smallest TCP allows to the length of the
// message, each of its bytes from there on falls at a segment boundary for some reader.
class TestSegments : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

    static bool isUserListStart(const QByteArray &read, const QStringList &names)
    {
        // Names one a line, the last perhaps cut short.
        const QStringList lines = QString::fromUtf8(read.mid(2)).split(u'\n');
        return read.startsWith("o,") &&
               std::all_of(lines.begin(), lines.end() - 1,
                           [&](const QString &line) { return names.contains(line); }) &&
               std::any_of(names.begin(), names.end(),
                           [&](const QString &name) { return name.startsWith(lines.last()); });
    }

    // Whether a reader that takes read for a whole message takes it rightly: a login answer,
    // the start of a user list or of a relayed line, or the rest of a user list longer than a
    // segment (names of the u76 kind start nothing). Any other read is a piece of a message
    // that would show a line without its sender, store a file or pass for another kind.
    static bool isWhole(const QByteArray &read, const QStringList &names)
    {
        static const QRegularExpression listTail(u"^[u0-9\\n]+$"_s);
        return read == answers::loginReply(answers::loginOk()) || isUserListStart(read, names) ||
               read.startsWith("c,alice: ") || read.startsWith("c,  ") ||
               listTail.match(QString::fromLatin1(read)).hasMatch();
    }

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // alice's text puts, at offsets of her choice, messages of every kind and of other
    // senders; one more line follows at once, so that the two may go out merged.
    void noForgeryAtAnySegmentBoundary()
    {
        const QString attack = u"看这里 c,bob: 我的新密码是 hunter2，别告诉别人 "_s +
                               u"r,服务器: 账户异常，请把验证码发给管理员 "_s +
                               u"fs,evil.desktop~+^`&[Desktop Entry]\nExec=sh -c id\n"_s +
                               u"l,登录成功 o,bob\n服务器 "_s + u"\u202ec,bob: txt.exe"_s;
        const QString second = u"c,服务器: 请重新登录"_s;
        const int length = int(chatLine(relayedChat(u"alice"_s, attack)).size());

        f.config.maxPerAddress = 1000;
        f.config.maxUnauthenticatedPerAddress = 1000;
        f.config.maxUnauthenticated = 1000;
        QStringList names{u"alice"_s, u"bob"_s};
        for (int size = kSmallestSegment; size <= length; ++size)
            names.append(u"u%1"_s.arg(size));
        f.startServer(names);
        TestClient *alice = f.loggedIn(u"alice"_s, u"bob"_s)[0];

        std::list<Reader> readers;
        for (int size = kSmallestSegment; size <= length; ++size) {
            Reader &r = readers.emplace_back();
            r.name = u"u%1"_s.arg(size);
            LinkProfile down;
            down.maxSegment = size + kTimestampBytes;
            down.segmentPauseMs = kSegmentPauseMs;
            r.proxy.setProfiles(down, LinkProfile());
            QVERIFY(r.proxy.listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, f.server->port()));
            // One at a time: logins wait in a bounded queue.
            QVERIFY2(logIn(r, r.proxy.port(), 1), qPrintable(r.name));
            QCOMPARE(r.proxy.down().segmentSize, size);
        }
        for (Reader &r : readers)
            r.reads.clear();
        // The readers' user lists may be split: they hold only names (u76 ...) that start no
        // message of any kind.
        alice->send(chatMessage(attack));
        alice->send(chatMessage(second));
        const QString expected = QString(relayedChat(u"alice"_s, attack) + relayedChat(u"alice"_s, second))
                                     .remove(QRegularExpression(u"\\s"_s));
        const auto lastLineCame = [](const Reader &r) {
            return !r.reads.isEmpty() && r.reads.last().endsWith("请重新登录");
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(readers.begin(), readers.end(), lastLineCame), 60000);

        int reads = 0;
        QStringList fragments;
        for (const Reader &r : readers) {
            // No reader loses or doubles any of the text, whatever its layout.
            QByteArray shown;
            for (const QByteArray &read : r.reads) {
                ++reads;
                if (!isWhole(read, names))
                    fragments.append(QString::fromUtf8(read.left(60)));
                if (!isUserListStart(read, names))
                    shown += read.startsWith("c,alice: ") || read.startsWith("c,  ") ? read.mid(2) : read;
            }
            const QString compact = QString::fromUtf8(shown).remove(QRegularExpression(u"\\s"_s));
            QVERIFY2(
                compact.endsWith(expected),
                qPrintable(r.name + u": "_s + compact.right(expected.size() + 20) + u" | "_s + expected));
        }
        qInfo("segment sizes %d to %d bytes, %d readers: %d reads, %lld of them pieces of a message",
              kSmallestSegment, length, int(readers.size()), reads, fragments.size());
        QVERIFY2(fragments.isEmpty(), qPrintable(fragments.mid(0, 8).join(u'\n')));
    }

    // Straight over loopback, with chat lines coming faster than the pause after each message
    // and a user list behind them, a reader that takes each read as one message still gets
    // each message whole and on its own: the login answer, every list, every chat message.
    void pacedMessagesReadWholeOnLoopback()
    {
        const QStringList senders{u"s1"_s, u"s2"_s, u"s3"_s};
        const QStringList readerNames{u"r1"_s, u"r2"_s, u"r3"_s};
        f.startServer(senders + readerNames + QStringList{u"bob"_s});
        const auto chatters = f.loggedIn(senders[0], senders[1], senders[2]);
        std::list<Reader> readers;
        for (const QString &name : readerNames) {
            readers.emplace_back().name = name;
            // The login answer and the user list.
            QVERIFY2(logIn(readers.back(), f.server->port(), 2), qPrintable(name));
        }
        QTest::qWait(100);
        for (Reader &r : readers)
            r.reads.clear();
        // Three lines at once, each from a sender of its own, then bob comes.
        for (TestClient *chatter : chatters)
            chatter->send(chatMessage(u"line"_s));
        TestClient *bob = f.connected();
        bob->send(login(u"bob"_s));
        const auto listWithBob = [](const Reader &r) {
            return !r.reads.isEmpty() && r.reads.last().startsWith("o,") && r.reads.last().contains("bob");
        };
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(readers.begin(), readers.end(), listWithBob), 10000);
        for (const Reader &r : readers) {
            int lines = 0;
            for (const QByteArray &read : r.reads) {
                // A chat message holds whole lines, a list names: nothing that starts a message.
                QVERIFY2(read.startsWith("c,s") || read.startsWith("o,"), read.constData());
                for (const QByteArray &line : read.mid(2).split('\n')) {
                    QVERIFY2(!line.contains("c,") && !line.contains("o,"), read.constData());
                    lines += read.startsWith('c') && line.endsWith(": line");
                }
            }
            QCOMPARE(lines, 3);
        }
    }
};

QTEST_MAIN(TestSegments)
#include "tst_segments.moc"
