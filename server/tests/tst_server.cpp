#include "answers.h"
#include "config.h"
#include "digest.h"
#include "protocol.h"
#include "server.h"
#include "store.h"
#include "testclient.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>

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

QStringList entries(const QString &dir)
{
    QStringList names = QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
    names.sort();
    return names;
}

} // namespace

class TestServer : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registration();
    void registrationRefusals_data();
    void registrationRefusals();
    void wrongCodeLimit();
    void loginAnswers_data();
    void loginAnswers();
    void lockout();
    void chatFlowsWhileHashing();
    void restartKeepsAccountsButNoDigest();
    void chatReachesLoggedInOnly();
    void userListOnJoinAndLeave();
    void secondLoginReplacesFirst();
    void uploadThenRequest_data();
    void uploadThenRequest();
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
    // Starts the server with these accounts (password kPassword) already in its database.
    void startServer(const QStringList &accounts = {});
    TestClient *connected(quint16 port = 0);
    // Registers over the wire, reading the code from the outbox.
    void registerUser(TestClient *client, const QString &name, const QString &email);
    QString codeFor(const QString &email);
    // Logs everyone in at once and waits until each has the user list of all logged in.
    QList<TestClient *> loggedIn(const QStringList &names);
    QString dataPath(const QString &name) const { return m_dir->filePath(name); }
    QString filePath(const QString &name) const { return m_dir->filePath(u"files/"_s + name); }

    Config m_config;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<Server> m_server;
    QStringList m_seenMails;
    QStringList m_online;
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
}

void TestServer::cleanup()
{
    qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
    m_server.reset();
    m_dir.reset();
    m_seenMails.clear();
    m_online.clear();
}

void TestServer::startServer(const QStringList &accounts)
{
    m_server = std::make_unique<Server>(m_config);
    QVERIFY(m_server->start());
    Store store(dataPath(u"tavrel.sqlite"_s));
    QVERIFY(store.open());
    const QByteArray digest = saltedDigest(kPassword).toLatin1();
    for (const QString &name : accounts) {
        char hash[crypto_pwhash_STRBYTES];
        QCOMPARE(crypto_pwhash_str(hash, digest.constData(), quint64(digest.size()), m_config.pwhashOps,
                                   m_config.pwhashMem),
                 0);
        QVERIFY(store.insertAccount(name, name + u"@example.org"_s, hash, 0));
    }
}

TestClient *TestServer::connected(quint16 port)
{
    auto *client = new TestClient(this);
    if (!client->connectTo(port ? port : m_server->port()))
        qWarning("cannot connect to the server");
    return client;
}

void TestServer::registerUser(TestClient *client, const QString &name, const QString &email)
{
    client->send(reg(name, email));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(email, 10)));
    const QString code = codeFor(email);
    QCOMPARE(code.size(), 6);
    // The address is matched without regard to case.
    client->send(reg(name, email.toUpper(), code));
    QCOMPARE(client->take('r'), registrationAnswer(answers::registered()));
}

QString TestServer::codeFor(const QString &email)
{
    const QDir outbox(dataPath(u"outbox"_s));
    for (const QString &name : outbox.entryList({u"*.eml"_s}, QDir::Files, QDir::Name)) {
        const QString mail = QString::fromUtf8(readFile(outbox.filePath(name)));
        if (m_seenMails.contains(name) || !mail.contains(u"\r\nTo: <%1>\r\n"_s.arg(email)))
            continue;
        m_seenMails.append(name);
        return QRegularExpression(u"^验证码：(\\d{6})\r$"_s, QRegularExpression::MultilineOption)
            .match(mail)
            .captured(1);
    }
    return QString();
}

QList<TestClient *> TestServer::loggedIn(const QStringList &names)
{
    QList<TestClient *> clients;
    for (const QString &name : names) {
        clients.append(connected());
        clients.last()->send(login(name));
        if (!m_online.contains(name))
            m_online.append(name);
    }
    m_online.sort(Qt::CaseInsensitive);
    for (TestClient *client : std::as_const(clients)) {
        if (client->take('l') != loginAnswer(answers::loginOk()) || !client->expect(userList(m_online)))
            qWarning() << "a login of" << names << "failed";
    }
    return clients;
}

