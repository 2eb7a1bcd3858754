#include "chattext.h"
#include "names.h"
#include "serverfixture.h"
#include "sharedfiles.h"

#include <QDirIterator>
#include <QScopeGuard>
#include <QSemaphore>
#include <QSqlError>
#include <QSqlQuery>

#include <cerrno>
#include <unistd.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace tavrel::server::answers;
using namespace Qt::StringLiterals;

// What uploads hold: a line break and the separator inside, and CJK text.
const QByteArray kContents = "a\n" + tavrel::separator() + u"中文"_s.toUtf8() + tavrel::separator();
const QByteArray kPng = QByteArray::fromHex("89504e470d0a1a0a0000000d494844520000000100000001080600"
                                            "00001f15c4890000000049454e44ae426082");
// UTF-8 text that content sniffing takes for an image.
const QList<std::pair<QString, QByteArray>> kImageLikeText{
    {u"a.svg"_s, "<svg xmlns=\"http://www.w3.org/2000/svg\"><text>hi</text></svg>"},
    {u"a.xpm"_s, "/* XPM */\nstatic char *x[] = {\"1 1 1 1\", \"a c #000000\", \"a\"};\n"},
    {u"a.bmp"_s, "BM text that is no bitmap"},
};
// The first bytes of the raster formats an operator's image may have that the client's
// decoding rows leave out (GIF) or that the server checks further (BMP).
const QList<std::pair<QString, QByteArray>> kOperatorRasters{
    {u"p.gif"_s, QByteArray("GIF87a\x01\x00\x01\x00\x00\x00\x00;", 14)},
    {u"p.bmp"_s, "BM" + QByteArray(12, '\0') + QByteArray::fromHex("28000000") + QByteArray(36, '\0')},
};

