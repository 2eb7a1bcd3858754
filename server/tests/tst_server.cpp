#include "answers.h"
#include "config.h"
#include "digest.h"
#include "filenames.h"
#include "protocol.h"
#include "server.h"
#include "testclient.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;

namespace {

QByteArray sep()
{
    return separator();
}

QByteArray registration(const QString &name, const QString &email, const QString &code,
                        const QString &password)
{
    return registrationMessage(name, email, code, saltedDigest(password));
}

QByteArray u8(const QString &text)
{
    return text.toUtf8();
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registrationMailAndLogin();
    void registrationRefusals_data();
    void registrationRefusals();
    void wrongCodeLimit();
    void nameTaken();
    void loginAnswers_data();
    void loginAnswers();
    void lockout();
    void chatFlowsWhileHashing();
    void databaseHoldsNoDigest();
    void restartKeepsAccounts();
    void chatReachesLoggedInOnly();
    void busyRoomGetsEveryLine();
    void userListOnJoinAndLeave();
    void secondLoginReplacesFirst();
    void uploadThenRequest_data();
    void uploadThenRequest();
    void imagesGoOutAsImages_data();
    void imagesGoOutAsImages();
    void hostileUploadNames_data();
    void hostileUploadNames();
    void hostileRequests_data();
    void hostileRequests();
    void oversizeShed_data();
    void oversizeShed();
    void floodShed();
    void slowReaderIsCutOff();
    void connectionLimits();
    void processStopsOnSignal();

private:
    void startServer();
    TestClient *connected();
    QString codeFor(const QString &email);
    void registerUser(const QString &name, const QString &password = QStringLiteral("secret1"));
    TestClient *loggedIn(const QString &name, const QString &password = QStringLiteral("secret1"));
    QString filesDir() const { return m_dir->filePath(QStringLiteral("files")); }

    Config m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Server> m_server;
    QStringList m_seenMails;
    QList<TestClient *> m_clients;
};

void TestServer::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_config = Config();
    m_config.port = 0;
    m_config.dataDir = m_dir->path();
    m_config.pwhashOps = crypto_pwhash_OPSLIMIT_MIN;
    m_config.pwhashMem = crypto_pwhash_MEMLIMIT_MIN;
    m_config.workerThreads = 2;
    m_config.codeResendSeconds = 0;
    m_seenMails.clear();
}

void TestServer::cleanup()
{
    qDeleteAll(m_clients);
    m_clients.clear();
    m_server.reset();
    m_dir.reset();
}

void TestServer::startServer()
{
    m_server = std::make_unique<Server>(m_config);
    QVERIFY(m_server->start());
}

TestClient *TestServer::connected()
{
    auto *client = new TestClient;
    m_clients.append(client);
    if (!client->connectTo(m_server->port()))
        qWarning("cannot connect to the server");
    return client;
}

QString TestServer::codeFor(const QString &email)
{
    const QDir outbox(m_dir->filePath(QStringLiteral("outbox")));
    for (const QString &name : outbox.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name)) {
        if (m_seenMails.contains(name))
            continue;
        QFile file(outbox.filePath(name));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QString mail = QString::fromUtf8(file.readAll());
        if (!mail.contains(QStringLiteral("\r\nTo: <%1>\r\n").arg(email)))
            continue;
        m_seenMails.append(name);
        const QRegularExpression codeLine(QStringLiteral("^验证码：(\\d{6})\r$"),
                                          QRegularExpression::MultilineOption);
        return codeLine.match(mail).captured(1);
    }
    return QString();
}

void TestServer::registerUser(const QString &name, const QString &password)
{
    TestClient *client = connected();
    const QString email = name.toLower() + QStringLiteral("@example.org");
    client->send(registration(name, email, QString(), password));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
    const QString code = codeFor(email);
    QCOMPARE(code.size(), 6);
    client->send(registration(name, email, code, password));
    QCOMPARE(client->take('r'), registrationAnswer(answers::registered()));
    m_clients.removeOne(client);
    delete client;
}

TestClient *TestServer::loggedIn(const QString &name, const QString &password)
{
    TestClient *client = connected();
    client->send(loginMessage(name, saltedDigest(password)));
    const QByteArray answer = client->take('l');
    if (answer != loginAnswer(answers::loginOk()))
        qWarning() << "login of" << name << "answered" << answer;
    client->take('o');
    return client;
}

