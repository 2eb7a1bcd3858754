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
        QTest::newRow("email, usual") << true << u"a.b+c@mail.example.org"_s << true;
        QTest::newRow("email, no at") << true << u"a.example.org"_s << false;
        QTest::newRow("email, no domain dot") << true << u"a@localhost"_s << false;
        QTest::newRow("email, blank") << true << u"a b@example.org"_s << false;
        QTest::newRow("email, angle bracket") << true << u"a>@example.org"_s << false;
        QTest::newRow("email, line break") << true << u"a@example.org\r\nBcc: x@y.org"_s << false;
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
    }
    void relayedChat()
    {
        QFETCH(QString, text);
        QTEST(tavrel::server::relayedChat(u"alice"_s, text), "relayed");
    }
};

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
