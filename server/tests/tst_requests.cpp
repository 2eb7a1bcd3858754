#include "answers.h"
#include "display.h"
#include "validation.h"

#include <QTest>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

// What the server accepts as a user name or an e-mail address at registration, and the
// form in which it relays user text.
class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void validation_data()
    {
        QTest::addColumn<bool>("email"); // false: a user name
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("valid");
        QTest::newRow("name, latin") << false << u"alice_1.b-c"_s << true;
        QTest::newRow("name, chinese") << false << u"小明"_s << true;
        QTest::newRow("name, 32 characters") << false << QString(32, u'a') << true;
        QTest::newRow("name, 33 characters") << false << QString(33, u'a') << false;
        QTest::newRow("name, empty") << false << QString() << false;
        QTest::newRow("name, the server's") << false << answers::serverSender() << false;
        QTest::newRow("name, blank") << false << u"a b"_s << false;
        QTest::newRow("name, ideographic space") << false << u"a\u3000b"_s << false;
        QTest::newRow("name, colon") << false << u"a:"_s << false;
        QTest::newRow("name, full-width colon") << false << u"a："_s << false;
        QTest::newRow("name, line feed") << false << u"a\nb"_s << false;
        QTest::newRow("name, separator") << false << u"a~+^`&b"_s << false;
        QTest::newRow("name, markup") << false << u"<b>"_s << false;
        QTest::newRow("name, right-to-left override") << false << u"a\u202eb"_s << false;
        QTest::newRow("name, emoji") << false << u"a\U0001F600"_s << false;
        QTest::newRow("email, usual") << true << u"a.b+c@mail.example.org"_s << true;
        QTest::newRow("email, no at") << true << u"a.example.org"_s << false;
        QTest::newRow("email, two at") << true << u"a@b@example.org"_s << false;
        QTest::newRow("email, no domain dot") << true << u"a@localhost"_s << false;
        QTest::newRow("email, empty label") << true << u"a@example..org"_s << false;
        QTest::newRow("email, hyphen at label start") << true << u"a@-example.org"_s << false;
        QTest::newRow("email, blank") << true << u"a b@example.org"_s << false;
        QTest::newRow("email, angle bracket") << true << u"a>@example.org"_s << false;
        QTest::newRow("email, line break") << true << u"a@example.org\r\nBcc: x@y.org"_s << false;
        QTest::newRow("email, leading dot") << true << u".a@example.org"_s << false;
        QTest::newRow("email, non-ascii") << true << u"张@example.org"_s << false;
        QTest::newRow("email, long local part") << true << QString(65, u'a') + u"@example.org"_s << false;
    }
    void validation()
    {
        QFETCH(bool, email);
        QFETCH(QString, text);
        QTEST(email ? isPlausibleEmail(text) : isValidUserName(text), "valid");
    }

    void relayedChat_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("relayed");
        QTest::newRow("plain") << u"hi"_s << u"alice: hi"_s;
        QTest::newRow("line feed") << u"hi\nbob: pw"_s << u"alice: hi\n  bob: pw"_s;
        QTest::newRow("CR LF once") << u"a\r\nb"_s << u"alice: a\n  b"_s;
        QTest::newRow("LF CR twice") << u"a\n\rb"_s << u"alice: a\n  \n  b"_s;
        QTest::newRow("lone CR") << u"a\rb"_s << u"alice: a\n  b"_s;
        QTest::newRow("breaks at both ends") << u"\nx\n"_s << u"alice: \n  x\n  "_s;
        QTest::newRow("empty lines") << u"a\n\nb"_s << u"alice: a\n  \n  b"_s;
        QTest::newRow("indent kept") << u"a\n  b"_s << u"alice: a\n    b"_s;
        for (const char16_t c : {u'\v', u'\f', u'\u0085', u'\u2028', u'\u2029', u'\ufdd0', u'\ufdd1'})
            QTest::addRow("U+%04X", unsigned(c))
                << u"a"_s + QChar(c) + u"bob: x"_s << u"alice: a\n  bob: x"_s;
        QTest::newRow("tab stays") << u"a\tb"_s << u"alice: a\tb"_s;
        QTest::newRow("surrogate pair stays") << u"a\U0001F600"_s << u"alice: a\U0001F600"_s;
    }
    void relayedChat()
    {
        QFETCH(QString, text);
        QTEST(tavrel::server::relayedChat(u"alice"_s, text), "relayed");
    }

    // A text built with chained arg() reads a "%1" inside the first value as a place for
    // the second.
    void answersKeepUserData_data()
    {
        QTest::addColumn<QString>("built");
        QTest::addColumn<QString>("expected");
        QTest::newRow("upload, name and user")
            << answers::uploaded(u"%2"_s, u"%1.txt"_s, 5) << u"%2 上传了文件：%1.txt（5字节）"_s;
        QTest::newRow("upload, localized place")
            << answers::uploaded(u"a"_s, u"%L1%L2"_s, 7) << u"a 上传了文件：%L1%L2（7字节）"_s;
        QTest::newRow("code mail") << answers::codeSent(u"%1%2@x.org"_s, 10)
                                   << u"验证码已发送到%1%2@x.org，10分钟内有效"_s;
        QTest::newRow("no such file") << answers::noSuchFile(u"%1"_s) << u"没有这个文件：%1"_s;
        QTest::newRow("too big") << answers::fileTooBig(u"%L1"_s) << u"文件太大，无法发送：%L1"_s;
        QTest::newRow("notice") << answers::notice(u"%1"_s) << u"服务器: %1"_s;
    }
    void answersKeepUserData()
    {
        QFETCH(QString, built);
        QTEST(built, "expected");
    }
};

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