void TestServer::registrationMailAndLogin()
{
    startServer();
    TestClient *client = connected();
    client->send(registration(QStringLiteral("alice"), QStringLiteral("Alice@Example.org"), QString(),
                              QStringLiteral("secret1")));
    QCOMPARE(client->take('r'),
             registrationAnswer(answers::codeSent(QStringLiteral("Alice@Example.org"), 10)));

    const QDir outbox(m_dir->filePath(QStringLiteral("outbox")));
    const QStringList mails = outbox.entryList({QStringLiteral("*.eml")}, QDir::Files);
    QCOMPARE(mails.size(), 1);
    QFile file(outbox.filePath(mails.first()));
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray mail = file.readAll();
    const qsizetype bodyStart = mail.indexOf("\r\n\r\n");
    QVERIFY(bodyStart > 0);
    const QStringList headers = QString::fromLatin1(mail.left(bodyStart)).split(QStringLiteral("\r\n"));
    for (const QString &header : headers) {
        // CRLF line ends only, and ASCII headers: the subject is an encoded word.
        QVERIFY2(!header.contains(QLatin1Char('\n')) && !header.contains(QLatin1Char('\r')),
                 qPrintable(header));
        for (const QChar c : header)
            QVERIFY(c.unicode() < 0x80);
    }
    QVERIFY(headers.contains(QStringLiteral("To: <Alice@Example.org>")));
    for (const char *name : {"From: ", "Date: ", "Subject: =?UTF-8?B?", "Message-ID: <"}) {
        QVERIFY2(std::any_of(headers.begin(), headers.end(),
                             [&](const QString &h) { return h.startsWith(QLatin1String(name)); }),
                 name);
    }
    const QString code = codeFor(QStringLiteral("Alice@Example.org"));
    QVERIFY(QRegularExpression(QStringLiteral("^\\d{6}$")).match(code).hasMatch());

    // The address is matched without regard to case.
    client->send(registration(QStringLiteral("alice"), QStringLiteral("alice@example.ORG"), code,
                              QStringLiteral("secret1")));
    QCOMPARE(client->take('r'), registrationAnswer(answers::registered()));
    client->send(loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("secret1"))));
    QCOMPARE(client->take('l'), QByteArray("l,") + u8(QStringLiteral("登录成功")));
    QCOMPARE(client->take('o'), QByteArray("o,alice"));
}

void TestServer::registrationRefusals_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("answer");

    const QString ok = QStringLiteral("secret1");
    const QString mail = QStringLiteral("x@example.org");
    QTest::newRow("blank in name") << registration(QStringLiteral("a b"), mail, QString(), ok)
                                   << answers::nameInvalid();
    QTest::newRow("reserved sender name")
        << registration(answers::serverSender(), mail, QString(), ok) << answers::nameInvalid();
    QTest::newRow("header injection")
        << registration(QStringLiteral("bob"), QStringLiteral("bob@example.org\r\nBcc: all@example.org"),
                        QString(), ok)
        << answers::emailInvalid();
    QTest::newRow("missing field") << QByteArray("r,bob") + sep() + "x@example.org" + sep() +
                                          u8(saltedDigest(ok))
                                   << answers::registrationMalformed();
    QTest::newRow("not a digest") << registrationMessage(QStringLiteral("bob"), mail, QString(),
                                                         QStringLiteral("secret1"))
                                  << answers::registrationMalformed();
}

void TestServer::registrationRefusals()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, answer);
    startServer();
    TestClient *client = connected();
    client->send(message);
    QCOMPARE(client->take('r'), registrationAnswer(answer));
    QCOMPARE(QDir(m_dir->filePath(QStringLiteral("outbox"))).entryList(QDir::Files).size(), 0);
}