void TestServer::registration()
{
    startServer();
    TestClient *client = connected();
    registerUser(client, u"alice"_s, u"Alice@Example.org"_s);
    const QDir outbox(dataPath(u"outbox"_s));
    const QByteArray mail = readFile(outbox.filePath(outbox.entryList({u"*.eml"_s}).value(0)));
    const QStringList headers = QString::fromLatin1(mail.left(mail.indexOf("\r\n\r\n"))).split(u"\r\n"_s);
    // CRLF line ends only, and ASCII headers: the subject is an encoded word.
    for (const QString &header : headers)
        QVERIFY2(!header.contains(QRegularExpression(u"[^\\t\\x{20}-\\x{7e}]"_s)), qPrintable(header));
    const QString joined = u'\n' + headers.join(u'\n') + u'\n';
    for (const char *field :
         {"\nTo: <Alice@Example.org>\n", "\nFrom: ", "\nDate: ", "\nSubject: =?UTF-8?B?", "\nMessage-ID: <"})
        QVERIFY2(joined.contains(QLatin1String(field)), field);

    client->send(login(u"alice"_s));
    QCOMPARE(client->take('l'), u"l,登录成功"_s.toUtf8());
    QCOMPARE(client->take('o'), QByteArray("o,alice"));
    // Names that differ only in case are the same name; no code goes out for a taken one.
    TestClient *other = connected();
    other->send(reg(u"ALICE"_s, u"other@example.org"_s));
    QCOMPARE(other->take('r'), registrationAnswer(answers::nameTaken()));
    QVERIFY(codeFor(u"other@example.org"_s).isEmpty());
}

void TestServer::registrationRefusals_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("answer");

    const QString mail = u"x@example.org"_s;
    QTest::newRow("blank in name") << reg(u"a b"_s, mail) << answers::nameInvalid();
    QTest::newRow("server's name") << reg(answers::serverSender(), mail) << answers::nameInvalid();
    QTest::newRow("header injection")
        << reg(u"bob"_s, mail + u"\r\nBcc: all@example.org"_s) << answers::emailInvalid();
    QTest::newRow("missing field") << "r,bob" + separator() + mail.toUtf8() + separator() +
                                          saltedDigest(kPassword).toUtf8()
                                   << answers::registrationMalformed();
    QTest::newRow("not a digest") << registrationMessage(u"bob"_s, mail, QString(), kPassword)
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
    QVERIFY(QDir(dataPath(u"outbox"_s)).isEmpty());
}

void TestServer::wrongCodeLimit()
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

void TestServer::loginAnswers_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QString>("online"); // empty: refused

    const QString digest = saltedDigest(kPassword);
    QTest::newRow("right password") << login(u"alice"_s) << u"alice"_s;
    QTest::newRow("name in another case") << login(u"ALICE"_s) << u"alice"_s;
    QTest::newRow("Chinese name") << login(u"小明"_s) << u"小明"_s;
    QTest::newRow("wrong password") << login(u"alice"_s, u"secret2"_s) << QString();
    QTest::newRow("unknown name") << login(u"zed"_s) << QString();
    QTest::newRow("password instead of digest") << loginMessage(u"alice"_s, kPassword) << QString();
    QTest::newRow("uppercase digest") << loginMessage(u"alice"_s, digest.toUpper()) << QString();
    QTest::newRow("trailing field") << login(u"alice"_s) + separator() << QString();
}

void TestServer::loginAnswers()
{
    QFETCH(QByteArray, message);
    QFETCH(QString, online);
    startServer({u"alice"_s, u"小明"_s});
    TestClient *client = connected();
    client->send(message);
    QCOMPARE(client->take('l'), loginAnswer(online.isEmpty() ? answers::loginRefused() : answers::loginOk()));
    if (online.isEmpty())
        QVERIFY(client->nothingOf('o', 100));
    else
        QCOMPARE(client->take('o'), userList({online}));
}

void TestServer::lockout()
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
    QVERIFY(answers(u"guess"_s, answers::loginRefused()));
    QVERIFY(answers(u"guess"_s, answers::loginRefused()));
    QVERIFY(answers(kPassword, answers::loginOk()));
    for (int i = 0; i < 3; ++i)
        QVERIFY(answers(u"guess"_s, answers::loginRefused()));
    QVERIFY(answers(kPassword, answers::loginLocked(1)));
    QTest::qWait(1100);
    QVERIFY(answers(kPassword, answers::loginOk()));
}

void TestServer::chatFlowsWhileHashing()
{
    // Costly hashes on one worker: three logins take several hash times in a row.
    m_config.pwhashOps = 3;
    m_config.pwhashMem = 32 * 1024 * 1024;
    m_config.workerThreads = 1;
    startServer({u"alice"_s});
    TestClient *alice = loggedIn({u"alice"_s}).value(0);
    QList<TestClient *> others;
    for (int i = 0; i < 3; ++i) {
        others.append(connected());
        others.last()->send(login(u"alice"_s, u"guess"_s));
    }
    alice->send(chatMessage(u"meanwhile"_s));
    QVERIFY(alice->expect("c,alice: meanwhile"));
    qsizetype answered = 0;
    for (TestClient *other : std::as_const(others))
        answered += other->inbox.size();
    QVERIFY2(answered < 3, "the chat line waited for the password hashes");
    for (TestClient *other : std::as_const(others))
        QCOMPARE(other->take('l'), loginAnswer(answers::loginRefused()));
}

