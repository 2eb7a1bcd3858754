#include "answers.h"
#include "config.h"
#include "digest.h"
#include "engines.h"
#include "protocol.h"
#include "testclient.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

QByteArray reg(const QString &name, const QString &email, const QString &code = QString())
{
    return registrationMessage(name, email, code, saltedDigest(u"secret1"_s));
}

// The newest code mailed to email from one instance's outbox.
QString codeFor(const ServerProcess &instance, const QString &email)
{
    const QRegularExpression code(u"^验证码：(\\d{6})\r$"_s, QRegularExpression::MultilineOption);
    const QDir outbox(instance.dataDir() + u"/outbox"_s);
    for (const QString &name : outbox.entryList({u"*.eml"_s}, QDir::Files, QDir::Time)) {
        QFile file(outbox.filePath(name));
        const QString mail = file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        if (mail.contains(u"\r\nTo: <%1>\r\n"_s.arg(email)))
            return code.match(mail).captured(1);
    }
    return QString();
}

// The chat lines a client got so far, each line of a merged message on its own.
QStringList chatIn(TestClient *client)
{
    QStringList lines;
    for (const QByteArray &message : std::as_const(client->inbox)) {
        if (message.startsWith('c'))
            lines += QString::fromUtf8(message.mid(2)).split(u'\n');
    }
    return lines;
}

} // namespace

// Two instances of the real server on one PostgreSQL database and one Redis, each test on
// a fresh database, the way an operator runs them.
class TestCluster : public QObject
{
    Q_OBJECT

    PostgresCluster m_postgres;
    RedisServer m_redis;
    QString m_databaseUrl;
    int m_databases = 0;
    std::unique_ptr<ServerProcess> m_a;
    std::unique_ptr<ServerProcess> m_b;
    QHash<TestClient *, QByteArray> m_lastList;

    // Instances A and B, and users registered at A. The cheapest hashing libsodium allows:
    // the tests are about sharing, not hashing.
    bool startPair(const QStringList &users = {})
    {
        const QStringList arguments =
            u"--database %1 --database-password-file %2 --bus %3 --pwhash-ops 1 "
            u"--pwhash-mem 8192"_s.arg(m_databaseUrl, m_postgres.passwordFile(), m_redis.url())
                .split(u' ');
        QString error;
        for (auto *instance : {&m_a, &m_b}) {
            *instance = std::make_unique<ServerProcess>(arguments);
            if (!(*instance)->start(&error)) {
                qWarning().noquote() << error;
                return false;
            }
        }
        return std::all_of(users.begin(), users.end(),
                           [this](const QString &name) { return registerAtA(name); });
    }
    TestClient *connectTo(const ServerProcess &instance) { return new TestClient(instance.port(), this); }

    // Registers over the wire at A, with the code from its outbox.
    bool registerAtA(const QString &name)
    {
        std::unique_ptr<TestClient> client(new TestClient(m_a->port(), nullptr));
        const QString email = name + u"@example.org"_s;
        client->send(reg(name, email));
        if (client->take('r') != answers::registrationReply(answers::codeSent(email, 10)))
            return false;
        client->send(reg(name, email, codeFor(*m_a, email)));
        return client->take('r') == answers::registrationReply(answers::registered());
    }
    TestClient *loggedInAt(const ServerProcess &instance, const QString &name)
    {
        TestClient *client = connectTo(instance);
        client->send(loginMessage(name, saltedDigest(u"secret1"_s)));
        if (client->take('l') != answers::loginReply(answers::loginOk()))
            QTest::qFail(qPrintable(name + u" cannot log in"_s), __FILE__, __LINE__);
        return client;
    }
    // Waits until the newest user list a client got is this one.
    bool listIs(TestClient *client, const QStringList &names, int timeoutMs = 10000)
    {
        return QTest::qWaitFor(
            [&] {
                for (const QByteArray &message : std::exchange(client->inbox, {}))
                    (message.startsWith('o') ? m_lastList[client] : client->inbox.emplaceBack()) = message;
                return m_lastList.value(client) == userList(names);
            },
            timeoutMs);
    }

private slots:
    void initTestCase()
    {
        for (const QString &missing : {postgresMissing(), redisMissing()}) {
            if (!missing.isEmpty())
                QSKIP(qPrintable(missing));
        }
        QString error;
        QVERIFY2(m_postgres.start(&error), qPrintable(error));
    }

    void init()
    {
        QString error;
        if (!m_redis.isRunning())
            QVERIFY2(m_redis.start(&error), qPrintable(error));
        if (!m_postgres.isRunning())
            QVERIFY2(m_postgres.restart(&error), qPrintable(error));
        m_databaseUrl = m_postgres.createDatabase(u"cluster%1"_s.arg(++m_databases), &error);
        QVERIFY2(!m_databaseUrl.isEmpty(), qPrintable(error));
    }