void TestServer::wrongCodeLimit()
{
    startServer();
    TestClient *client = connected();
    const QString email = QStringLiteral("dave@example.org");
    client->send(registration(QStringLiteral("dave"), email, QString(), QStringLiteral("secret1")));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
    const QString code = codeFor(email);
    const QString wrong =
        code == QLatin1String("000000") ? QStringLiteral("000001") : QStringLiteral("000000");
    for (int left = 4; left >= 1; --left) {
        client->send(registration(QStringLiteral("dave"), email, wrong, QStringLiteral("secret1")));
        QCOMPARE(client->take('r'), registrationAnswer(answers::codeWrong(left)));
    }
    client->send(registration(QStringLiteral("dave"), email, wrong, QStringLiteral("secret1")));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeExhausted()));
    // The code is gone: the right one no longer registers but asks for a new code.
    client->send(registration(QStringLiteral("dave"), email, code, QStringLiteral("secret1")));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
    client->send(loginMessage(QStringLiteral("dave"), saltedDigest(QStringLiteral("secret1"))));
    QCOMPARE(client->take('l'), loginAnswer(answers::loginRefused()));
}

void TestServer::nameTaken()
{
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *client = connected();
    // Names differ only in case are the same name.
    client->send(registration(QStringLiteral("ALICE"), QStringLiteral("other@example.org"), QString(),
                              QStringLiteral("secret2")));
    QCOMPARE(client->take('r'), registrationAnswer(answers::nameTaken()));
    QVERIFY(codeFor(QStringLiteral("other@example.org")).isEmpty());
}

void TestServer::loginAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("answer");

    QTest::newRow("right password") << loginMessage(QStringLiteral("alice"),
                                                    saltedDigest(QStringLiteral("secret1")))
                                    << answers::loginOk();
    QTest::newRow("name in another case")
        << loginMessage(QStringLiteral("Alice"), saltedDigest(QStringLiteral("secret1")))
        << answers::loginOk();
    QTest::newRow("wrong password") << loginMessage(QStringLiteral("alice"),
                                                    saltedDigest(QStringLiteral("secret2")))
                                    << answers::loginRefused();
    QTest::newRow("unknown name") << loginMessage(QStringLiteral("zed"),
                                                  saltedDigest(QStringLiteral("secret1")))
                                  << answers::loginRefused();
    QTest::newRow("password instead of digest")
        << loginMessage(QStringLiteral("alice"), QStringLiteral("secret1")) << answers::loginRefused();
    QTest::newRow("uppercase digest")
        << loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("secret1")).toUpper())
        << answers::loginRefused();
    QTest::newRow("trailing field") << loginMessage(QStringLiteral("alice"),
                                                    saltedDigest(QStringLiteral("secret1"))) +
                                           sep()
                                    << answers::loginRefused();
}

void TestServer::loginAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, answer);
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *client = connected();
    client->send(message);
    QCOMPARE(client->take('l'), loginAnswer(answer));
    if (answer == answers::loginOk())
        QCOMPARE(client->take('o'), QByteArray("o,alice"));
    else
        QVERIFY(client->nothingOf('o', 100));
}

void TestServer::lockout()
{
    m_config.lockoutFailures = 3;
    m_config.lockoutSeconds = 2;
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *client = connected();
    const QByteArray wrong = loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("guess")));
    const QByteArray right = loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("secret1")));
    // Failures below the limit are forgotten after a success.
    client->send(wrong);
    QCOMPARE(client->take('l'), loginAnswer(answers::loginRefused()));
    client->send(wrong);
    QCOMPARE(client->take('l'), loginAnswer(answers::loginRefused()));
    client->send(right);
    QCOMPARE(client->take('l'), loginAnswer(answers::loginOk()));
    for (int i = 0; i < 3; ++i) {
        client->send(wrong);
        QCOMPARE(client->take('l'), loginAnswer(answers::loginRefused()));
    }
    client->send(right);
    QCOMPARE(client->take('l'), loginAnswer(answers::loginLocked(1)));
    QTest::qWait(2100);
    client->send(right);
    QCOMPARE(client->take('l'), loginAnswer(answers::loginOk()));
}

