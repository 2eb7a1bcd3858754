#include "engines.h"
#include "redis.h"
#include "serverfixture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

// Waits for a chat line to reach a client, alone or in a merged message.
bool gotLine(TestClient *client, const QString &line)
{
    const auto has = [&](const QByteArray &message) {
        return message.startsWith('c') && QString::fromUtf8(message.mid(2)).split(u'\n').contains(line);
    };
    return QTest::qWaitFor([&] { return std::any_of(client->inbox.begin(), client->inbox.end(), has); },
                           3000);
}

} // namespace

// Two instances of the real server on one PostgreSQL database and one Redis, each test on
// a fresh database, the way an operator runs them.
class TestCluster : public QObject
{
    Q_OBJECT

    PostgresCluster m_postgres;
    // Reached as its one ACL user, the bus sealed with a key; the files hold those secrets.
    // A test may put a Redis that asks only for a password in its place.
    QTemporaryDir m_secrets;
    RedisServer m_aclRedis{busAcl(u"tavrel"_s, u"bus password"_s)};
    RedisServer m_passwordRedis{{u"--requirepass"_s, u"bus password"_s}};
    RedisServer *m_redis = &m_aclRedis;
    RedisCredentials m_busUser{u"tavrel"_s, "bus password"};
    // Each instance's metrics endpoint.
    quint16 m_metricsA = 0;
    quint16 m_metricsB = 0;
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
            u"--database %1 --database-password-file %2 --bus %3:%4 "
            u"--bus-password-file %5 --bus-key-file %6 --pwhash-ops 1 --pwhash-mem 8192"_s
                .arg(m_databaseUrl, m_postgres.passwordFile(),
                     (m_busUser.user.isEmpty() ? u"redis://"_s : u"redis://%1@"_s.arg(m_busUser.user)) +
                         u"127.0.0.1"_s,
                     QString::number(m_redis->port()), m_secrets.filePath(u"bus-password"_s),
                     m_secrets.filePath(u"bus-key"_s))
                .split(u' ');
        QString error;
        for (auto *instance : {&m_a, &m_b}) {
            quint16 &metrics = instance == &m_a ? m_metricsA : m_metricsB;
            metrics = freeLoopbackPort();
            *instance = std::make_unique<ServerProcess>(
                arguments + QStringList{u"--metrics"_s, u"127.0.0.1:%1"_s.arg(metrics)});
            if (!(*instance)->start(&error)) {
                qWarning().noquote() << error;
                return false;
            }
        }
        return std::all_of(users.begin(), users.end(),
                           [this](const QString &name) { return registerAtA(name); });
    }

    // Registers over the wire at A, with the code from its outbox.
    bool registerAtA(const QString &name)
    {
        std::unique_ptr<TestClient> client(new TestClient(m_a->port(), nullptr));
        const QString email = name + u"@example.org"_s;
        return client->answerTo(reg(name, email)) ==
                   answers::registrationReply(answers::codeSent(email, 10)) &&
               client->answerTo(reg(name, email, mailedCode(m_a->dataDir() + u"/outbox"_s, email))) ==
                   answers::registrationReply(answers::registered());
    }
    // A client of name at instance, from 127.0.0.<source> (0: any).
    TestClient *loggedInAt(const ServerProcess &instance, const QString &name, int source = 0)
    {
        auto *client = new TestClient(instance.port(), this,
                                      source ? QHostAddress(u"127.0.0.%1"_s.arg(source)) : QHostAddress());
        if (client->answerTo(login(name)) != answers::loginReply(answers::loginOk()))
            QTest::qFail(qPrintable(name + u" cannot log in"_s), __FILE__, __LINE__);
        return client;
    }
    std::optional<QList<RedisReply>> redis(const QList<QByteArrayList> &commands)
    {
        QString error;
        const auto replies =
            RedisConnection::runBlocking(u"127.0.0.1"_s, m_redis->port(), 1000, commands, &error, m_busUser);
        if (!replies)
            qWarning().noquote() << error;
        return replies;
    }
    // One sample of an instance's metrics (0 when it cannot be read).
    static double metric(quint16 port, const QByteArray &sample)
    {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (!socket.waitForConnected(2000))
            return 0;
        socket.write("GET /metrics HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
        // The endpoint keeps the connection open after the page: read until the line is whole.
        const QRegularExpression line(u"^"_s + QRegularExpression::escape(QString::fromLatin1(sample)) +
                                          u" (\\S+)\n"_s,
                                      QRegularExpression::MultilineOption);
        QString page;
        QRegularExpressionMatch match;
        while (!(match = line.match(page)).hasMatch() && socket.waitForReadyRead(2000))
            page += QString::fromLatin1(socket.readAll());
        return match.captured(1).toDouble();
    }
    // Waits until both instances are back on the bus: they have written their presence (the
    // bus's user may not ask Redis who subscribes), and their subscriptions had time to follow.
    bool bothOnBus()
    {
        const bool back = QTest::qWaitFor(
            [&] {
                const auto ids = redis({{"SMEMBERS", "tavrel:instances"}});
                QByteArrayList keys{"MGET"};
                for (const RedisReply &id : ids ? ids->at(0).elements : QList<RedisReply>())
                    keys.append("tavrel:presence:" + id.text);
                const auto values = keys.size() == 3 ? redis({keys}) : std::nullopt;
                return values &&
                       std::none_of(values->at(0).elements.begin(), values->at(0).elements.end(),
                                    [](const RedisReply &value) { return value.type == RedisReply::Nil; });
            },
            10000);
        QTest::qWait(500);
        return back;
    }
    static QStringList without(QStringList names, const QString &name)
    {
        names.removeOne(name);
        return names;
    }
    // Waits until the newest user list a client got is this one: the others online.
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
        QVERIFY(writeSecret(m_secrets.filePath(u"bus-password"_s), m_busUser.password) &&
                writeSecret(m_secrets.filePath(u"bus-key"_s), QByteArray(44, 'k')));
    }

    void init()
    {
        // filesAcross reaches a Redis that asks only for the default user's password, the
        // others the bus's ACL user. What comes over the bus is judged alike either way.
        const bool byPassword = QByteArray(QTest::currentTestFunction()) == "filesAcross";
        m_redis = byPassword ? &m_passwordRedis : &m_aclRedis;
        m_busUser = {byPassword ? QString() : u"tavrel"_s, "bus password"};
        QString error;
        if (!m_redis->isRunning())
            QVERIFY2(m_redis->start(&error), qPrintable(error));
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

    // Pairs of users, zoe at B and yan at A; in each, one of them logs in again, at the same
    // instance or the other, and chat keeps crossing both ways, each seeing their own lines
    // too: whoever chatted before, and after Redis came back. The pairs run side by side,
    // each with users of its own; those after a Redis restart once the others are done.
    void reloginKeepsRelay()
    {
        struct Pair
        {
            QString tag, who, other; // who logs in again, and the other of the pair
            int source;              // each pair's address, well within what one may hold
            TestClient *first = nullptr, *stays = nullptr, *again = nullptr;
            bool zoeAgain() const { return who.startsWith(u'z'); }
        };
        QList<Pair> pairs;
        QStringList everyone;
        for (const QString &chat : {u""_s, u", after chat"_s}) {
            for (const QString &row : {u"yan again at A"_s, u"zoe again at B"_s, u"yan again at B"_s,
                                       u"Redis restarted, yan again at A"_s}) {
                const QString n = QString::number(pairs.size());
                const bool zoe = row.contains(u"zoe"_s);
                pairs.append({row + chat, (zoe ? u"zoe"_s : u"yan"_s) + n, (zoe ? u"yan"_s : u"zoe"_s) + n,
                              int(10 + pairs.size())});
                everyone << u"zoe"_s + n << u"yan"_s + n;
            }
        }
        QVERIFY(startPair(everyone));
        everyone.sort();
        for (Pair &pair : pairs) {
            pair.first = loggedInAt(pair.zoeAgain() ? *m_b : *m_a, pair.who, pair.source);
            pair.stays = loggedInAt(pair.zoeAgain() ? *m_a : *m_b, pair.other, pair.source);
        }
        for (const Pair &pair : pairs) {
            TestClient *zoe = pair.zoeAgain() ? pair.first : pair.stays;
            QVERIFY(listIs(zoe, without(everyone, pair.zoeAgain() ? pair.who : pair.other)));
            if (pair.tag.endsWith(u"after chat"_s)) {
                zoe->send(chatMessage(u"hello"_s));
                const QString line = (pair.zoeAgain() ? pair.who : pair.other) + u": hello"_s;
                QVERIFY(gotLine(pair.zoeAgain() ? pair.stays : pair.first, line));
            }
        }
        for (const bool restarted : {false, true}) {
            if (restarted) {
                m_redis->kill();
                QString error;
                QVERIFY2(m_redis->start(&error), qPrintable(error));
                QVERIFY(bothOnBus());
            }
            QList<Pair *> now;
            for (Pair &pair : pairs) {
                if (pair.tag.startsWith(u"Redis"_s) == restarted)
                    now.append(&pair);
            }
            for (Pair *pair : now)
                pair->again =
                    loggedInAt(pair->tag.contains(u"at B"_s) ? *m_b : *m_a, pair->who, pair->source);
            // While the older login still counts at its instance, the name is there twice.
            for (const Pair *pair : now) {
                QVERIFY2(pair->first->expect(answers::noticeMessage(answers::replaced())) &&
                             listIs(pair->again, without(everyone, pair->who)),
                         qPrintable(pair->tag));
            }
            // The loss was seen to set in 2 to 4 s after the second login.
            QTest::qWait(4500);
            for (const bool againSpeaks : {true, false}) {
                for (const Pair *pair : now)
                    (againSpeaks ? pair->again : pair->stays)
                        ->send(chatMessage(u"from "_s + (againSpeaks ? pair->who : pair->other)));
                for (const Pair *pair : now) {
                    const QString name = againSpeaks ? pair->who : pair->other;
                    const QString line = name + u": from "_s + name;
                    QVERIFY2(gotLine(pair->again, line) && gotLine(pair->stays, line),
                             qPrintable(pair->tag + u": "_s + line));
                }
            }
        }
    }

    // A file uploaded at one instance is served at the other, and the same name uploaded
    // there again is renamed; text that reads as an image is still served as text. Then
    // PostgreSQL stops under the running pair, with the file workers so already connected
    // or not yet: uploads and requests are answered as busy, never announced as stored nor
    // answered as missing; once it is back they work again. Redis asks only for a password.
    void filesAcross_data()
    {
        QTest::addColumn<bool>("connected");
        QTest::newRow("workers connected") << true;
        QTest::newRow("workers not yet connected") << false;
    }
    void filesAcross()
    {
        QFETCH(bool, connected);
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        TestClient *bob = loggedInAt(*m_b, u"bob"_s);
        const QList<std::tuple<QString, QByteArray, QString>> files{
            {u"big.txt"_s, QByteArray(kMaxOutgoingFileSize, 'z'), u"big2.txt"_s},
            {u"empty.txt"_s, QByteArray(), u"empty2.txt"_s},
            {u"tiny.gif"_s, QByteArray("GIF89a text"), u"tiny2.gif"_s}};
        for (const auto &[name, bytes, second] : connected ? files : decltype(files)()) {
            alice->send(fileMessage(name, bytes));
            QVERIFY(bob->expect(answers::noticeMessage(answers::uploaded(u"alice"_s, name, bytes.size()))));
            bob->send(fileRequest(name));
            QCOMPARE(bob->take('f'), fileMessage(name, bytes));
            bob->send(fileMessage(name, "again"));
            for (TestClient *client : {alice, bob})
                QVERIFY(client->expect(answers::noticeMessage(answers::uploaded(u"bob"_s, second, 5))));
        }
        m_postgres.stop();
        const QByteArray busy = answers::noticeMessage(answers::serverBusy());
        alice->send(fileMessage(u"lost.txt"_s, "lost"));
        QCOMPARE(alice->take('c', 15000), busy);
        bob->send(fileRequest(u"big.txt"_s));
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

    // Users registered at A log in at B, by any width of the name, and chat and notices reach
    // every user of every instance exactly once. Then someone who can reach Redis but is no
    // instance publishes on the bus, and writes keys that look like an instance's: no client
    // sees a byte of it, no session closes, the instances do not send their backlog again,
    // and each counts what it dropped.
    void chatAcrossNotForeign()
    {
        RedisConnection listener;
        QList<QByteArray> heard;
        listener.open(u"127.0.0.1"_s, m_redis->port(), 2000, m_busUser);
        QSignalSpy opened(&listener, &RedisConnection::opened);
        QVERIFY(opened.wait(5000));
        listener.subscribe({"tavrel:bus"}, [&](const RedisReply &reply) {
            if (reply.elements.value(0).text == "message")
                heard.append(reply.elements.value(2).text);
        });
        QVERIFY(startPair({u"alice"_s, u"bob"_s}));
        TestClient *alice = loggedInAt(*m_a, u"alice"_s);
        // Any case and width of a name is the account, through PostgreSQL too.
        TestClient *bob = loggedInAt(*m_b, u"\uff22\uff2fb"_s);
        QVERIFY(listIs(alice, {u"bob"_s}) && listIs(bob, {u"alice"_s}));
        alice->send(chatMessage(u"from A"_s));
        bob->send(chatMessage(u"from B"_s));
        alice->send(fileMessage(u"notes.txt"_s, "text"));
        QStringList expected{u"alice: from A"_s, u"bob: from B"_s,
                             answers::notice(answers::uploaded(u"alice"_s, u"notes.txt"_s, 4))};
        expected.sort();
        for (TestClient *client : {alice, bob}) {
            QStringList lines = client->chatLines(1500);
            lines.sort();
            QCOMPARE(lines, expected);
        }
        const QList<QByteArray> genuine = heard;
        // The instances' ids, A's first: its presence lists alice.
        QByteArrayList ids;
        for (const RedisReply &id : redis({{"SMEMBERS", "tavrel:instances"}}).value().value(0).elements)
            ids.append(id.text);
        QCOMPARE(ids.size(), 2);
        if (!redis({{"GET", "tavrel:presence:" + ids.at(0)}}).value().value(0).text.contains("alice"))
            std::swap(ids[0], ids[1]);
        const QByteArray stranger = "00000000000000ff";
        const QByteArray other = "00000000000000fe";
        const QByteArray later = QByteArray::number(QDateTime::currentMSecsSinceEpoch() + 86400000);
        const auto publish = [](const QByteArray &message) {
            return QByteArrayList{"PUBLISH", "tavrel:bus", message};
        };
        QList<QByteArrayList> replays;
        for (const QByteArray &message : genuine)
            replays.append(publish(message));
        QList<QByteArrayList> hellos;
        for (int i = 0; i < 100; ++i)
            hellos.append(publish("h " + stranger + " 1\n999999999"));
        const QList<std::pair<const char *, QList<QByteArrayList>>> attacks{
            {"a login answer", {publish("m " + stranger + " 1\n" + loginAnswer(answers::loginOk()))}},
            {"a server notice",
             {publish("m " + stranger + " 2\n" + answers::noticeMessage(u"请重新登录"_s))}},
            {"a file", {publish("m " + stranger + " 3\n" + fileMessage(u"evil.txt"_s, "bytes"))}},
            {"a line in A's name", {publish("m " + ids.at(0) + " 999\n" + chatLine(u"alice: forged"_s))}},
            {"an oversized line", {publish("m " + stranger + " 4\n" + chatLine(QString(3 << 20, u'x')))}},
            {"a newer login of alice, again and again",
             {publish("p " + stranger + " 1\n" + later + "\talice"),
              publish("p " + stranger + " 2\n" + later + "1\talice"),
              publish("p " + stranger + " 3\n" + later + "2\talice")}},
            {"a presence key",
             {{"SET", "tavrel:presence:" + other, "p " + other + " 1\n" + later + "\tbob\n1\tmallory"},
              {"SADD", "tavrel:instances", other}}},
            {"B leaving", {publish("g " + ids.at(1) + " 0\n")}},
            {"everything again, a hundred times", hellos},
            {"bytes that are no message", {publish(QByteArray("\x00\xff m \n\r\nc,", 10)), publish("m\n")}},
            {"the instances' own messages again", replays},
        };
        QStringList breaches;
        for (const auto &[attack, commands] : attacks) {
            heard.clear();
            QVERIFY2(redis(commands), attack);
            QTest::qWait(2000);
            for (TestClient *client : {alice, bob}) {
                const QString who =
                    QLatin1String(attack) + (client == alice ? u" (alice): "_s : u" (bob): "_s);
                if (!client->isConnected())
                    breaches << who + u"closed"_s;
                for (const QByteArray &message : std::exchange(client->inbox, {}))
                    breaches << who + QString::fromUtf8(message.left(40));
            }
            if (std::any_of(heard.begin(), heard.end(),
                            [](const QByteArray &m) { return m.startsWith('r'); }))
                breaches << QLatin1String(attack) + u": sent again"_s;
            // Each attack is judged on its own.
            if (!alice->isConnected() || !bob->isConnected()) {
                alice = alice->isConnected() ? alice : loggedInAt(*m_a, u"alice"_s);
                bob = bob->isConnected() ? bob : loggedInAt(*m_b, u"bob"_s);
                QTest::qWait(2000);
                alice->inbox.clear();
                bob->inbox.clear();
            }
        }
        QVERIFY2(breaches.isEmpty(), qPrintable(breaches.join(u"\n"_s)));
        bob->send(chatMessage(u"still here"_s));
        QVERIFY(alice->expect(chatLine(u"bob: still here"_s)));
        // Unsealed, too large before its seal was looked at, or sealed but heard before.
        for (const quint16 port : {m_metricsA, m_metricsB}) {
            for (const char *why : {"unauthenticated", "oversized", "replayed"}) {
                const QByteArray sample = QByteArray("tavrel_bus_dropped_total{reason=\"") + why + "\"}";
                QVERIFY2(metric(port, sample) > 0, sample.constData());
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestCluster)
#include "tst_cluster.moc"