void TestServer::restartKeepsAccountsButNoDigest()
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
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"check"_s);
        db.setDatabaseName(dataPath(u"tavrel.sqlite"_s));
        QVERIFY(db.open());
        QSqlQuery query(u"SELECT password_hash, (SELECT user_version FROM pragma_user_version), "
                        "(SELECT journal_mode FROM pragma_journal_mode) FROM accounts"_s,
                        db);
        QVERIFY(query.next());
        QVERIFY(query.value(0).toString().startsWith(u"$argon2id$"_s));
        QCOMPARE(query.value(1).toInt(), 1);
        QCOMPARE(query.value(2).toString(), u"wal"_s);
    }
    QSqlDatabase::removeDatabase(u"check"_s);

    startServer();
    client = connected();
    client->send(login(u"alice"_s));
    QCOMPARE(client->take('l'), loginAnswer(answers::loginOk()));
}

void TestServer::chatReachesLoggedInOnly()
{
    startServer({u"alice"_s, u"bob"_s});
    const QList<TestClient *> users = loggedIn({u"alice"_s, u"bob"_s});
    TestClient *guest = connected();
    users[0]->send(chatMessage(u"你好 <b>bob</b>"_s));
    for (TestClient *user : users)
        QCOMPARE(user->take('c'), chatLine(u"alice: 你好 <b>bob</b>"_s));
    guest->send(chatMessage(u"let me in"_s));
    QCOMPARE(guest->take('c'), chatLine(answers::loginFirst()));
    QVERIFY(guest->nothingOf('c', 100));
    for (TestClient *user : users)
        QVERIFY(user->nothingOf('c', 0));
    // Too long is refused and reaches nobody; the longest allowed goes through.
    users[0]->send(chatMessage(QString(kMaxChatLength + 1, u'中')));
    QCOMPARE(users[0]->take('c'), chatLine(answers::chatTooLong(kMaxChatLength)));
    users[0]->send(chatMessage(QString(kMaxChatLength, u'中')));
    QCOMPARE(users[1]->take('c'), chatLine(u"alice: "_s + QString(kMaxChatLength, u'中')));
}

void TestServer::userListOnJoinAndLeave()
{
    startServer({u"alice"_s, u"bob"_s});
    TestClient *bob = loggedIn({u"bob"_s}).value(0);
    TestClient *guest = connected();
    TestClient *alice = loggedIn({u"alice"_s}).value(0); // sees "alice\nbob"
    QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
    alice->socket.disconnectFromHost();
    QCOMPARE(bob->take('o'), QByteArray("o,bob"));
    QVERIFY(guest->nothingOf('o', 0));
}

void TestServer::secondLoginReplacesFirst()
{
    startServer({u"alice"_s, u"bob"_s});
    const QList<TestClient *> users = loggedIn({u"alice"_s, u"bob"_s});
    TestClient *first = users[0], *bob = users[1];
    TestClient *second = loggedIn({u"alice"_s}).value(0);
    QVERIFY(first->expect(chatLine(answers::replaced())));
    QVERIFY(first->waitClosed());
    QCOMPARE(bob->take('o'), QByteArray("o,alice\nbob"));
    second->send(chatMessage(u"moved"_s));
    QVERIFY(bob->expect("c,alice: moved"));
    QVERIFY(second->expect("c,alice: moved"));
    // The closed first session does not take alice off the list.
    QVERIFY(bob->nothingOf('o', 200));
}

void TestServer::uploadThenRequest_data()
{
    QTest::addColumn<QString>("path"); // empty: put there by the operator
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("sender"); // of an image; empty: sent as a plain file

    const QByteArray png = QByteArray::fromHex("89504e470d0a1a0a0000000d4948445200000001000000010806000000"
                                               "1f15c4890000000049454e44ae426082");
    const QByteArray mixed = "a\n" + separator() + u"中文"_s.toUtf8() + separator();
    QTest::newRow("windows path, CJK") << u"C:\\Users\\al\\说明.md"_s << u"说明.md"_s << mixed << QString();
    QTest::newRow("empty file") << u"empty.txt"_s << u"empty.txt"_s << QByteArray() << QString();
    QTest::newRow("largest file") << u"big.txt"_s << u"big.txt"_s << QByteArray(kMaxOutgoingFileSize, 'z')
                                  << QString();
    QTest::newRow("uploaded gif text")
        << u"tiny.gif"_s << u"tiny.gif"_s << QByteArray("GIF89a text") << u"alice"_s;
    QTest::newRow("text named like an image")
        << u"fake.png"_s << u"fake.png"_s << QByteArray("just text") << QString();
    QTest::newRow("operator's png") << QString() << u"logo.png"_s << png << answers::serverSender();
    QTest::newRow("png without suffix") << QString() << u"logo"_s << png << answers::serverSender();
}