void TestServer::chatFlowsWhileHashing()
{
    // Costly hashes on one worker: three logins take several hash times in a row.
    m_config.pwhashOps = 3;
    m_config.pwhashMem = 32 * 1024 * 1024;
    m_config.workerThreads = 1;
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    QList<TestClient *> others;
    for (int i = 0; i < 3; ++i) {
        others.append(connected());
        others.last()->send(loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("guess"))));
    }
    alice->send(chatMessage(QStringLiteral("meanwhile")));
    QVERIFY(alice->expect("c,alice: meanwhile"));
    int answered = 0;
    for (TestClient *other : std::as_const(others))
        answered += int(std::count_if(other->inbox.begin(), other->inbox.end(),
                                      [](const QByteArray &m) { return m.startsWith('l'); }));
    QVERIFY2(answered < 3, "the chat line waited for the password hashes");
    for (TestClient *other : std::as_const(others))
        QCOMPARE(other->take('l'), loginAnswer(answers::loginRefused()));
}

void TestServer::databaseHoldsNoDigest()
{
    startServer();
    registerUser(QStringLiteral("alice"), QStringLiteral("secret1"));
    delete loggedIn(QStringLiteral("alice"), QStringLiteral("secret1"));
    m_clients.removeLast();
    const QByteArray digest = saltedDigest(QStringLiteral("secret1")).toLatin1();
    m_server.reset();
    QDirIterator it(m_dir->path(), QDir::Files, QDirIterator::Subdirectories);
    int databaseFiles = 0;
    while (it.hasNext()) {
        QFile file(it.next());
        QVERIFY(file.open(QIODevice::ReadOnly));
        const QByteArray bytes = file.readAll();
        QVERIFY2(!bytes.contains(digest) && !bytes.contains(QByteArray::fromHex(digest)),
                 qPrintable(file.fileName()));
        databaseFiles += file.fileName().contains(QLatin1String("tavrel.sqlite"));
    }
    QVERIFY(databaseFiles >= 1);
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(m_dir->filePath(QStringLiteral("tavrel.sqlite")));
        QVERIFY(db.open());
        QSqlQuery query(QStringLiteral("SELECT password_hash FROM accounts"), db);
        QVERIFY(query.next());
        QVERIFY(query.value(0).toString().startsWith(QLatin1String("$argon2id$")));
        QSqlQuery version(QStringLiteral("PRAGMA user_version"), db);
        QVERIFY(version.next());
        QCOMPARE(version.value(0).toInt(), 1);
        QSqlQuery mode(QStringLiteral("PRAGMA journal_mode"), db);
        QVERIFY(mode.next());
        QCOMPARE(mode.value(0).toString(), QStringLiteral("wal"));
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
}

void TestServer::restartKeepsAccounts()
{
    startServer();
    registerUser(QStringLiteral("alice"));
    qDeleteAll(m_clients);
    m_clients.clear();
    m_server.reset();
    startServer();
    TestClient *client = loggedIn(QStringLiteral("alice"));
    QCOMPARE(client->socket.state(), QAbstractSocket::ConnectedState);
    client->send(chatMessage(QStringLiteral("back")));
    QCOMPARE(client->take('c'), QByteArray("c,alice: back"));
}

