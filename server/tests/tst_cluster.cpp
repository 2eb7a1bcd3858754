#include "answers.h"
#include "config.h"
#include "digest.h"
#include "engines.h"
#include "protocol.h"
#include "testclient.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

const QString kPassword = u"secret1"_s;

QByteArray login(const QString &name)
{
    return loginMessage(name, saltedDigest(kPassword));
}

QByteArray reg(const QString &name, const QString &email, const QString &code = QString())
{
    return registrationMessage(name, email, code, saltedDigest(kPassword));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The newest code mailed to email from one instance's outbox.
QString codeFor(const ServerProcess &instance, const QString &email)
{
    const QRegularExpression code(u"^验证码：(\\d{6})\r$"_s, QRegularExpression::MultilineOption);
    QString found;
    QDateTime newest;
    for (QDirIterator it(instance.dataDir() + u"/data/outbox"_s, {u"*.eml"_s}, QDir::Files); it.hasNext();) {
        const QString path = it.next();
        const QString mail = QString::fromUtf8(readFile(path));
        if (mail.contains(u"\r\nTo: <%1>\r\n"_s.arg(email)) &&
            (found.isEmpty() || it.fileInfo().lastModified() > newest)) {
            found = code.match(mail).captured(1);
            newest = it.fileInfo().lastModified();
        }
    }
    return found;
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

    QStringList instanceArguments() const
    {
        // The cheapest hashing libsodium allows: the tests are about sharing, not hashing.
        return {u"--database"_s,
                m_databaseUrl,
                u"--database-password-file"_s,
                m_postgres.passwordFile(),
                u"--bus"_s,
                m_redis.url(),
                u"--pwhash-ops"_s,
                u"1"_s,
                u"--pwhash-mem"_s,
                u"8192"_s};
    }
    // Instances A and B, both on the test's database and the bus.
    bool startPair()
    {
        QString error;
        for (auto *instance : {&m_a, &m_b}) {
            *instance = std::make_unique<ServerProcess>(instanceArguments());
            if (!(*instance)->start(&error)) {
                qWarning().noquote() << error;
                return false;
            }
        }
        return true;
    }
    TestClient *connectTo(const ServerProcess &instance) { return new TestClient(instance.port(), this); }

    // Registers over the wire at one instance, with the code from its outbox.
    bool registerAt(const ServerProcess &instance, const QString &name)
    {
        TestClient *client = connectTo(instance);
        const QString email = name + u"@example.org"_s;
        client->send(reg(name, email));
        if (client->take('r') != answers::registrationReply(answers::codeSent(email, 10)))
            return false;
        client->send(reg(name, email, codeFor(instance, email)));
        const bool ok = client->take('r') == answers::registrationReply(answers::registered());
        delete client;
        return ok;
    }
    TestClient *loggedInAt(const ServerProcess &instance, const QString &name)
    {
        TestClient *client = connectTo(instance);
        client->send(login(name));
        if (client->take('l') != answers::loginReply(answers::loginOk()))
            QTest::qFail(qPrintable(name + u" cannot log in"_s), __FILE__, __LINE__);
        return client;
    }
    // The chat lines a client got so far, each line of a merged message on its own.
    static QStringList chatIn(TestClient *client)
    {
        QStringList lines;
        for (const QByteArray &message : std::as_const(client->inbox)) {
            if (message.startsWith('c'))
                lines += QString::fromUtf8(message.mid(2)).split(u'\n');
        }
        return lines;
    }
    // Waits until the newest user list a client got is this one; m_lastList keeps each
    // client's newest, for the failure message.
    bool listIs(TestClient *client, const QStringList &names, int timeoutMs = 10000)
    {
        const QByteArray wanted = userList(names);
        return QTest::qWaitFor(
            [&] {
                for (const QByteArray &message : std::exchange(client->inbox, {})) {
                    if (message.startsWith('o'))
                        m_lastList[client] = message;
                    else
                        client->inbox.append(message);
                }
                return m_lastList.value(client) == wanted;
            },
            timeoutMs);
    }
    QHash<TestClient *, QByteArray> m_lastList;

private slots:
    void initTestCase()
    {
        for (const QString &missing : {postgresMissing(), redisMissing()}) {
            if (!missing.isEmpty())
                QSKIP(qPrintable(missing));
        }
        QString error;
        QVERIFY2(m_postgres.start(&error), qPrintable(error));
        QVERIFY2(m_redis.start(&error), qPrintable(error));
    }

    void init()
    {
        QString error;
        if (!m_redis.isRunning())
            QVERIFY2(m_redis.start(&error), qPrintable(error));
        m_databaseUrl = m_postgres.createDatabase(u"cluster%1"_s.arg(++m_databases), &error);
        QVERIFY2(!m_databaseUrl.isEmpty(), qPrintable(error));
    }

    void cleanup()
    {
        qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        m_lastList.clear();
        for (auto *instance : {&m_a, &m_b}) {
            if (QTest::currentTestFailed() && *instance)
                qWarning().noquote() << "server log:" << (*instance)->log();
            // Stopped, not killed: a stopping instance takes its presence off the bus, where a
            // killed one's users would stay in the next test's lists for up to twice the
            // presence lifetime.
            if (*instance)
                (*instance)->stop();
            instance->reset();
        }
    }

    void refusedAtStart_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const QString database = u"postgresql://tavrel@127.0.0.1:%1/nothing"_s.arg(freeLoopbackPort());
        QTest::newRow("bus without database")
            << QStringList{u"--bus"_s, u"redis://127.0.0.1:1"_s} << 2 << u"--bus needs --database"_s;
        QTest::newRow("password in the URL")
            << QStringList{u"--database"_s, u"postgresql://u:pw@127.0.0.1/db"_s} << 2 << u"not in the URL"_s;
        QTest::newRow("no database name")
            << QStringList{u"--database"_s, u"postgresql://u@127.0.0.1:5432"_s} << 2 << u"dbname"_s;
        QTest::newRow("password file missing")
            << QStringList{u"--database"_s, database, u"--database-password-file"_s, u"/nonexistent/pw"_s}
            << 2 << u"--database-password-file: /nonexistent/pw is not a file"_s;
        QTest::newRow("password file others may read")
            << QStringList{u"--database"_s, database, u"--database-password-file"_s, u"/etc/hostname"_s} << 2
            << u"may be read or changed by others"_s;
        QTest::newRow("password file alone")
            << QStringList{u"--database-password-file"_s, u"/etc/hostname"_s} << 2 << u"without --database"_s;
        QTest::newRow("bus not redis")
            << QStringList{u"--database"_s, database, u"--bus"_s, u"http://127.0.0.1:1"_s} << 2
            << u"redis://host:port"_s;
    }
    void refusedAtStart()
    {
        QFETCH(QStringList, arguments);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QString output;
        QCOMPARE(runServer(arguments, &output), exitCode);
        QVERIFY2(output.contains(message), qPrintable(output));
    }

    void registerHereLogInThere()
    {
        QVERIFY(startPair());
        QVERIFY(registerAt(*m_a, u"alice"_s));
        TestClient *alice = loggedInAt(*m_b, u"ALICE"_s);
        QVERIFY2(listIs(alice, {u"alice"_s}), m_lastList.value(alice).constData());
        // The name is taken for the other instance too.
        TestClient *other = connectTo(*m_b);
        other->send(reg(u"Alice"_s, u"other@example.org"_s));
        QCOMPARE(other->take('r'), answers::registrationReply(answers::nameTaken()));
    }

    // Chat and notices reach every user of every instance exactly once, and the user list
    // is the same everywhere.
    void chatAndListsAcross()
    {
        QVERIFY(startPair());
        for (const QString &name : {u"alice"_s, u"bob"_s, u"carol"_s})
            QVERIFY(registerAt(*m_a, name));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        TestClient *carol = loggedInAt(*m_a, u"carol"_s);
        const QStringList everyone{u"alice"_s, u"bob"_s, u"carol"_s};
        for (TestClient *client : {alice, bob, carol})
            QVERIFY2(listIs(client, everyone), m_lastList.value(client).constData());
        alice->send(chatMessage(u"from A"_s));
        bob->send(chatMessage(u"from B"_s));
        alice->send(fileMessage(u"notes.txt"_s, "text"));
        const QStringList expected{u"alice: from A"_s, u"bob: from B"_s,
                                   answers::notice(answers::uploaded(u"alice"_s, u"notes.txt"_s, 4))};
        for (TestClient *client : {alice, bob, carol}) {
            QStringList lines = client->chatLines(1500);
            lines.sort();
            QStringList sorted = expected;
            sorted.sort();
            QCOMPARE(lines, sorted);
        }
    }

    void secondLoginElsewhereClosesFirst()
    {
        QVERIFY(startPair());
        QVERIFY(registerAt(*m_a, u"alice"_s));
        QVERIFY(registerAt(*m_a, u"bob"_s));
        TestClient *first = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_a, u"bob"_s);
        TestClient *second = loggedInAt(*m_b, u"alice"_s);
        QVERIFY(first->expect(answers::noticeMessage(answers::replaced())));
        QTRY_VERIFY_WITH_TIMEOUT(!first->isConnected(), 5000);
        QVERIFY(second->isConnected());
        QVERIFY2(listIs(bob, {u"alice"_s, u"bob"_s}), m_lastList.value(bob).constData());
        // The session that stays is the one that gets the chat.
        bob->send(chatMessage(u"who is there"_s));
        QVERIFY(second->expect(chatLine(u"bob: who is there"_s)));
    }

    void uploadHereRequestThere_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("image");
        QTest::newRow("text") << u"notes.txt"_s << QByteArray("line 1\n中文\n") << false;
        QTest::newRow("largest") << u"big.txt"_s << QByteArray(kMaxOutgoingFileSize, 'z') << false;
        QTest::newRow("empty") << u"empty.txt"_s << QByteArray() << false;
        // Text that reads as an image is served as one, from its uploader.
        QTest::newRow("gif text") << u"tiny.gif"_s << QByteArray("GIF89a text") << true;
    }
    void uploadHereRequestThere()
    {
        QVERIFY(startPair());
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(bool, image);
        QVERIFY(registerAt(*m_a, u"alice"_s));
        QVERIFY(registerAt(*m_a, u"bob"_s));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        alice->send(fileMessage(name, bytes));
        QVERIFY(bob->expect(answers::noticeMessage(answers::uploaded(u"alice"_s, name, bytes.size()))));
        bob->send(fileRequest(name));
        QCOMPARE(bob->take('f'), image ? imageMessage(name, u"alice"_s, bytes) : fileMessage(name, bytes));
        // A second upload of the name, at the other instance, gets the next free name.
        bob->send(fileMessage(name, "again"));
        const QString second =
            QFileInfo(name).completeBaseName() + u'2' +
            (QFileInfo(name).suffix().isEmpty() ? QString() : u'.' + QFileInfo(name).suffix());
        QVERIFY(alice->expect(answers::noticeMessage(answers::uploaded(u"bob"_s, second, 5))));
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
        QVERIFY(startPair());
        for (const QString &name : {u"alice"_s, u"bob"_s, u"carol"_s})
            QVERIFY(registerAt(*m_a, name));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *carol = loggedInAt(*m_a, u"carol"_s);
        loggedInAt(*m_b, u"bob"_s);
        QVERIFY2(listIs(carol, {u"alice"_s, u"bob"_s, u"carol"_s}), m_lastList.value(carol).constData());
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
        QVERIFY(startPair());
        QVERIFY(registerAt(*m_a, u"alice"_s));
        QVERIFY(registerAt(*m_a, u"bob"_s));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        QVERIFY2(listIs(alice, {u"alice"_s, u"bob"_s}), m_lastList.value(alice).constData());
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