void TestServer::uploadThenRequest()
{
    QFETCH(QString, path);
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, sender);
    startServer({u"alice"_s, u"bob"_s});
    const QList<TestClient *> users = loggedIn({u"alice"_s, u"bob"_s});
    if (path.isEmpty()) {
        QVERIFY(writeFile(filePath(name), bytes));
    } else {
        users[0]->send(fileMessage(path, bytes));
        for (TestClient *user : users)
            QVERIFY(user->expect(chatLine(answers::uploaded(u"alice"_s, name, bytes.size()))));
        QCOMPARE(readFile(filePath(name)), bytes);
    }
    users[1]->send(fileRequest(name));
    QCOMPARE(users[1]->take('f'),
             sender.isEmpty() ? fileMessage(name, bytes) : imageMessage(name, sender, bytes));
}

void TestServer::hostileUploadNames_data()
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

void TestServer::hostileUploadNames()
{
    QFETCH(QString, path);
    QFETCH(QString, stored);
    startServer({u"alice"_s});
    QVERIFY(writeFile(filePath(u"notes.txt"_s), "mine"));
    TestClient *alice = loggedIn({u"alice"_s}).value(0);
    alice->send(fileMessage(path, "payload"));
    QCOMPARE(alice->take('c'), chatLine(stored.isEmpty() ? answers::uploadBadName()
                                                         : answers::uploaded(u"alice"_s, stored, 7)));
    QStringList expected{u"notes.txt"_s, stored};
    expected.removeAll(QString());
    expected.sort();
    QCOMPARE(entries(dataPath(u"files"_s)), expected);
    QCOMPARE(readFile(filePath(u"notes.txt"_s)), QByteArray("mine"));
}

void TestServer::hostileRequests_data()
{
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QByteArray>("answer");

    QTest::newRow("database by parent path")
        << u"../tavrel.sqlite"_s << chatLine(answers::noSuchFile(u"tavrel.sqlite"_s));
    QTest::newRow("absolute path") << u"/etc/passwd"_s << chatLine(answers::noSuchFile(u"passwd"_s));
    QTest::newRow("link out of the folder") << u"link.txt"_s << chatLine(answers::noSuchFile(u"link.txt"_s));
    QTest::newRow("folder inside") << u"sub"_s << chatLine(answers::noSuchFile(u"sub"_s));
    QTest::newRow("dot dot") << u".."_s << chatLine(answers::requestBadName());
    QTest::newRow("empty") << QString() << chatLine(answers::requestBadName());
    QTest::newRow("separator in name") << u"a~+^`&b"_s << chatLine(answers::requestBadName());
    QTest::newRow("served by last component") << u"../files/ok.txt"_s << fileMessage(u"ok.txt"_s, "fine");
}

void TestServer::hostileRequests()
{
    QFETCH(QString, requested);
    QFETCH(QByteArray, answer);
    startServer({u"alice"_s});
    QVERIFY(writeFile(dataPath(u"secret.txt"_s), "secret"));
    QVERIFY(QFile::link(dataPath(u"secret.txt"_s), filePath(u"link.txt"_s)));
    QVERIFY(QDir().mkdir(filePath(u"sub"_s)));
    QVERIFY(writeFile(filePath(u"ok.txt"_s), "fine") && writeFile(filePath(u"a~+^`&b"_s), ""));
    TestClient *alice = loggedIn({u"alice"_s}).value(0);
    alice->send(fileRequest(requested));
    QVERIFY(QTest::qWaitFor([&] { return !alice->inbox.isEmpty(); }, 5000));
    QCOMPARE(alice->inbox.value(0), answer);
}

void TestServer::oversizeShed_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("member"); // sent by a logged-in user

    QTest::newRow("chat of 9000 bytes") << "c," + QByteArray(9000, 'a') << true;
    QTest::newRow("login of 9000 bytes") << "l," + QByteArray(9000, 'a') << false;
    QTest::newRow("unknown kind") << QByteArray(9000, 'x') << false;
    QTest::newRow("file beyond its limit")
        << "fs,a.txt" + separator() + QByteArray(kMaxOutgoingFileSize + 4200, 'a') << true;
}

