#include "answers.h"
#include "config.h"
#include "digest.h"
#include "protocol.h"
#include "server.h"
#include "store.h"
#include "testclient.h"
#include "testconfig.h"

#include <QDir>
#include <QDirIterator>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <array>
#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

const QString kPassword = u"secret1"_s;

QByteArray reg(const QString &name, const QString &email, const QString &code = QString())
{
    return registrationMessage(name, email, code, saltedDigest(kPassword));
}

QByteArray login(const QString &name, const QString &password = kPassword)
{
    return loginMessage(name, saltedDigest(password));
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// Each test runs its own server on a free port with a fresh data folder and talks to it
// through plain sockets.
class TestServer : public QObject
{
    Q_OBJECT

    Config m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Server> m_server;
    QStringList m_online;

    // Starts the server with these accounts (password kPassword) already in its database.
    void startServer(const QStringList &accounts = {})
    {
        m_server = std::make_unique<Server>(m_config);
        QVERIFY(m_server->start());
        Store store(dataPath(u"tavrel.sqlite"_s));
        QVERIFY(store.open());
        const QByteArray digest = saltedDigest(kPassword).toLatin1();
        char hash[crypto_pwhash_STRBYTES];
        QCOMPARE(crypto_pwhash_str(hash, digest, 32, m_config.pwhashOps, m_config.pwhashMem), 0);
        for (const QString &name : accounts)
            QVERIFY(store.insertAccount(name, name + u"@example.org"_s, hash, 0));
    }
    TestClient *connected() { return new TestClient(m_server->port(), this); }
    QString dataPath(const QString &name) const { return m_dir->filePath(name); }
    QString filePath(const QString &name) const { return m_dir->filePath(u"files/"_s + name); }
    qsizetype fileCount() const
    {
        return QDir(dataPath(u"files"_s))
            .entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden)
            .size();
    }

    // The code in a mail to email; the tests send at most one to each address.
    QString codeFor(const QString &email)
    {
        const QRegularExpression code(u"^验证码：(\\d{6})\r$"_s, QRegularExpression::MultilineOption);
        for (QDirIterator it(dataPath(u"outbox"_s), {u"*.eml"_s}, QDir::Files); it.hasNext();) {
            const QString mail = QString::fromUtf8(readFile(it.next()));
            if (mail.contains(u"\r\nTo: <%1>\r\n"_s.arg(email)))
                return code.match(mail).captured(1);
        }
        return QString();
    }
    // Registers over the wire, with the code read from the outbox.
    void registerUser(TestClient *client, const QString &name, const QString &email)
    {
        client->send(reg(name, email));
        QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
        const QString code = codeFor(email);
        QCOMPARE(code.size(), 6);
        // The address is matched without regard to case.
        client->send(reg(name, email.toUpper(), code));
        QCOMPARE(client->take('r'), registrationAnswer(answers::registered()));
    }
    // Logs everyone in at once; each then has the list of all logged in so far.
    template<typename... Names> std::array<TestClient *, sizeof...(Names)> loggedIn(const Names &...names)
    {
        const QStringList list{names...};
        std::array<TestClient *, sizeof...(Names)> clients{};
        for (qsizetype i = 0; i < list.size(); ++i) {
            clients[i] = connected();
            clients[i]->send(login(list[i]));
            if (!m_online.contains(list[i]))
                m_online.append(list[i]);
        }
        m_online.sort(Qt::CaseInsensitive);
        for (TestClient *client : clients) {
            if (client->take('l') != loginAnswer(answers::loginOk()) || !client->expect(userList(m_online)))
                QTest::qFail(qPrintable(u"login of %1 failed"_s.arg(list.join(u' '))), __FILE__, __LINE__);
        }
        return clients;
    }

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_config = testConfig(m_dir->path());
        m_online.clear();
    }

    void cleanup()
    {
        qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        m_server.reset();
        m_dir.reset();
    }

    void registration()
    {
        startServer();
        TestClient *client = connected();
        registerUser(client, u"alice"_s, u"Alice@Example.org"_s);
        const QDir outbox(dataPath(u"outbox"_s));
        const QByteArray mail = readFile(outbox.filePath(outbox.entryList({u"*.eml"_s}).value(0)));
        const QString head = u'\n' + QString::fromLatin1(mail.left(mail.indexOf("\r\n\r\n") + 2));
        // ASCII headers, each ended by CRLF: the subject is an encoded word.
        QVERIFY2(QRegularExpression(u"\\A\n([\\t\\x{20}-\\x{7e}]+\r\n)+\\z"_s).match(head).hasMatch(),
                 qPrintable(head));
        for (const char *field :
             {"To: <Alice@Example.org>\r", "From: ", "Date: ", "Subject: =?UTF-8?B?", "Message-ID: <"})
            QVERIFY2(head.contains(u'\n' + QLatin1String(field)), field);
        client->send(login(u"alice"_s));
        QCOMPARE(client->take('l'), u"l,登录成功"_s.toUtf8());
        QCOMPARE(client->take('o'), QByteArray("o,alice"));
    }

    void registrationRefusals_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("answer");
        const QString mail = u"x@example.org"_s;
        const QByteArray digest = saltedDigest(kPassword).toLatin1();
        QTest::newRow("name taken, in another case") << reg(u"ALICE"_s, mail) << answers::nameTaken();
        QTest::newRow("blank in name") << reg(u"a b"_s, mail) << answers::nameInvalid();
        QTest::newRow("header injection")
            << reg(u"bob"_s, mail + u"\r\nBcc: y@example.org"_s) << answers::emailInvalid();
        QTest::newRow("not a digest")
            << registrationMessage(u"bob"_s, mail, QString(), kPassword) << answers::registrationMalformed();
        QTest::newRow("missing field") << "r,bob" + separator() + mail.toLatin1() + separator() + digest
                                       << answers::registrationMalformed();
    }
    void registrationRefusals()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, answer);
        startServer({u"alice"_s});
        TestClient *client = connected();
        client->send(message);
        QCOMPARE(client->take('r'), registrationAnswer(answer));
        QVERIFY(QDir(dataPath(u"outbox"_s)).isEmpty());
    }

    void wrongCodeLimit()
    {
        startServer();
        TestClient *client = connected();
        const QString email = u"dave@example.org"_s;
        client->send(reg(u"dave"_s, email));
        QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
        const QString code = codeFor(email);
        const QString wrong = code == u"000000"_s ? u"000001"_s : u"000000"_s;
        for (int left = 4; left >= 0; --left) {
            client->send(reg(u"dave"_s, email, wrong));
            QCOMPARE(client->take('r'),
                     registrationAnswer(left > 0 ? answers::codeWrong(left) : answers::codeExhausted()));
        }
        // The code is gone: the right one no longer registers but asks for a new code.
        client->send(reg(u"dave"_s, email, code));
        QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
    }

    void loginAnswers_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QString>("online"); // empty: refused
        QTest::newRow("right password") << login(u"alice"_s) << u"alice"_s;
        QTest::newRow("name in another case") << login(u"ALICE"_s) << u"alice"_s;
        QTest::newRow("Chinese name") << login(u"小明"_s) << u"小明"_s;
        QTest::newRow("wrong password") << login(u"alice"_s, u"secret2"_s) << QString();
        QTest::newRow("unknown name") << login(u"zed"_s) << QString();
        QTest::newRow("password instead of digest") << loginMessage(u"alice"_s, kPassword) << QString();
        QTest::newRow("uppercase digest")
            << loginMessage(u"alice"_s, saltedDigest(kPassword).toUpper()) << QString();
        QTest::newRow("trailing field") << login(u"alice"_s) + separator() << QString();
    }
    void loginAnswers()
    {
        QFETCH(QByteArray, message);
        QFETCH(QString, online);
        startServer({u"alice"_s, u"小明"_s});
        TestClient *client = connected();
        client->send(message);
        QCOMPARE(client->take('l'),
                 loginAnswer(online.isEmpty() ? answers::loginRefused() : answers::loginOk()));
        QCOMPARE(client->take('o', online.isEmpty() ? 100 : 5000),
                 online.isEmpty() ? QByteArray() : userList({online}));
    }

    void lockout()
    {
        m_config.lockoutFailures = 3;
        m_config.lockoutSeconds = 1;
        startServer({u"alice"_s});
        TestClient *client = connected();
        const auto answers = [&](const QString &password, const QString &answer) {
            client->send(login(u"alice"_s, password));
            return client->take('l') == loginAnswer(answer);
        };
        // Failures below the limit are forgotten after a success.
        QVERIFY(answers(u"guess"_s, answers::loginRefused()) && answers(u"guess"_s, answers::loginRefused()));
        QVERIFY(answers(kPassword, answers::loginOk()));
        for (int i = 0; i < 3; ++i)
            QVERIFY(answers(u"guess"_s, answers::loginRefused()));
        QVERIFY(answers(kPassword, answers::loginLocked(1)));
        QTest::qWait(1100);
        QVERIFY(answers(kPassword, answers::loginOk()));
    }

    void restartKeepsAccountsButNoDigest()
    {
        startServer();
        TestClient *client = connected();
        registerUser(client, u"alice"_s, u"alice@example.org"_s);
        client->send(login(u"alice"_s));
        QCOMPARE(client->take('l'), loginAnswer(answers::loginOk()));
        m_server.reset();
        // The digest is the credential itself: no file of the server may hold it.
        const QByteArray digest = saltedDigest(kPassword).toLatin1();
        for (QDirIterator it(m_dir->path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            const QByteArray bytes = readFile(it.next());
            QVERIFY2(!bytes.contains(digest) && !bytes.contains(QByteArray::fromHex(digest)),
                     qPrintable(it.filePath()));
        }
        Store store(dataPath(u"tavrel.sqlite"_s));
        bool ok = false;
        QVERIFY(
            store.open() &&
            store.account(u"alice"_s, &ok).value_or(Store::Account()).passwordHash.startsWith("$argon2id$"));
        QCOMPARE(store.schemaVersion(), 1);
        startServer();
        loggedIn(u"alice"_s);
    }

    void chatReachesLoggedInOnly()
    {
        startServer({u"alice"_s, u"bob"_s});
        auto [alice, bob] = loggedIn(u"alice"_s, u"bob"_s);
        TestClient *guest = connected();
        alice->send(chatMessage(u"你好 <b>bob</b>"_s));
        QCOMPARE(alice->take('c'), chatLine(u"alice: 你好 <b>bob</b>"_s));
        QCOMPARE(bob->take('c'), chatLine(u"alice: 你好 <b>bob</b>"_s));
        guest->send(chatMessage(u"let me in"_s));
        QCOMPARE(guest->take('c'), chatLine(answers::loginFirst()));
        QVERIFY(guest->take('c', 100).isNull() && alice->take('c', 0).isNull() && bob->take('c', 0).isNull());
        // Too long is refused and reaches nobody; the longest allowed goes through.
        alice->send(chatMessage(QString(kMaxChatLength + 1, u'中')));
        QCOMPARE(alice->take('c'), chatLine(answers::chatTooLong(kMaxChatLength)));
        alice->send(chatMessage(QString(kMaxChatLength, u'中')));
        QCOMPARE(bob->take('c'), chatLine(u"alice: "_s + QString(kMaxChatLength, u'中')));
    }

    void userListOnJoinAndLeave()
    {
        startServer({u"alice"_s, u"bob"_s});
        TestClient *bob = loggedIn(u"bob"_s)[0];
        TestClient *guest = connected();
        TestClient *alice = loggedIn(u"alice"_s)[0]; // which waits for "alice\nbob"
        QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
        alice->socket.disconnectFromHost();
        QCOMPARE(bob->take('o'), QByteArray("o,bob"));
        QVERIFY(guest->take('o', 0).isNull());
    }

    void secondLoginReplacesFirst()
    {
        startServer({u"alice"_s, u"bob"_s});
        auto [first, bob] = loggedIn(u"alice"_s, u"bob"_s);
        TestClient *second = loggedIn(u"alice"_s)[0];
        QVERIFY(first->expect(chatLine(answers::replaced())));
        QTRY_VERIFY(!first->isConnected());
        QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
        second->send(chatMessage(u"moved"_s));
        QVERIFY(bob->expect("c,alice: moved") && second->expect("c,alice: moved"));
        // The closed first session does not take alice off the list.
        QVERIFY(bob->take('o', 200).isNull());
    }

    void uploadThenRequest_data()
    {
        QTest::addColumn<QString>("path"); // empty: put there by the operator
        QTest::addColumn<QString>("name");
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("sender"); // of an image; empty: sent as a plain file
        const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d494844520000000100000001080600"
                                                   "00001f15c4890000000049454e44ae426082");
        const QByteArray mixed = "a\n" + separator() + u"中文"_s.toUtf8() + separator();
        const QString server = answers::serverSender();
        QTest::newRow("windows path, CJK")
            << u"C:\\Users\\al\\说明.md"_s << u"说明.md"_s << mixed << QString();
        QTest::newRow("empty file") << u"empty.txt"_s << u"empty.txt"_s << QByteArray() << QString();
        QTest::newRow("largest file")
            << u"big.txt"_s << u"big.txt"_s << QByteArray(kMaxOutgoingFileSize, 'z') << QString();
        QTest::newRow("uploaded gif text")
            << u"tiny.gif"_s << u"tiny.gif"_s << QByteArray("GIF89a text") << u"alice"_s;
        QTest::newRow("text named like an image")
            << u"fake.png"_s << u"fake.png"_s << QByteArray("just text") << QString();
        QTest::newRow("operator's png") << QString() << u"logo.png"_s << png << server;
        QTest::newRow("png without suffix") << QString() << u"logo"_s << png << server;
    }
    void uploadThenRequest()
    {
        QFETCH(QString, path);
        QFETCH(QString, name);
        QFETCH(QByteArray, bytes);
        QFETCH(QString, sender);
        startServer({u"alice"_s, u"bob"_s});
        auto [alice, bob] = loggedIn(u"alice"_s, u"bob"_s);
        if (path.isEmpty()) {
            QVERIFY(writeFile(filePath(name), bytes));
        } else {
            alice->send(fileMessage(path, bytes));
            const QByteArray announcement = chatLine(answers::uploaded(u"alice"_s, name, bytes.size()));
            QVERIFY(alice->expect(announcement) && bob->expect(announcement));
            QCOMPARE(readFile(filePath(name)), bytes);
        }
        bob->send(fileRequest(name));
        QCOMPARE(bob->take('f'),
                 sender.isEmpty() ? fileMessage(name, bytes) : imageMessage(name, sender, bytes));
    }

    void hostileUploadNames_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("stored"); // empty: refused
        const QString longest = QString(193, u'n') + u".txt"_s;
        QTest::newRow("parent directories") << u"../../escape.txt"_s << u"escape.txt"_s;
        QTest::newRow("absolute") << u"/etc/cron.d/job"_s << u"job"_s;
        QTest::newRow("database name") << u"../tavrel.sqlite"_s << u"tavrel.sqlite"_s;
        QTest::newRow("name taken") << u"../files/notes.txt"_s << u"notes2.txt"_s;
        QTest::newRow("dot dot") << u".."_s << QString();
        QTest::newRow("trailing slash") << u"dir/"_s << QString();
        QTest::newRow("device name") << u"CON.txt"_s << QString();
        QTest::newRow("markup") << u"<img src=x>.txt"_s << QString();
        QTest::newRow("control character") << u"a\tb.txt"_s << QString();
        QTest::newRow("longest name") << longest << longest;
        QTest::newRow("too long by one byte") << u'n' + longest << QString();
    }
    void hostileUploadNames()
    {
        QFETCH(QString, path);
        QFETCH(QString, stored);
        startServer({u"alice"_s});
        QVERIFY(writeFile(filePath(u"notes.txt"_s), "mine"));
        TestClient *alice = loggedIn(u"alice"_s)[0];
        alice->send(fileMessage(path, "payload"));
        QCOMPARE(alice->take('c'), chatLine(stored.isEmpty() ? answers::uploadBadName()
                                                             : answers::uploaded(u"alice"_s, stored, 7)));
        QCOMPARE(fileCount(), stored.isEmpty() ? 1 : 2);
        QVERIFY(stored.isEmpty() || QFile::exists(filePath(stored)));
        QCOMPARE(readFile(filePath(u"notes.txt"_s)), QByteArray("mine"));
    }

    void hostileRequests_data()
    {
        QTest::addColumn<QString>("requested");
        QTest::addColumn<QByteArray>("answer");
        const QByteArray badName = chatLine(answers::requestBadName());
        const auto missing = [](const QString &name) { return chatLine(answers::noSuchFile(name)); };
        QTest::newRow("database by parent path") << u"../tavrel.sqlite"_s << missing(u"tavrel.sqlite"_s);
        QTest::newRow("absolute path") << u"/etc/passwd"_s << missing(u"passwd"_s);
        QTest::newRow("link out of the folder") << u"link.txt"_s << missing(u"link.txt"_s);
        QTest::newRow("folder inside") << u"sub"_s << missing(u"sub"_s);
        QTest::newRow("dot dot") << u".."_s << badName;
        QTest::newRow("empty") << QString() << badName;
        QTest::newRow("separator in name") << u"a~+^`&b"_s << badName;
        QTest::newRow("served by last component") << u"../files/ok.txt"_s << fileMessage(u"ok.txt"_s, "fine");
    }
    void hostileRequests()
    {
        QFETCH(QString, requested);
        QFETCH(QByteArray, answer);
        startServer({u"alice"_s});
        QVERIFY(writeFile(dataPath(u"secret.txt"_s), "secret"));
        QVERIFY(QFile::link(dataPath(u"secret.txt"_s), filePath(u"link.txt"_s)));
        QVERIFY(QDir().mkdir(filePath(u"sub"_s)));
        QVERIFY(writeFile(filePath(u"ok.txt"_s), "fine") && writeFile(filePath(u"a~+^`&b"_s), ""));
        TestClient *alice = loggedIn(u"alice"_s)[0];
        alice->send(fileRequest(requested));
        QVERIFY(QTest::qWaitFor([&] { return !alice->inbox.isEmpty(); }, 5000));
        QCOMPARE(alice->inbox.value(0), answer);
    }

    void oversizeShed_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("member"); // sent by a logged-in user, with another looking on
        QTest::newRow("chat of 9000 bytes") << "c," + QByteArray(9000, 'a') << true;
        QTest::newRow("login of 9000 bytes") << "l," + QByteArray(9000, 'a') << false;
        QTest::newRow("unknown kind") << QByteArray(9000, 'x') << false;
        QTest::newRow("file beyond its limit")
            << "fs,a.txt" + separator() + QByteArray(kMaxOutgoingFileSize + 4200, 'a') << true;
    }
    void oversizeShed()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, member);
        startServer({u"alice"_s, u"bob"_s});
        auto [sender, bystander] =
            member ? loggedIn(u"alice"_s, u"bob"_s) : std::array<TestClient *, 2>{connected()};
        sender->send(message);
        QTRY_VERIFY(!sender->isConnected());
        QTRY_COMPARE(m_server->sessionCount(), member ? 1 : 0);
        // The bystander sees the sender leave, and nothing of what it sent.
        QVERIFY(!member || (bystander->take('o') == "o,bob" && bystander->take('c', 100).isNull()));
        QCOMPARE(fileCount(), 0);
    }

    void floodShed()
    {
        startServer({u"alice"_s, u"bob"_s});
        auto [alice, bob] = loggedIn(u"alice"_s, u"bob"_s);
        // Bursts beyond the chat rate are refused, not relayed.
        for (int i = 0; i < 8; ++i)
            alice->send(chatMessage(u"m%1"_s.arg(i)));
        // Five at once, and one more at most for the time the burst itself took.
        const QStringList lines = bob->chatLines(300);
        QVERIFY2(lines.size() <= 6, qPrintable(lines.join(u' ')));
        QCOMPARE(lines.mid(0, 5), u"alice: m0|alice: m1|alice: m2|alice: m3|alice: m4"_s.split(u'|'));
        QVERIFY(alice->chatLines(0).contains(answers::slowDown()));
        QVERIFY(alice->isConnected());
        // A stream of messages of any kind, each on its own, closes the connection.
        for (int i = 0; i < 100 && alice->isConnected(); ++i) {
            alice->socket.write("x");
            QTest::qWait(kQuietGapMs + 10);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!alice->isConnected(), 100);
        QCOMPARE(bob->take('o'), QByteArray("o,bob"));
    }

    void slowReaderIsCutOff()
    {
        startServer({u"slow"_s, u"alice"_s, u"bob"_s});
        QVERIFY(writeFile(filePath(u"big.bin"_s), QByteArray(4 * 1024 * 1024, 'b')));
        auto [slow, alice, bob] = loggedIn(u"slow"_s, u"alice"_s, u"bob"_s);
        // Stop reading: the socket takes nothing more once its small buffer is full.
        slow->socket.setReadBufferSize(4096);
        QObject::disconnect(&slow->socket, &QTcpSocket::readyRead, nullptr, nullptr);
        // One file goes out, one waits, and a third passes the bound of waiting bytes.
        for (int i = 0; i < 3; ++i)
            slow->send(fileRequest(u"big.bin"_s));
        QElapsedTimer sent;
        alice->send(chatMessage(u"still here"_s));
        sent.start();
        QVERIFY(bob->expect("c,alice: still here", 2000));
        QVERIFY2(sent.elapsed() < 1000, "a slow reader delayed the others");
        QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 2, 10000);
        QVERIFY(alice->expect("o,alice\nbob"));
    }

    void connectionLimits()
    {
        m_config.maxPerAddress = 2;
        m_config.loginIdleTimeoutMs = 400;
        startServer({u"alice"_s});
        TestClient *alice = loggedIn(u"alice"_s)[0];
        TestClient *idle = connected();
        TestClient *third = connected();
        QTRY_VERIFY_WITH_TIMEOUT(!third->isConnected(), 2000);
        // Talking without logging in does not keep a connection open.
        for (int i = 0; i < 20 && idle->isConnected(); ++i) {
            idle->socket.write("c,hello?");
            QTest::qWait(100);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!idle->isConnected(), 100);
        // alice's wait for a login, had it not ended, would have ended first: she came first.
        QTest::qWait(100);
        QVERIFY(alice->isConnected());
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