void TestServer::chatReachesLoggedInOnly()
{
    startServer();
    registerUser(QStringLiteral("alice"));
    registerUser(QStringLiteral("bob"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    TestClient *guest = connected();
    alice->send(chatMessage(QStringLiteral("你好 <b>bob</b>")));
    const QByteArray line = QByteArray("c,alice: ") + u8(QStringLiteral("你好 <b>bob</b>"));
    QVERIFY(alice->expect(line));
    QVERIFY(bob->expect(line));
    guest->send(chatMessage(QStringLiteral("let me in")));
    QCOMPARE(guest->take('c'), chatLine(answers::loginFirst()));
    QVERIFY(guest->nothingOf('c', 100));
    QVERIFY(alice->nothingOf('c', 0));
    QVERIFY(bob->nothingOf('c', 0));
    // Too long is refused and reaches nobody.
    alice->send(chatMessage(QString(kMaxChatLength + 1, QChar(0x4e2d))));
    QCOMPARE(alice->take('c'), chatLine(answers::chatTooLong(kMaxChatLength)));
    alice->send(chatMessage(QString(kMaxChatLength, QChar(0x4e2d))));
    QCOMPARE(bob->take('c'), chatLine(QStringLiteral("alice: ") + QString(kMaxChatLength, QChar(0x4e2d))));
}

void TestServer::busyRoomGetsEveryLine()
{
    startServer();
    const QStringList names = {QStringLiteral("ann"), QStringLiteral("ben"), QStringLiteral("cat"),
                               QStringLiteral("dan")};
    QList<TestClient *> clients;
    for (const QString &name : names) {
        registerUser(name);
        clients.append(loggedIn(name));
    }
    for (TestClient *client : clients) {
        QTest::qWait(200);
        client->inbox.clear();
    }
    // Everyone talks at once, faster than one message per gap can carry.
    QStringList expected;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < clients.size(); ++i) {
            const QString text = QStringLiteral("line %1 of %2").arg(round).arg(names.at(i));
            clients.at(i)->socket.write(chatMessage(text));
            expected.append(names.at(i) + QStringLiteral(": ") + text);
        }
        QTest::qWait(tavrel::kQuietGapMs + 20);
    }
    TestClient *reader = clients.first();
    QStringList lines;
    QVERIFY(QTest::qWaitFor(
        [&] {
            while (!reader->inbox.isEmpty()) {
                const QByteArray message = reader->inbox.takeFirst();
                if (message.startsWith('c'))
                    lines += QString::fromUtf8(message.mid(2)).split(QLatin1Char('\n'));
            }
            return lines.size() >= expected.size();
        },
        5000));
    QTest::qWait(200);
    QCOMPARE(reader->inbox.size(), 0);
    QStringList sortedLines = lines;
    sortedLines.sort();
    expected.sort();
    QCOMPARE(sortedLines, expected);
}

void TestServer::userListOnJoinAndLeave()
{
    startServer();
    registerUser(QStringLiteral("bob"));
    registerUser(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    TestClient *guest = connected();
    TestClient *alice = connected();
    alice->send(loginMessage(QStringLiteral("alice"), saltedDigest(QStringLiteral("secret1"))));
    QCOMPARE(alice->take('l'), loginAnswer(answers::loginOk()));
    QCOMPARE(alice->take('o'), QByteArray("o,alice\nbob"));
    QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
    alice->socket.disconnectFromHost();
    QCOMPARE(bob->take('o'), QByteArray("o,bob"));
    QVERIFY(guest->nothingOf('o', 100));
}

void TestServer::secondLoginReplacesFirst()
{
    startServer();
    registerUser(QStringLiteral("alice"));
    registerUser(QStringLiteral("bob"));
    TestClient *first = loggedIn(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    TestClient *second = loggedIn(QStringLiteral("alice"));
    QVERIFY(first->expect(chatLine(answers::replaced())));
    QVERIFY(first->waitClosed());
    QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
    second->send(chatMessage(QStringLiteral("moved")));
    QVERIFY(bob->expect("c,alice: moved"));
    QVERIFY(second->expect("c,alice: moved"));
    // The closed first session does not take alice off the list.
    QVERIFY(bob->nothingOf('o', 200));
}

void TestServer::uploadThenRequest_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("contents");
    QTest::addColumn<QString>("stored");

    QTest::newRow("plain") << QStringLiteral("notes.txt") << QByteArray("hello\nworld\n")
                           << QStringLiteral("notes.txt");
    QTest::newRow("windows path") << QStringLiteral("C:\\Users\\al\\notes.txt") << QByteArray("x")
                                  << QStringLiteral("notes.txt");
    QTest::newRow("separator and CJK inside")
        << QStringLiteral("/home/al/说明.md") << QByteArray("a") + sep() + u8(QStringLiteral("中文")) + sep()
        << QStringLiteral("说明.md");
    QTest::newRow("empty file") << QStringLiteral("empty.txt") << QByteArray() << QStringLiteral("empty.txt");
    QTest::newRow("largest file") << QStringLiteral("big.txt") << QByteArray(kMaxOutgoingFileSize, 'z')
                                  << QStringLiteral("big.txt");
}

void TestServer::uploadThenRequest()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, contents);
    QFETCH(QString, stored);
    startServer();
    registerUser(QStringLiteral("alice"));
    registerUser(QStringLiteral("bob"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    alice->send(fileMessage(path, contents));
    const QByteArray announcement =
        chatLine(answers::uploaded(QStringLiteral("alice"), stored, contents.size()));
    QVERIFY(bob->expect(announcement));
    QVERIFY(alice->expect(announcement));
    QFile file(QDir(filesDir()).filePath(stored));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), contents);

    // The same name again is stored under a numbered name, the first file untouched.
    alice->send(fileMessage(path, "second"));
    const QString second = numberedVariant(stored, 2);
    QVERIFY(bob->expect(chatLine(answers::uploaded(QStringLiteral("alice"), second, 6))));

    bob->send(fileRequest(stored));
    QCOMPARE(bob->take('f'), QByteArray("fs,") + u8(stored) + sep() + contents);
    bob->send(fileRequest(second));
    QCOMPARE(bob->take('f'), QByteArray("fs,") + u8(second) + sep() + "second");
}