    void cleanup()
    {
        qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        m_lastList.clear();
        for (auto *instance : {&m_a, &m_b}) {
            // Stopped, not killed: a stopping instance takes its presence off the bus, where a
            // killed one's users would stay in the next test's lists.
            if (*instance)
                (*instance)->stop();
            instance->reset();
        }
    }

    // Users registered at A log in at B, whose name is taken there too. Chat and notices reach
    // every user of every instance exactly once, and the user list is the same everywhere.
    void chatAndListsAcross()
    {
        const QStringList everyone{u"alice"_s, u"bob"_s, u"carol"_s};
        QVERIFY(startPair(everyone));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"BOB"_s);
        TestClient *other = connectTo(*m_b);
        other->send(reg(u"Alice"_s, u"other@example.org"_s));
        QCOMPARE(other->take('r'), answers::registrationReply(answers::nameTaken()));
        TestClient *carol = loggedInAt(*m_a, u"carol"_s);
        for (TestClient *client : {alice, bob, carol})
            QVERIFY(listIs(client, everyone));
        alice->send(chatMessage(u"from A"_s));
        bob->send(chatMessage(u"from B"_s));
        alice->send(fileMessage(u"notes.txt"_s, "text"));
        QStringList expected{u"alice: from A"_s, u"bob: from B"_s,
                             answers::notice(answers::uploaded(u"alice"_s, u"notes.txt"_s, 4))};
        expected.sort();
        for (TestClient *client : {alice, bob, carol}) {
            QStringList lines = client->chatLines(1500);
            lines.sort();
            QCOMPARE(lines, expected);
        }
    }

    void secondLoginElsewhereClosesFirst()
    {
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *first = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_a, u"bob"_s);
        TestClient *second = loggedInAt(*m_b, u"alice"_s);
        QVERIFY(first->expect(answers::noticeMessage(answers::replaced())));
        QTRY_VERIFY_WITH_TIMEOUT(!first->isConnected(), 5000);
        QVERIFY(second->isConnected());
        QVERIFY(listIs(bob, {u"alice"_s, u"bob"_s}));
        // The session that stays is the one that gets the chat.
        bob->send(chatMessage(u"who is there"_s));
        QVERIFY(second->expect(chatLine(u"bob: who is there"_s)));
    }

    // A file uploaded at one instance is served at the other, and the same name uploaded
    // there again is renamed. Text that reads as an image is served as one, from its uploader.
    void uploadHereRequestThere()
    {
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        const QList<std::tuple<QString, QByteArray, QString>> files{
            {u"big.txt"_s, QByteArray(kMaxOutgoingFileSize, 'z'), u"big2.txt"_s},
            {u"empty.txt"_s, QByteArray(), u"empty2.txt"_s},
            {u"tiny.gif"_s, QByteArray("GIF89a text"), u"tiny2.gif"_s}};
        for (const auto &[name, bytes, second] : files) {
            alice->send(fileMessage(name, bytes));
            QVERIFY(bob->expect(answers::noticeMessage(answers::uploaded(u"alice"_s, name, bytes.size()))));
            bob->send(fileRequest(name));
            QCOMPARE(bob->take('f'), name.endsWith(u".gif"_s) ? imageMessage(name, u"alice"_s, bytes)
                                                              : fileMessage(name, bytes));
            bob->send(fileMessage(name, "again"));
            QVERIFY(alice->expect(answers::noticeMessage(answers::uploaded(u"bob"_s, second, 5))));
        }
    }

    // PostgreSQL stops under the running pair, with the file workers already connected or
    // not yet: uploads and requests are answered as busy, never announced as stored nor
    // answered as missing; once it is back they work again.
    void databaseLost_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("workers connected") << true;
        QTest::newRow("workers not yet connected") << false;
    }
    void databaseLost()
    {
        QFETCH(bool, connected);
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        if (connected) {
            alice->send(fileMessage(u"kept.txt"_s, "kept"));
            QVERIFY(bob->expect(answers::noticeMessage(answers::uploaded(u"alice"_s, u"kept.txt"_s, 4))));
            bob->send(fileRequest(u"kept.txt"_s));
            QCOMPARE(bob->take('f'), fileMessage(u"kept.txt"_s, "kept"));
            alice->chatLines(0);
        }
        m_postgres.stop();
        const QByteArray busy = answers::noticeMessage(answers::serverBusy());
        alice->send(fileMessage(u"lost.txt"_s, "lost"));
        QCOMPARE(alice->take('c', 15000), busy);
        bob->send(fileRequest(u"kept.txt"_s));
        QCOMPARE(bob->take('c', 15000), busy);
        for (TestClient *client : {alice, bob}) {
            const QStringList lines = client->chatLines(1000);
            QVERIFY2(lines.isEmpty(), qPrintable(lines.join(u'\n')));
        }
        QString error;
        QVERIFY2(m_postgres.restart(&error), qPrintable(error));
        QVERIFY(QTest::qWaitFor(
            [&] {
                alice->send(fileMessage(u"back.txt"_s, "back"));
                return bob->expect(answers::noticeMessage(answers::uploaded(u"alice"_s, u"back.txt"_s, 4)),
                                   1500);
            },
            20000));
    }

    // Wrong codes count against one limit, whichever instance they reach.
    void codeGuessesAcross()
    {
        QVERIFY(startPair());
        const QString email = u"dave@example.org"_s;
        TestClient *a = connectTo(*m_a);
        TestClient *b = connectTo(*m_b);
        a->send(reg(u"dave"_s, email));
        QCOMPARE(a->take('r'), answers::registrationReply(answers::codeSent(email, 10)));
        const QString code = codeFor(*m_a, email);
        const QString wrong = code == u"000000"_s ? u"000001"_s : u"000000"_s;
        const Config defaults;
        for (int tries = 1; tries <= defaults.maxWrongCodes; ++tries) {
            TestClient *client = tries % 2 ? b : a;
            client->send(reg(u"dave"_s, email, wrong));
            QCOMPARE(client->take('r'),
                     answers::registrationReply(tries < defaults.maxWrongCodes
                                                    ? answers::codeWrong(defaults.maxWrongCodes - tries)
                                                    : answers::codeBlocked(defaults.codeResendSeconds)));
        }
        // The right code no longer registers, at either instance.
        for (TestClient *client : {a, b}) {
            client->send(reg(u"dave"_s, email, code));
            const QByteArray answer = client->take('r');
            QVERIFY2(!answer.isEmpty() && answer != answers::registrationReply(answers::registered()),
                     answer.constData());
        }
    }

    // A crash of one instance: its users leave the others' lists within 10 s, and the
    // instance that stays loses nothing of its own chat.
    void instanceKilled()
    {
        QVERIFY(startPair({u"alice"_s, u"bob"_s, u"carol"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *carol = loggedInAt(*m_a, u"carol"_s);
        loggedInAt(*m_b, u"bob"_s);
        QVERIFY(listIs(carol, {u"alice"_s, u"bob"_s, u"carol"_s}));
        QElapsedTimer killed;
        m_b->kill();
        killed.start();
        QStringList sent;
        qint64 leftAtMs = -1;
        for (qint64 nextSendMs = 0; leftAtMs < 0 && killed.elapsed() < 12000; QTest::qWait(50)) {
            if (killed.elapsed() >= nextSendMs) {
                sent.append(u"alice: line %1"_s.arg(sent.size()));
                alice->send(chatMessage(sent.last().mid(7)));
                nextSendMs += 1000;
            }
            if (listIs(carol, {u"alice"_s, u"carol"_s}, 0))
                leftAtMs = killed.elapsed();
        }
        QVERIFY2(leftAtMs >= 0 && leftAtMs <= 10000, qPrintable(QString::number(leftAtMs)));
        QCOMPARE(carol->chatLines(1000), sent);
    }

    // Redis goes away and comes back: each instance keeps its own users chatting, chat
    // between instances resumes within 5 s, and no line arrives twice.
    void redisRestarted()
    {
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        QVERIFY(listIs(alice, {u"alice"_s, u"bob"_s}));
        const auto got = [](TestClient *client, const QString &line) {
            return QTest::qWaitFor([&] { return chatIn(client).contains(line); }, 3000);
        };
        alice->send(chatMessage(u"before"_s));
        QVERIFY(got(bob, u"alice: before"_s));
        m_redis.kill();
        alice->send(chatMessage(u"while down"_s));
        QVERIFY(got(alice, u"alice: while down"_s));
        QString error;
        QVERIFY2(m_redis.start(&error), qPrintable(error));
        QElapsedTimer back;
        back.start();
        qint64 resumedAtMs = -1;
        for (int i = 0; resumedAtMs < 0 && back.elapsed() < 8000; ++i) {
            bob->send(chatMessage(u"after %1"_s.arg(i)));
            if (QTest::qWaitFor([&] { return chatIn(alice).join(u'\n').contains(u"bob: after"_s); }, 500))
                resumedAtMs = back.elapsed();
        }
        QVERIFY2(resumedAtMs >= 0 && resumedAtMs < 5000, qPrintable(QString::number(resumedAtMs)));
        // What alice said while Redis was away reaches bob once it is back.
        QVERIFY(got(bob, u"alice: while down"_s));
        QTest::qWait(1000);
        for (TestClient *client : {alice, bob}) {
            const QStringList lines = chatIn(client);
            QCOMPARE(QSet<QString>(lines.begin(), lines.end()).size(), lines.size());
        }
    }
};

QTEST_GUILESS_MAIN(TestCluster)
#include "tst_cluster.moc"