void TestServer::oversizeShed()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, member);
    startServer({u"alice"_s, u"bob"_s});
    const QList<TestClient *> users = member ? loggedIn({u"alice"_s, u"bob"_s}) : QList{connected()};
    users[0]->send(message);
    QVERIFY(users[0]->waitClosed());
    QTRY_COMPARE(m_server->sessionCount(), int(users.size()) - 1);
    if (member) {
        // The bystander sees the sender leave, and nothing of what it sent.
        QCOMPARE(users[1]->take('o'), QByteArray("o,bob"));
        QVERIFY(users[1]->nothingOf('c', 100));
    }
    QCOMPARE(entries(dataPath(u"files"_s)), QStringList());
}

void TestServer::floodShed()
{
    startServer({u"alice"_s, u"bob"_s});
    const QList<TestClient *> users = loggedIn({u"alice"_s, u"bob"_s});
    TestClient *alice = users[0], *bob = users[1];
    // Bursts beyond the chat rate are refused, not relayed.
    QStringList relayed;
    for (int i = 0; i < 8; ++i) {
        alice->send(chatMessage(u"m%1"_s.arg(i)));
        relayed.append(u"alice: m%1"_s.arg(i));
    }
    QCOMPARE(bob->chatLines(300), relayed.mid(0, 5));
    QVERIFY(alice->chatLines(0).contains(answers::slowDown()));
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
    startServer({u"slow"_s, u"alice"_s, u"bob"_s});
    QVERIFY(writeFile(filePath(u"big.bin"_s), QByteArray(4 * 1024 * 1024, 'b')));
    const QList<TestClient *> users = loggedIn({u"slow"_s, u"alice"_s, u"bob"_s});
    // Stop reading: the socket takes nothing more once its small buffer is full.
    users[0]->socket.setReadBufferSize(4096);
    QObject::disconnect(&users[0]->socket, &QTcpSocket::readyRead, nullptr, nullptr);
    for (int i = 0; i < 2; ++i)
        users[0]->send(fileRequest(u"big.bin"_s));
    QElapsedTimer sent;
    users[1]->send(chatMessage(u"still here"_s));
    sent.start();
    QVERIFY(users[2]->expect("c,alice: still here", 2000));
    QVERIFY2(sent.elapsed() < 1000, "a slow reader delayed the others");
    QTRY_COMPARE_WITH_TIMEOUT(m_server->sessionCount(), 2, 10000);
    QVERIFY(users[1]->expect("o,alice\nbob"));
}

void TestServer::connectionLimits()
{
    m_config.maxPerAddress = 2;
    m_config.loginIdleTimeoutMs = 400;
    startServer({u"alice"_s});
    TestClient *alice = loggedIn({u"alice"_s}).value(0);
    TestClient *idle = connected();
    QVERIFY(connected()->waitClosed(2000));
    // Talking without logging in does not keep a connection open.
    for (int i = 0; i < 20 && idle->socket.state() == QAbstractSocket::ConnectedState; ++i) {
        idle->socket.write("c,hello?");
        QTest::qWait(100);
    }
    QVERIFY(idle->waitClosed(100));
    // alice's wait for a login would have ended before idle's: she connected first.
    QTest::qWait(100);
    QCOMPARE(alice->socket.state(), QAbstractSocket::ConnectedState);
}

void TestServer::processStopsOnSignal()
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(u"QT_LOGGING_RULES"_s);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(TAVREL_SERVER_BINARY),
                  u"--listen 127.0.0.1 --port 0 --pwhash-ops 1 --pwhash-mem 8192 --data"_s.split(u' ')
                      << m_dir->path());
    const QRegularExpression listening(u"listening on \"?127\\.0\\.0\\.1\"? (\\d+)"_s);
    QString log;
    QVERIFY(QTest::qWaitFor(
        [&] { return listening.match(log += QString::fromUtf8(process.readAll())).hasMatch(); }, 5000));
    TestClient *client = connected(quint16(listening.match(log).captured(1).toUInt()));
    client->send(reg(u"eve"_s, u"eve@example.org"_s));
    QCOMPARE(client->take('r'), registrationAnswer(answers::codeSent(u"eve@example.org"_s, 10)));
    process.terminate();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    QVERIFY(client->waitClosed());
    // The lock is released, and the code sent before the stop still registers.
    startServer();
    client = connected();
    client->send(reg(u"eve"_s, u"eve@example.org"_s, codeFor(u"eve@example.org"_s)));
    QCOMPARE(client->take('r'), registrationAnswer(answers::registered()));
}

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