void TestServer::imagesGoOutAsImages_data()
{
    QTest::addColumn<bool>("uploaded");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<QString>("sender");

    const QByteArray png =
        QByteArray::fromHex("89504e470d0a1a0a0000000d49484452000000010000000108060000001f15c489") +
        QByteArray("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    QTest::newRow("operator's png") << false << QStringLiteral("logo.png") << png << QByteArray("fsi")
                                    << answers::serverSender();
    QTest::newRow("png without suffix")
        << false << QStringLiteral("logo") << png << QByteArray("fsi") << answers::serverSender();
    QTest::newRow("uploaded gif text") << true << QStringLiteral("tiny.gif") << QByteArray("GIF89a text")
                                       << QByteArray("fsi") << QStringLiteral("alice");
    QTest::newRow("text named like an image")
        << true << QStringLiteral("fake.png") << QByteArray("just text") << QByteArray("fs,") << QString();
}

void TestServer::imagesGoOutAsImages()
{
    QFETCH(bool, uploaded);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, prefix);
    QFETCH(QString, sender);
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    if (uploaded) {
        alice->send(fileMessage(name, bytes));
        QVERIFY(alice->expect(chatLine(answers::uploaded(QStringLiteral("alice"), name, bytes.size()))));
    } else {
        QFile file(QDir(filesDir()).filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    alice->send(fileRequest(name));
    const QByteArray expected =
        prefix == "fsi" ? imageMessage(name, sender, bytes) : QByteArray("fs,") + u8(name) + sep() + bytes;
    QCOMPARE(alice->take('f'), expected);
}

void TestServer::hostileUploadNames_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("stored"); // empty: refused

    QTest::newRow("parent directories") << QStringLiteral("../../escape.txt") << QStringLiteral("escape.txt");
    QTest::newRow("absolute") << QStringLiteral("/etc/cron.d/job") << QStringLiteral("job");
    QTest::newRow("database name") << QStringLiteral("../tavrel.sqlite") << QStringLiteral("tavrel.sqlite");
    QTest::newRow("dot dot") << QStringLiteral("..") << QString();
    QTest::newRow("trailing slash") << QStringLiteral("dir/") << QString();
    QTest::newRow("device name") << QStringLiteral("CON.txt") << QString();
    QTest::newRow("markup") << QStringLiteral("<img src=x>.txt") << QString();
    QTest::newRow("control character") << QStringLiteral("a\tb.txt") << QString();
    QTest::newRow("longest name") << QString(193, QLatin1Char('n')) + QStringLiteral(".txt")
                                  << QString(193, QLatin1Char('n')) + QStringLiteral(".txt");
    QTest::newRow("too long by one byte")
        << QString(194, QLatin1Char('n')) + QStringLiteral(".txt") << QString();
}

void TestServer::hostileUploadNames()
{
    QFETCH(QString, path);
    QFETCH(QString, stored);
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    alice->send(fileMessage(path, "payload"));
    if (stored.isEmpty()) {
        QCOMPARE(alice->take('c'), chatLine(answers::uploadBadName()));
        QCOMPARE(QDir(filesDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden).size(),
                 0);
    } else {
        QCOMPARE(alice->take('c'), chatLine(answers::uploaded(QStringLiteral("alice"), stored, 7)));
        QCOMPARE(QDir(filesDir()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{stored});
    }
    // Nothing appeared beside the data folder's own entries.
    QStringList top = QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    top.removeIf([](const QString &n) { return n.startsWith(QLatin1String("tavrel")); });
    QCOMPARE(top, (QStringList{QStringLiteral("files"), QStringLiteral("outbox")}));
}

void TestServer::hostileRequests_data()
{
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("database by parent path")
        << QStringLiteral("../tavrel.sqlite")
        << chatLine(answers::noSuchFile(QStringLiteral("tavrel.sqlite")));
    QTest::newRow("absolute path") << QStringLiteral("/etc/passwd")
                                   << chatLine(answers::noSuchFile(QStringLiteral("passwd")));
    QTest::newRow("link out of the folder")
        << QStringLiteral("link.txt") << chatLine(answers::noSuchFile(QStringLiteral("link.txt")));
    QTest::newRow("folder inside") << QStringLiteral("sub")
                                   << chatLine(answers::noSuchFile(QStringLiteral("sub")));
    QTest::newRow("dot dot") << QStringLiteral("..") << chatLine(answers::requestBadName());
    QTest::newRow("empty") << QString() << chatLine(answers::requestBadName());
    QTest::newRow("separator in name") << QStringLiteral("a~+^`&b") << chatLine(answers::requestBadName());
    QTest::newRow("served by last component")
        << QStringLiteral("../files/ok.txt") << QByteArray("fs,ok.txt") + sep() + "fine";
}

void TestServer::hostileRequests()
{
    QFETCH(QString, requested);
    QFETCH(QByteArray, answer);
    startServer();
    QFile secret(m_dir->filePath(QStringLiteral("secret.txt")));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();
    QVERIFY(QFile::link(secret.fileName(), QDir(filesDir()).filePath(QStringLiteral("link.txt"))));
    QVERIFY(QDir(filesDir()).mkdir(QStringLiteral("sub")));
    QFile ok(QDir(filesDir()).filePath(QStringLiteral("ok.txt")));
    QVERIFY(ok.open(QIODevice::WriteOnly));
    ok.write("fine");
    ok.close();
    QFile odd(QDir(filesDir()).filePath(QStringLiteral("a~+^`&b")));
    QVERIFY(odd.open(QIODevice::WriteOnly));
    odd.close();

    registerUser(QStringLiteral("alice"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    alice->send(fileRequest(requested));
    QVERIFY(QTest::qWaitFor([&] { return !alice->inbox.isEmpty(); }, 5000));
    QCOMPARE(alice->inbox.value(0), answer);
}

void TestServer::oversizeShed_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("loggedIn");

    QTest::newRow("chat of 9000 bytes") << QByteArray("c,") + QByteArray(9000, 'a') << true;
    QTest::newRow("login of 9000 bytes") << QByteArray("l,") + QByteArray(9000, 'a') << false;
    QTest::newRow("registration of 9000 bytes") << QByteArray("r,") + QByteArray(9000, 'a') << false;
    QTest::newRow("file beyond its limit")
        << QByteArray("fs,a.txt") + sep() + QByteArray(kMaxOutgoingFileSize + 4200, 'a') << true;
    QTest::newRow("unknown kind") << QByteArray(9000, 'x') << false;
}

void TestServer::oversizeShed()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, loggedIn);
    startServer();
    TestClient *client = nullptr;
    TestClient *bystander = nullptr;
    if (loggedIn) {
        registerUser(QStringLiteral("alice"));
        registerUser(QStringLiteral("bob"));
        client = this->loggedIn(QStringLiteral("alice"));
        bystander = this->loggedIn(QStringLiteral("bob"));
    } else {
        client = connected();
    }
    client->send(message);
    QVERIFY(client->waitClosed());
    QTRY_COMPARE(m_server->sessionCount(), loggedIn ? 1 : 0);
    if (bystander) {
        QCOMPARE(bystander->take('o'), QByteArray("o,bob"));
        QVERIFY(bystander->nothingOf('c', 100));
    }
    QCOMPARE(QDir(filesDir()).entryList(QDir::Files).size(), 0);
}

void TestServer::floodShed()
{
    startServer();
    registerUser(QStringLiteral("alice"));
    registerUser(QStringLiteral("bob"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    // Bursts beyond the chat rate are refused, not relayed.
    for (int i = 0; i < 8; ++i)
        alice->send(chatMessage(QStringLiteral("m%1").arg(i)));
    QVERIFY(bob->expect("c,alice: m4"));
    QVERIFY(bob->nothingOf('c', 300));
    QVERIFY(alice->expect(chatLine(answers::slowDown())));
    QCOMPARE(alice->socket.state(), QAbstractSocket::ConnectedState);
    // A stream of messages of any kind, each on its own, closes the connection.
    for (int i = 0; i < 100 && alice->socket.state() == QAbstractSocket::ConnectedState; ++i) {
        alice->socket.write("x");
        QTest::qWait(kQuietGapMs + 10);
    }
    QVERIFY(alice->waitClosed(100));
    QCOMPARE(bob->take('o'), QByteArray("o,bob"));
}

void TestServer::slowReaderIsCutOff()
{
    startServer();
    QFile big(QDir(filesDir()).filePath(QStringLiteral("big.bin")));
    QVERIFY(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(4 * 1024 * 1024, 'b'));
    big.close();
    registerUser(QStringLiteral("slow"));
    registerUser(QStringLiteral("alice"));
    registerUser(QStringLiteral("bob"));
    TestClient *slow = loggedIn(QStringLiteral("slow"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    TestClient *bob = loggedIn(QStringLiteral("bob"));
    // Stop reading: the socket takes nothing more once its small buffer is full.
    slow->socket.setReadBufferSize(4096);
    QObject::disconnect(&slow->socket, &QTcpSocket::readyRead, nullptr, nullptr);
    for (int i = 0; i < 3; ++i)
        slow->send(fileRequest(QStringLiteral("big.bin")));
    QElapsedTimer sent;
    alice->send(chatMessage(QStringLiteral("still here")));
    sent.start();
    QVERIFY(bob->expect("c,alice: still here", 2000));
    QVERIFY2(sent.elapsed() < 1000, "a slow reader delayed the others");
    QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 2, 10000);
    QVERIFY(alice->expect("o,alice\nbob"));
}

void TestServer::connectionLimits()
{
    m_config.maxPerAddress = 2;
    m_config.loginIdleTimeoutMs = 400;
    startServer();
    registerUser(QStringLiteral("alice"));
    TestClient *alice = loggedIn(QStringLiteral("alice"));
    TestClient *idle = connected();
    TestClient *third = connected();
    QVERIFY(third->waitClosed(2000));
    // Talking without logging in does not keep a connection open.
    for (int i = 0; i < 20 && idle->socket.state() == QAbstractSocket::ConnectedState; ++i) {
        idle->socket.write("c,hello?");
        QTest::qWait(100);
    }
    QVERIFY(idle->waitClosed(100));
    QTest::qWait(500);
    QCOMPARE(alice->socket.state(), QAbstractSocket::ConnectedState);
    alice->send(chatMessage(QStringLiteral("hi")));
    QCOMPARE(alice->take('c'), QByteArray("c,alice: hi"));
}

void TestServer::processStopsOnSignal()
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_LOGGING_RULES"));
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TAVREL_SERVER_BINARY),
                  {QStringLiteral("--listen"), QStringLiteral("127.0.0.1"), QStringLiteral("--port"),
                   QStringLiteral("0"), QStringLiteral("--data"), m_dir->path(),
                   QStringLiteral("--pwhash-ops"), QStringLiteral("1"), QStringLiteral("--pwhash-mem"),
                   QStringLiteral("8192")});
    QVERIFY(process.waitForStarted());
    QByteArray log;
    const QRegularExpression listening(QStringLiteral("listening on \"?127\\.0\\.0\\.1\"? (\\d+)"));
    QRegularExpressionMatch match;
    QVERIFY(QTest::qWaitFor(
        [&] {
            log += process.readAll();
            match = listening.match(QString::fromUtf8(log));
            return match.hasMatch();
        },
        5000));
    TestClient client;
    QVERIFY(client.connectTo(quint16(match.captured(1).toUInt())));
    client.send(registration(QStringLiteral("eve"), QStringLiteral("eve@example.org"), QString(),
                             QStringLiteral("secret1")));
    QCOMPARE(client.take('r'), registrationAnswer(answers::codeSent(QStringLiteral("eve@example.org"), 10)));
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(client.waitClosed());
    // The lock is released: a second server may use the folder.
    startServer();
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