class TestServer : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // What the server accepts as a user name at login ('n') or for a new account ('r'), or
    // as an e-mail address ('e') at registration.
    void validation_data()
    {
        QTest::addColumn<char>("what");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("name, 32 characters") << 'n' << QString(32, u'a') << true;
        QTest::newRow("name, 33 characters") << 'n' << QString(33, u'a') << false;
        QTest::newRow("name, empty") << 'n' << QString() << false;
        QTest::newRow("name, the server's") << 'n' << serverSender() << false;
        QTest::newRow("name, full-width colon") << 'n' << u"a："_s << false;
        QTest::newRow("name, line feed") << 'n' << u"a\nb"_s << false;
        QTest::newRow("name, separator") << 'n' << u"a~+^`&b"_s << false;
        QTest::newRow("name, right-to-left override") << 'n' << u"a\u202eb"_s << false;
        // An account of an older version may have one; it still logs in.
        QTest::newRow("name, Hangul filler") << 'n' << u"\u3164\u3164"_s << true;
        QTest::newRow("new name, latin") << 'r' << u"alice_1.b-c"_s << true;
        QTest::newRow("new name, latin and han") << 'r' << u"小明abc"_s << true;
        QTest::newRow("new name, hangul") << 'r' << u"한국어"_s << true;
        QTest::newRow("new name, accented") << 'r' << u"Émile"_s << true;
        // Whatever refuses a filler inside a name refuses a name of fillers alone.
        for (const char16_t filler : {u'\u3164', u'\u115f', u'\uffa0'})
            QTest::addRow("new name, filler U+%04X inside", unsigned(filler))
                << 'r' << u"a"_s + QChar(filler) + u"b"_s << false;
        QTest::newRow("new name, full-width") << 'r' << u"\uff3aoe"_s << false;
        QTest::newRow("new name, server with a digit one") << 'r' << u"服务器1"_s << true;
        QTest::newRow("email, usual") << 'e' << u"a.b+c@mail.example.org"_s << true;
        QTest::newRow("email, no at") << 'e' << u"a.example.org"_s << false;
        QTest::newRow("email, no domain dot") << 'e' << u"a@localhost"_s << false;
        QTest::newRow("email, angle bracket") << 'e' << u"a>@example.org"_s << false;
        QTest::newRow("email, non-ascii") << 'e' << u"张@example.org"_s << false;
        QTest::newRow("email, long local part") << 'e' << QString(65, u'a') + u"@example.org"_s << false;
    }
    void validation()
    {
        QFETCH(char, what);
        QFETCH(QString, text);
        QTEST(what == 'e'   ? isPlausibleEmail(text)
              : what == 'n' ? isValidUserName(text)
                            : newNameProblem(text) == NewNameProblem::NewNameOk,
              "valid");
    }

    void relayedChat_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("relayed");
        QTest::newRow("line feed") << u"hi\nbob: pw"_s << u"alice: hi\n  bob: pw"_s;
        QTest::newRow("CR LF once") << u"a\r\nb"_s << u"alice: a\n  b"_s;
        QTest::newRow("LF CR twice") << u"a\n\rb"_s << u"alice: a\n  \n  b"_s;
        QTest::newRow("lone CR") << u"a\rb"_s << u"alice: a\n  b"_s;
        QTest::newRow("breaks at both ends") << u"\nx\n"_s << u"alice: \n  x\n  "_s;
        QTest::newRow("indent kept") << u"a\n  b"_s << u"alice: a\n    b"_s;
        for (const char16_t c : {u'\v', u'\f', u'\u0085', u'\u2028', u'\u2029', u'\ufdd0', u'\ufdd1'})
            QTest::addRow("U+%04X", unsigned(c))
                << u"a"_s + QChar(c) + u"bob: x"_s << u"alice: a\n  bob: x"_s;
        QTest::newRow("tab stays") << u"a\tb"_s << u"alice: a\tb"_s;
        QTest::newRow("surrogate pair stays") << u"a\U0001F600"_s << u"alice: a\U0001F600"_s;
        // No reader splits a file or image message at a separator that a user wrote.
        QTest::newRow("separator") << u"fs,x~+^`&~+^`&"_s << u"alice: fs,x~+^`\uff06~+^`\uff06"_s;
        QTest::newRow("separator's parts stay") << u"~+^` & ~+^"_s << u"alice: ~+^` & ~+^"_s;
        // Nothing invisible turns a line around or hides what it holds.
        QTest::newRow("bidi controls")
            << u"\u202ea\u202bb\u202dc\u2066d\u2067e\u2068f\u2069g\u200eh\u200fi\u061cj"_s
            << u"alice: abcdefghij"_s;
        QTest::newRow("invisible format")
            << u"a\u200bb\ufeffc\u00add\u2060e\U000E0041f\u0007g\u007fh"_s << u"alice: abcdefgh"_s;
        QTest::newRow("joiners stay") << u"\U0001F469\u200d\U0001F4BB \u0645\u200c\u06cc"_s
                                      << u"alice: \U0001F469\u200d\U0001F4BB \u0645\u200c\u06cc"_s;
    }
    void relayedChat()
    {
        QFETCH(QString, text);
        QTEST(tavrel::server::relayedChat(u"alice"_s, text), "relayed");
    }

    // A chat message longer than a segment goes out in pieces that each start a line.
    void chatPieces_data()
    {
        QTest::addColumn<QString>("message");
        QTest::addColumn<int>("room");
        QTest::addColumn<QStringList>("pieces");
        QTest::newRow("fits") << u"c,alice: hi"_s << 11 << QStringList{u"c,alice: hi"_s};
        QTest::newRow("batch broken at line ends")
            << u"c,alice: aaaa\nbob: bbbb\ncarol: cc"_s << 20
            << QStringList{u"c,alice: aaaa"_s, u"c,bob: bbbb"_s, u"c,carol: cc"_s};
        QTest::newRow("line wrapped at a blank") << u"c,alice: one two three four"_s << 20
                                                 << QStringList{u"c,alice: one two "_s, u"c,  three four"_s};
        QTest::newRow("CJK wrapped between characters")
            << u"c,alice: 一二三四五六七八九十"_s << 20
            << QStringList{u"c,alice: 一二三"_s, u"c,  四五六七八"_s, u"c,  九十"_s};
        QStringList lines;
        for (int i = 0; i < 30; ++i)
            lines.append(u"load%1: @@%1.1.7161284468;the quick brown fox jumps over the lazy d"_s.arg(
                i, 3, 10, QChar(u'0')));
        // 20 lines fill 1401 bytes, 21 would fill 1471.
        QTest::newRow("batch of short lines")
            << u"c,"_s + lines.join(u'\n') << 1448
            << QStringList{u"c,"_s + lines.mid(0, 20).join(u'\n'), u"c,"_s + lines.mid(20).join(u'\n')};
        QTest::newRow("emoji kept whole")
            << u"c,alice: \U0001F600\U0001F600\U0001F600"_s << 14
            << QStringList{u"c,alice: \U0001F600"_s, u"c,  \U0001F600\U0001F600"_s};
    }
    void chatPieces()
    {
        QFETCH(QString, message);
        QFETCH(int, room);
        QByteArray rest = message.toUtf8();
        QStringList pieces;
        while (!rest.isEmpty() && pieces.size() < 10)
            pieces.append(QString::fromUtf8(takeChatPiece(rest, room)));
        QTEST(pieces, "pieces");
    }

    // The answer to a first registration or login, the user list after a login, and the mail
    // sent; user data in texts is written out here rather than built by the code under test.
    void firstAnswers_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("mailTo"); // empty: no mail
        const auto row = [](const char *tag, const QByteArray &message, const QString &answer) {
            QTest::newRow(tag) << message
                               << (message.startsWith('r') ? registrationReply(answer) : loginReply(answer))
                               << QString();
        };
        const QString mail = u"x@example.org"_s;
        row("look-alike of an account", reg(u"\u0440\u043e\u0440"_s, mail), nameLooksTaken());
        row("cyrillic a in an account's name", reg(u"\u0430lice"_s, mail), nameDeceptive());
        row("traditional server", reg(u"服務器"_s, mail), nameLooksTaken());
        row("blank in name", reg(u"a b"_s, mail), nameInvalid());
        row("header injection", reg(u"bob"_s, mail + u"\r\nBcc: y@example.org"_s), emailInvalid());
        row("not a digest", registrationMessage(u"bob"_s, mail, QString(), kPassword),
            registrationMalformed());
        row("missing field",
            "r,bob" + separator() + mail.toLatin1() + separator() + saltedDigest(kPassword).toLatin1(),
            registrationMalformed());
        for (const QString &address : {u"%2%1@Example.org"_s, u"%L1x@example.org"_s})
            QTest::addRow("address %s", qPrintable(address))
                << reg(u"bob"_s, address)
                << "r," + (u"服务器: 验证码已发送到"_s + address + u"，10分钟内有效"_s).toUtf8() << address;
        // Alone online: the list leaves out the account, however its name was typed.
        row("login, name in another case", login(u"ALICE"_s), loginOk());
        row("trailing field", login(u"alice"_s) + separator(), loginRefused());
    }
    void firstAnswers()
    {
        QFETCH(QByteArray, message);
        QFETCH(QByteArray, answer);
        QFETCH(QString, mailTo);
        f.startServer({u"alice"_s, u"pop"_s});
        TestClient *client = f.connected();
        QCOMPARE(client->answerTo(message), answer);
        const bool online = answer == loginReply(loginOk());
        QCOMPARE(client->take('o', online ? 5000 : 100), online ? QByteArray("o,") : QByteArray());
        const QFileInfoList mails = QDir(f.dataPath(u"outbox"_s)).entryInfoList({u"*.eml"_s});
        QCOMPARE(mails.size(), mailTo.isEmpty() ? 0 : 1);
        if (mailTo.isEmpty())
            return;
        const QByteArray mail = contents(mails.first().filePath());
        // Nothing the requester chose but the address goes out from the server's address.
        QVERIFY2(!mail.contains("bob") && mail.contains(u"你好："_s.toUtf8()), mail.constData());
        const QString head = u'\n' + QString::fromLatin1(mail.left(mail.indexOf("\r\n\r\n") + 2));
        // ASCII headers, each ended by CRLF: the subject is an encoded word.
        QVERIFY2(QRegularExpression(u"\\A\n([\\t\\x{20}-\\x{7e}]+\r\n)+\\z"_s).match(head).hasMatch(),
                 qPrintable(head));
        for (const QString &field : {u"To: <"_s + mailTo + u">\r"_s, u"From: "_s, u"Date: "_s,
                                     u"Subject: =?UTF-8?B?"_s, u"Message-ID: <"_s})
            QVERIFY2(head.contains(u'\n' + field), qPrintable(field));
    }

    // A database of the first schema keeps its data and loses its account lock; accounts
    // survive a restart, and no server file holds the digest, which is the credential.
    void upgradeAndRestart()
    {
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"first"_s);
            db.setDatabaseName(f.dataPath(u"tavrel.sqlite"_s));
            QVERIFY(db.open());
            const QString hash = QString::fromLatin1(storedHash());
            QSqlQuery query(db);
            for (const QString &statement :
                 {u"CREATE TABLE accounts (name TEXT PRIMARY KEY COLLATE NOCASE, email TEXT NOT NULL,"
                  " password_hash TEXT NOT NULL, created_ms INTEGER NOT NULL, failures INTEGER NOT NULL"
                  " DEFAULT 0, locked_until_ms INTEGER NOT NULL DEFAULT 0)"_s,
                  u"CREATE TABLE pending_codes (email TEXT PRIMARY KEY, code TEXT NOT NULL, issued_ms INTEGER"
                  " NOT NULL, expires_ms INTEGER NOT NULL, wrong_tries INTEGER NOT NULL DEFAULT 0)"_s,
                  u"CREATE TABLE uploads (stored_name TEXT PRIMARY KEY, uploader TEXT NOT NULL, size INTEGER"
                  " NOT NULL, sha256 TEXT NOT NULL, uploaded_ms INTEGER NOT NULL)"_s,
                  u"INSERT INTO accounts VALUES ('alice', 'alice@example.org', '"_s + hash + u"', 0, 4, 0)"_s,
                  u"INSERT INTO accounts VALUES ('bob', 'bob@example.org', '"_s + hash +
                      u"', 0, 0, 9999999999999)"_s,
                  u"INSERT INTO pending_codes VALUES ('carol@example.org', '123456', 0, 9999999999999, 0)"_s,
                  u"INSERT INTO uploads VALUES ('a.txt', 'alice', 7, '00', 0)"_s,
                  u"PRAGMA user_version = 1"_s})
                QVERIFY2(query.exec(statement), qPrintable(query.lastError().text()));
        }
        QSqlDatabase::removeDatabase(u"first"_s);
        f.startServer();
        f.loggedIn(u"alice"_s, u"bob"_s);
        TestClient *carol = f.connected();
        QCOMPARE(carol->answerTo(reg(u"carol"_s, u"carol@example.org"_s)),
                 registrationReply(codeSent(u"carol@example.org"_s, 10)));
        // The code is matched whatever the case of the address.
        QCOMPARE(carol->answerTo(reg(u"carol"_s, u"Carol@Example.ORG"_s, f.codeFor(u"carol@example.org"_s))),
                 registrationReply(registered()));
        f.server.reset();
        const QByteArray digest = saltedDigest(kPassword).toLatin1();
        for (QDirIterator it(f.dir->path(), QDir::Files, QDirIterator::Subdirectories); it.hasNext();) {
            const QByteArray bytes = contents(it.next());
            QVERIFY2(!bytes.contains(digest) && !bytes.contains(QByteArray::fromHex(digest)),
                     qPrintable(it.filePath()));
        }
        Store store(f.dataPath(u"tavrel.sqlite"_s));
        bool ok = false;
        QVERIFY(store.open());
        QCOMPARE(store.schemaVersion(), Store::currentSchemaVersion());
        QCOMPARE(store.uploadedBytes(u"alice"_s), qint64(7));
        QVERIFY(
            store.account(u"carol"_s, &ok).value_or(Store::Account()).passwordHash.startsWith("$argon2id$"));
        f.startServer();
        f.loggedIn(u"alice"_s, u"bob"_s, u"carol"_s);
    }

    // A second login of a name closes the first, which does not take the name off the list.
    // Each reader's list leaves out the reader.
    void chatAndLists()
    {
        f.startServer({u"alice"_s, u"bob"_s});
        TestClient *bob = f.loggedIn(u"bob"_s)[0];
        TestClient *guest = f.connected();
        TestClient *first = f.loggedIn(u"alice"_s)[0];
        QCOMPARE(bob->take('o'), QByteArray("o,alice"));
        QCOMPARE(first->answerTo(chatMessage(QString(kMaxChatLength + 1, u'中'))),
                 noticeMessage(chatTooLong(kMaxChatLength)));
        QVERIFY(bob->take('c', 100).isNull());
        TestClient *second = f.loggedIn(u"alice"_s)[0];
        QVERIFY(first->expect(noticeMessage(replaced())));
        QTRY_VERIFY(!first->isConnected());
        QCOMPARE(bob->take('o'), QByteArray("o,alice"));
        second->send(chatMessage(QString(kMaxChatLength, u'中')));
        QCOMPARE(bob->take('c'), "c,alice: " + QString(kMaxChatLength, u'中').toUtf8());
        QVERIFY(bob->take('o', 200).isNull());
        second->socket.disconnectFromHost();
        QCOMPARE(bob->take('o'), QByteArray("o,"));
        QVERIFY(guest->take('o', 0).isNull());
    }

    // Uploads are stored under their last path component and requests are served by it, out
    // of the folder never; hostile names are refused either way.
    void fileNames_data()
    {
        QTest::addColumn<QString>("path"); // alice uploads; null: nothing
        QTest::addColumn<QByteArray>("contents");
        QTest::addColumn<QString>("stored");  // the upload's name; empty: refused
        QTest::addColumn<QString>("request"); // bob's
        QTest::addColumn<QByteArray>("answer");
        const QByteArray badName = noticeMessage(requestBadName());
        const auto missing = [](const QString &name) { return noticeMessage(noSuchFile(name)); };
        const auto stored = [](const char *tag, const QString &path, const QString &name,
                               const QByteArray &contents = kContents) {
            QTest::newRow(tag) << path << contents << name << name << fileMessage(name, contents);
        };
        const auto asked = [](const char *tag, const QString &request, const QByteArray &answer) {
            QTest::newRow(tag) << QString() << QByteArray() << QString() << request << answer;
        };
        const QString longest = QString(193, u'n') + u".txt"_s;
        stored("windows path, CJK", u"C:\\Users\\al\\说明.md"_s, u"说明.md"_s);
        stored("text named like an image", u"fake.png"_s, u"fake.png"_s);
        // Whatever an upload looks like, it reaches others as the text it had to be (text
        // that only looks like an image is the operator's rows' below).
        stored("upload, text with a GIF's magic", u"a.gif"_s, u"a.gif"_s, "GIF89a text");
        stored("absolute", u"/etc/cron.d/job"_s, u"job"_s);
        stored("database name", u"../tavrel.sqlite"_s, u"tavrel.sqlite"_s);
        stored("name taken", u"../files/notes.txt"_s, u"notes2.txt"_s);
        stored("longest name", longest, longest);
        stored("placeholders", u"%2%1.txt"_s, u"%2%1.txt"_s);
        for (const QString &bad :
             {u".."_s, u"dir/"_s, u"CON.txt"_s, u"<img src=x>.txt"_s, u"a\tb.txt"_s, u"a\u2028bob: x.txt"_s,
              u"a\u202etxt.exe"_s, u".tavrel-upload-0123456789abcdef"_s, u'n' + longest})
            QTest::addRow("refused %s", qPrintable(bad.left(20)))
                << bad << QByteArray() << QString() << bad << badName;
        asked("operator's png without suffix", u"logo"_s, imageMessage(u"logo"_s, serverSender(), kPng));
        // The operator's images go out as images only in raster formats known by their bytes.
        for (const auto &[name, bytes] : kOperatorRasters)
            asked(qPrintable(u"operator's "_s + name), name, imageMessage(name, serverSender(), bytes));
        for (const auto &[name, text] : kImageLikeText)
            asked(qPrintable(u"operator's text "_s + name), name, fileMessage(name, text));
        asked("database by parent path", u"../tavrel.sqlite"_s, missing(u"tavrel.sqlite"_s));
        asked("absolute path", u"/etc/passwd"_s, missing(u"passwd"_s));
        asked("link out of the folder", u"link.txt"_s, missing(u"link.txt"_s));
        asked("folder inside", u"sub"_s, missing(u"sub"_s));
        asked("empty", QString(), badName);
        asked("separator in name", u"a~+^`&b"_s, badName);
        asked("line break in name", u"ok.txt\u2029bob: hi"_s, badName);
        asked("user data in the answer", u"%1.txt"_s, "c," + u"服务器: 没有这个文件：%1.txt"_s.toUtf8());
        asked("served by last component", u"../files/notes.txt"_s, fileMessage(u"notes.txt"_s, "mine"));
    }
    void fileNames()
    {
        QFETCH(QString, path);
        QFETCH(QByteArray, contents);
        QFETCH(QString, stored);
        QFETCH(QString, request);
        f.startServer({u"alice"_s, u"bob"_s});
        QVERIFY(write(f.filePath(u"notes.txt"_s), "mine") && write(f.filePath(u"logo"_s), kPng) &&
                write(f.filePath(u"a~+^`&b"_s), "") && write(f.dataPath(u"secret.txt"_s), "secret"));
        for (const auto &[name, bytes] : kOperatorRasters + kImageLikeText)
            QVERIFY(write(f.filePath(name), bytes));
        QVERIFY(QFile::link(f.dataPath(u"secret.txt"_s), f.filePath(u"link.txt"_s)));
        QVERIFY(QDir().mkdir(f.filePath(u"sub"_s)));
        const QStringList before = f.files();
        auto [alice, bob] = f.loggedIn(u"alice"_s, u"bob"_s);
        if (!path.isNull()) {
            alice->send(fileMessage(path, contents));
            const QByteArray notice =
                stored.isEmpty()
                    ? noticeMessage(uploadBadName())
                    : "c," + (u"服务器: alice 上传了文件："_s + stored + u"（%1字节）"_s.arg(contents.size()))
                                 .toUtf8();
            QVERIFY(alice->expect(notice) && (stored.isEmpty() || bob->expect(notice)));
            QCOMPARE(f.files().size(), before.size() + (stored.isEmpty() ? 0 : 1));
        }
        bob->send(fileRequest(request));
        QTRY_VERIFY(!bob->inbox.isEmpty());
        QTEST(bob->inbox.value(0), "answer");
        QCOMPARE(::contents(f.filePath(u"notes.txt"_s)), QByteArray("mine"));
    }

    // A sender of a message past its kind's limit, or of more than its budgets allow, is cut
    // off; a user looking on sees it leave and nothing else of it.
    void shed_data()
    {
        QTest::addColumn<QByteArray>("message"); // empty: a burst of chat, then a flood of bytes
        QTest::addColumn<bool>("member");        // sent by a logged-in user, with another looking on
        QTest::newRow("chat of 9000 bytes") << "c," + QByteArray(9000, 'a') << true;
        QTest::newRow("unknown kind") << QByteArray(9000, 'x') << false;
        QTest::newRow("file beyond its limit")
            << "fs,a.txt" + separator() + QByteArray(kMaxOutgoingFileSize + 4200, 'a') << true;
        QTest::newRow("flood") << QByteArray() << true;
    }
    void shed()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, member);
        f.startServer({u"alice"_s, u"bob"_s});
        auto [sender, bystander] =
            member ? f.loggedIn(u"alice"_s, u"bob"_s) : std::array<TestClient *, 2>{f.connected()};
        if (message.isEmpty()) {
            for (int i = 0; i < 8; ++i)
                sender->send(chatMessage(u"m%1"_s.arg(i)));
            // Five at once, and one more at most for the time the burst itself took.
            const QStringList lines = bystander->chatLines(300);
            QVERIFY2(lines.size() <= 6, qPrintable(lines.join(u' ')));
            QCOMPARE(lines.mid(0, 5), u"alice: m0|alice: m1|alice: m2|alice: m3|alice: m4"_s.split(u'|'));
            QVERIFY(sender->chatLines(0).contains(notice(slowDown())));
            QVERIFY(sender->isConnected());
            for (int i = 0; i < 100 && sender->isConnected(); ++i) {
                sender->socket.write("x");
                QTest::qWait(kQuietGapMs + 10);
            }
            QTRY_VERIFY_WITH_TIMEOUT(!sender->isConnected(), 100);
        } else {
            sender->send(message);
        }
        QTRY_VERIFY(!sender->isConnected());
        QTRY_COMPARE(f.server->sessionCount(), member ? 1 : 0);
        QVERIFY(!member || (bystander->take('o') == "o," && bystander->take('c', 100).isNull()));
        QCOMPARE(f.files().size(), 0);
    }

    void slowReaderIsCutOff()
    {
        f.config.maxQueuedBytes = 16 * 1024;
        f.startServer({u"slow"_s, u"alice"_s, u"bob"_s});
        QVERIFY(write(f.filePath(u"big.bin"_s), QByteArray(kMaxServedFile, 'b')));
        auto [slow, alice, bob] = f.loggedIn(u"slow"_s, u"alice"_s, u"bob"_s);
        slow->socket.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, 4096);
        slow->socket.setReadBufferSize(4096);
        QObject::disconnect(&slow->socket, &QTcpSocket::readyRead, nullptr, nullptr);
        slow->send(fileRequest(u"big.bin"_s));
        QTRY_VERIFY_WITH_TIMEOUT(slow->socket.bytesAvailable() > 0, 10000);
        QElapsedTimer sent;
        sent.start();
        for (int i = 0; i < 5; ++i)
            alice->send(chatMessage(QString(kMaxChatLength, QChar(0x4e00 + i))));
        QVERIFY(bob->expect("c,alice: " + QString(kMaxChatLength, QChar(0x4e04)).toUtf8(), 3000));
        QVERIFY2(sent.elapsed() < 2000, "a slow reader delayed the others");
        QTRY_COMPARE_WITH_TIMEOUT(f.server->sessionCount(), 2, 10000);
        QVERIFY(alice->expect("o,bob"));
    }

    // The caps, reached from the socket: a refused connection is closed, logging in and
    // closing give the slot back, and one that does not log in in time is closed, whether it
    // talks or registers meanwhile.
    void connectionLimits()
    {
        f.config.maxUnauthenticatedPerAddress = 1;
        f.config.loginTimeoutMs = 400;
        f.startServer({u"alice"_s});
        TestClient *alice = f.loggedIn(u"alice"_s)[0];
        TestClient *idle = f.connected(1);
        QCOMPARE(idle->answerTo("c,hello?"), noticeMessage(loginFirst()));
        // The cap refuses it at once; the login deadline would close it too, but without this.
        QTest::ignoreMessage(
            QtWarningMsg,
            QRegularExpression(u"refused: too many connections from its source that have not logged in$"_s));
        TestClient *refused = f.connected(1);
        QTRY_VERIFY_WITH_TIMEOUT(!refused->isConnected(), 2000);
        for (int i = 0; i < 20 && idle->isConnected(); ++i) {
            idle->send(i % 2 ? reg(u"x"_s, u"not an address"_s) : "c,hello?");
            QTest::qWait(50);
        }
        QTRY_VERIFY_WITH_TIMEOUT(!idle->isConnected(), 100);
        QCOMPARE(f.connected(1)->answerTo("c,hello?"), noticeMessage(loginFirst()));
        QVERIFY(alice->isConnected());
    }

    // Each cap by itself, over IPv6, where a host holds a whole /64 and its addresses share
    // one source's slots (loopback has no two addresses in one /64).
    void connectionCaps()
    {
        Config config;
        config.maxConnections = 6;
        config.maxPerAddress = 3;
        config.maxUnauthenticated = 4;
        config.maxUnauthenticatedPerAddress = 2;
        ConnectionCaps caps(config);
        using Refusal = ConnectionCaps::Refusal;
        const auto key = [](const QString &address) {
            return sourceKey(QHostAddress(u"2001:db8:"_s + address));
        };
        const auto admit = [&](const QString &address) { return caps.admit(key(address)); };
        QCOMPARE(admit(u"1:2::1"_s), Refusal::None);
        QCOMPARE(admit(u"1:2:a:b:c:d"_s), Refusal::None);
        QCOMPARE(admit(u"1:2::3"_s), Refusal::SourceUnauthenticatedFull);
        caps.loggedIn(key(u"1:2::1"_s));
        QCOMPARE(admit(u"1:2::3"_s), Refusal::None);
        QCOMPARE(admit(u"1:2::4"_s), Refusal::SourceFull);
        QCOMPARE(admit(u"1:3::1"_s), Refusal::None);
        QCOMPARE(admit(u"1:4::1"_s), Refusal::None);
        QCOMPARE(admit(u"1:5::1"_s), Refusal::UnauthenticatedFull);
        caps.closed(key(u"1:2::1"_s), false);
        QCOMPARE(admit(u"1:5::1"_s), Refusal::None);
        caps.loggedIn(key(u"1:5::1"_s));
        QCOMPARE(admit(u"1:6::1"_s), Refusal::None);
        caps.loggedIn(key(u"1:6::1"_s));
        QCOMPARE(admit(u"1:7::1"_s), Refusal::Full);
    }

    // Past the free disk, or when writing fails, an upload is refused and leaves nothing
    // behind. An upload is seen nowhere until written whole, the writer stalling halfway
    // meanwhile; past the quota, which is the uploader's own, the next one is refused too.
    void uploadRefusals_data()
    {
        QTest::addColumn<qint64>("minFree");
        QTest::addColumn<int>("error"); // errno the writer fails with after half; 0: none; -1: it stalls
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("free disk below the limit")
            << std::numeric_limits<qint64>::max() << 0 << noticeMessage(uploadDiskFull());
        QTest::newRow("disk fills while writing") << qint64(0) << ENOSPC << noticeMessage(uploadDiskFull());
        QTest::newRow("write fails") << qint64(0) << EIO << noticeMessage(uploadFailed());
        QTest::newRow("quota used by a stalled upload")
            << qint64(0) << -1 << noticeMessage(uploadQuotaExceeded(kMaxOutgoingFileSize + 9));
    }
    void uploadRefusals()
    {
        QFETCH(qint64, minFree);
        QFETCH(int, error);
        QSemaphore halfway, resume;
        f.config.minFreeBytes = minFree;
        f.config.minFreePercent = 0;
        f.config.uploadQuotaBytes = kMaxOutgoingFileSize + 9;
        f.config.fileWriter = [&, error](int fd, const char *data, qint64 size) -> qint64 {
            if (error > 0 && size <= 1) {
                errno = error;
                return -1;
            }
            const qint64 half = ::write(fd, data, size_t(std::max<qint64>(1, size / 2)));
            if (error < 0 && half < size) {
                halfway.release();
                resume.acquire();
            }
            return half;
        };
        f.startServer({u"alice"_s, u"bob"_s});
        auto [alice, bob] = f.loggedIn(u"alice"_s, u"bob"_s);
        const QByteArray contents(kMaxOutgoingFileSize, 'x');
        if (error < 0) {
            alice->send(fileMessage(u"big.txt"_s, contents));
            QVERIFY(QTest::qWaitFor([&] { return halfway.tryAcquire(); }, 5000));
            QCOMPARE(f.files(), QStringList());
            QCOMPARE(bob->answerTo(fileRequest(u"big.txt"_s), 'c'), noticeMessage(noSuchFile(u"big.txt"_s)));
            resume.release(1000);
            const QByteArray stored = noticeMessage(uploaded(u"alice"_s, u"big.txt"_s, contents.size()));
            QVERIFY(alice->expect(stored) && bob->expect(stored));
            QCOMPARE(::contents(f.filePath(u"big.txt"_s)), contents);
        }
        QTEST(alice->answerTo(fileMessage(u"two.txt"_s, "1234567890"), 'c'), "answer");
        QVERIFY(bob->take('c', 200).isNull());
        QCOMPARE(f.files(), error < 0 ? QStringList{u"big.txt"_s} : QStringList());
        if (error >= 0)
            return;
        bob->send(fileMessage(u"bob.txt"_s, "1234"));
        QVERIFY(bob->expect(noticeMessage(uploaded(u"bob"_s, u"bob.txt"_s, 4))));
    }

    // Account and file work queue apart, each up to its bound, past which the answer is "busy".
    void queuesBoundedAndApart()
    {
        auto stall = std::make_shared<std::atomic<bool>>(false);
        auto release = std::make_shared<QSemaphore>();
        auto stalled = std::make_shared<QSemaphore>();
        f.config.maxAccountJobs = 1;
        f.config.maxFileJobs = 1;
        f.config.clock = [stall, release, stalled] {
            if (stall->exchange(false)) {
                stalled->release();
                release->acquire();
            }
            return QDateTime::currentMSecsSinceEpoch();
        };
        const auto unblock = qScopeGuard([release] { release->release(100); });
        f.startServer({u"alice"_s, u"bob"_s, u"carol"_s});
        QVERIFY(write(f.filePath(u"f.txt"_s), "file"));
        // One at a time: the account queue holds one job.
        TestClient *alice = f.loggedIn(u"alice"_s)[0];
        TestClient *bob = f.loggedIn(u"bob"_s)[0];
        TestClient *carol = f.connected();
        TestClient *dave = f.connected();
        stall->store(true);
        carol->send(login(u"carol"_s));
        QVERIFY(QTest::qWaitFor([&] { return stalled->tryAcquire(); }, 5000));
        QCOMPARE(dave->answerTo(login(u"carol"_s)), loginReply(serverBusy()));
        QCOMPARE(dave->answerTo(reg(u"dave"_s, u"dave@example.org"_s)), registrationReply(serverBusy()));
        QCOMPARE(bob->answerTo(fileRequest(u"f.txt"_s)), fileMessage(u"f.txt"_s, "file"));
        release->release();
        QCOMPARE(carol->take('l'), loginReply(loginOk()));
        stall->store(true);
        alice->send(fileMessage(u"a.txt"_s, "a"));
        QVERIFY(QTest::qWaitFor([&] { return stalled->tryAcquire(); }, 5000));
        QCOMPARE(bob->answerTo(fileMessage(u"b.txt"_s, "b"), 'c'), noticeMessage(serverBusy()));
        QCOMPARE(dave->answerTo(login(u"carol"_s)), loginReply(loginOk()));
        release->release();
        QVERIFY(alice->expect(noticeMessage(uploaded(u"alice"_s, u"a.txt"_s, 1))));
    }
};

QTEST_GUILESS_MAIN(TestServer)
#include "tst_server.moc"
