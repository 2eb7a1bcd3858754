#include "protocol.h"
#include "requests.h"
#include "validation.h"

#include <QTest>

using namespace tavrel;
using namespace Qt::StringLiterals;

class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void parse_data();
    void parse();
    void validation_data();
    void validation();
};

void TestRequests::parse_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("fields"); // empty: refused, or not a request at all

    const QByteArray sep = separator();
    const QByteArray digest = "0123456789abcdef0123456789abcdef";
    const QString d = QString::fromLatin1(digest);
    QTest::newRow("chat") << QByteArray("c,hi") << QStringList{u"hi"_s};
    QTest::newRow("chat without comma") << QByteArray("cXhi") << QStringList();
    QTest::newRow("kind letter alone") << QByteArray("c") << QStringList();
    QTest::newRow("image kind is the server's") << QByteArray("fsia") << QStringList();
    QTest::newRow("user list is the server's") << QByteArray("o,a") << QStringList();
    QTest::newRow("file request") << QByteArray("fr,a.txt") << QStringList{u"a.txt"_s};
    QTest::newRow("login") << "l," + u"小明"_s.toUtf8() + sep + digest << QStringList{u"小明"_s, d};
    QTest::newRow("login, empty name") << "l," + sep + digest << QStringList{QString(), d};
    QTest::newRow("login, no separator") << QByteArray("l,alice") << QStringList();
    QTest::newRow("login, two separators") << "l,a" + sep + "b" + sep + digest << QStringList();
    QTest::newRow("registration") << "r,bob" + sep + "b@x.org" + sep + "123456" + sep + digest
                                  << QStringList{u"bob"_s, u"b@x.org"_s, u"123456"_s, d};
    QTest::newRow("registration, empty fields")
        << "r," + sep + sep + sep + digest << QStringList{QString(), QString(), QString(), d};
    QTest::newRow("registration, one field short")
        << "r,bob" + sep + "b@x.org" + sep + digest << QStringList();
    QTest::newRow("registration, separator inside")
        << "r,bob" + sep + "b" + sep + "x" + sep + "1" + sep + digest << QStringList();
    const QByteArray contents = sep + QByteArray("x\0y", 3) + sep;
    QTest::newRow("upload") << fileMessage(u"a.txt"_s, contents)
                            << QStringList{u"a.txt"_s, QString::fromLatin1(contents)};
    QTest::newRow("upload, long path")
        << fileMessage(QString(300, u'p'), "c") << QStringList{QString(300, u'p'), u"c"_s};
    QTest::newRow("upload, no separator") << QByteArray("fs,a.txt") << QStringList();
}

void TestRequests::parse()
{
    QFETCH(QByteArray, message);
    QStringList fields;
    switch (requestKind(message)) {
    case Request::Chat:
    case Request::FileRequest:
        fields = QStringList{requestText(message)};
        break;
    case Request::Login:
        if (const std::optional<LoginFields> f = parseLogin(message))
            fields = QStringList{f->name, f->digest};
        break;
    case Request::Registration:
        if (const std::optional<RegistrationFields> f = parseRegistration(message))
            fields = QStringList{f->name, f->email, f->code, f->digest};
        break;
    case Request::Upload:
        if (const std::optional<UploadFields> f = parseUpload(message))
            fields = QStringList{f->path, QString::fromLatin1(f->contents)};
        break;
    case Request::Unknown:
        break;
    }
    QTEST(fields, "fields");
}

void TestRequests::validation_data()
{
    QTest::addColumn<bool>("email"); // false: a user name
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");

    QTest::newRow("name, latin") << false << u"alice_1.b-c"_s << true;
    QTest::newRow("name, chinese") << false << u"小明"_s << true;
    QTest::newRow("name, 32 characters") << false << QString(32, u'a') << true;
    QTest::newRow("name, 33 characters") << false << QString(33, u'a') << false;
    QTest::newRow("name, empty") << false << QString() << false;
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

void TestRequests::validation()
{
    QFETCH(bool, email);
    QFETCH(QString, text);
    QTEST(email ? server::isPlausibleEmail(text) : server::isValidUserName(text), "valid");
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
