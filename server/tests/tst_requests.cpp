#include "protocol.h"
#include "requests.h"
#include "validation.h"

#include <QTest>

using namespace tavrel;

class TestRequests : public QObject
{
    Q_OBJECT

private slots:
    void kinds_data();
    void kinds();
    void login_data();
    void login();
    void registration_data();
    void registration();
    void upload_data();
    void upload();
    void userNames_data();
    void userNames();
    void emails_data();
    void emails();
};

namespace {
const QByteArray sep = QByteArray("~+^`&");
const QByteArray digest = "0123456789abcdef0123456789abcdef";
} // namespace

void TestRequests::kinds_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("kind");

    QTest::newRow("chat") << QByteArray("c,hi") << int(Request::Chat);
    QTest::newRow("chat without comma") << QByteArray("cXhi") << int(Request::Unknown);
    QTest::newRow("login") << QByteArray("l,a") << int(Request::Login);
    QTest::newRow("registration") << QByteArray("r,") << int(Request::Registration);
    QTest::newRow("upload") << QByteArray("fs,a") << int(Request::Upload);
    QTest::newRow("request") << QByteArray("fr,") << int(Request::FileRequest);
    QTest::newRow("image kind is the server's") << QByteArray("fsi") << int(Request::Unknown);
    QTest::newRow("user list is the server's") << QByteArray("o,a") << int(Request::Unknown);
    QTest::newRow("kind letter alone") << QByteArray("c") << int(Request::Unknown);
}

void TestRequests::kinds()
{
    QFETCH(QByteArray, message);
    QFETCH(int, kind);
    QCOMPARE(int(requestKind(message)), kind);
}

void TestRequests::login_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("digest");

    QTest::newRow("usual") << QByteArray("l,alice") + sep + digest << true << QStringLiteral("alice")
                           << QString::fromLatin1(digest);
    QTest::newRow("empty name") << QByteArray("l,") + sep + digest << true << QString()
                                << QString::fromLatin1(digest);
    QTest::newRow("utf-8 name") << QByteArray("l,") + QStringLiteral("小明").toUtf8() + sep + digest << true
                                << QStringLiteral("小明") << QString::fromLatin1(digest);
    QTest::newRow("no separator") << QByteArray("l,alice") << false << QString() << QString();
    QTest::newRow("two separators") << QByteArray("l,a") + sep + "b" + sep + digest << false << QString()
                                    << QString();
    QTest::newRow("wrong kind") << QByteArray("r,alice") + sep + digest << false << QString() << QString();
}

void TestRequests::login()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, valid);
    const std::optional<LoginFields> fields = parseLogin(message);
    QCOMPARE(fields.has_value(), valid);
    if (!valid)
        return;
    QTEST(fields->name, "name");
    QTEST(fields->digest, "digest");
}

void TestRequests::registration_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QStringList>("fields"); // empty: refused

    QTest::newRow("as the client builds it")
        << registrationMessage(QStringLiteral("bob"), QStringLiteral("b@x.org"), QStringLiteral("123456"),
                               QString::fromLatin1(digest))
        << QStringList{QStringLiteral("bob"), QStringLiteral("b@x.org"), QStringLiteral("123456"),
                       QString::fromLatin1(digest)};
    QTest::newRow("empty fields") << QByteArray("r,") + sep + sep + sep + digest
                                  << QStringList{QString(), QString(), QString(),
                                                 QString::fromLatin1(digest)};
    QTest::newRow("one field short") << QByteArray("r,bob") + sep + "b@x.org" + sep + digest << QStringList();
    QTest::newRow("separator inside a field")
        << QByteArray("r,bob") + sep + "b" + sep + "x" + sep + "1" + sep + digest << QStringList();
}

void TestRequests::registration()
{
    QFETCH(QByteArray, message);
    QFETCH(QStringList, fields);
    const std::optional<RegistrationFields> parsed = parseRegistration(message);
    QCOMPARE(parsed.has_value(), !fields.isEmpty());
    if (parsed)
        QCOMPARE((QStringList{parsed->name, parsed->email, parsed->code, parsed->digest}), fields);
}

void TestRequests::upload_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("contents");

    QTest::newRow("usual") << fileMessage(QStringLiteral("a.txt"), "hello") << true << QStringLiteral("a.txt")
                           << QByteArray("hello");
    QTest::newRow("separators in contents") << fileMessage(QStringLiteral("a"), sep + "x" + sep) << true
                                            << QStringLiteral("a") << sep + "x" + sep;
    QTest::newRow("zero bytes in contents") << fileMessage(QStringLiteral("a"), QByteArray("x\0y", 3)) << true
                                            << QStringLiteral("a") << QByteArray("x\0y", 3);
    QTest::newRow("path longer than a received name")
        << fileMessage(QString(300, QLatin1Char('p')), "c") << true << QString(300, QLatin1Char('p'))
        << QByteArray("c");
    QTest::newRow("no separator") << QByteArray("fs,a.txt") << false << QString() << QByteArray();
}

void TestRequests::upload()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, valid);
    const std::optional<UploadFields> fields = parseUpload(message);
    QCOMPARE(fields.has_value(), valid);
    if (!valid)
        return;
    QTEST(fields->path, "path");
    QTEST(fields->contents, "contents");
}

void TestRequests::userNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("valid");

    QTest::newRow("latin") << QStringLiteral("alice_1.b-c") << true;
    QTest::newRow("chinese") << QStringLiteral("小明") << true;
    QTest::newRow("32 characters") << QString(32, QLatin1Char('a')) << true;
    QTest::newRow("33 characters") << QString(33, QLatin1Char('a')) << false;
    QTest::newRow("empty") << QString() << false;
    QTest::newRow("blank") << QStringLiteral("a b") << false;
    QTest::newRow("ideographic space") << QStringLiteral("a\u3000b") << false;
    QTest::newRow("colon") << QStringLiteral("a:") << false;
    QTest::newRow("full-width colon") << QStringLiteral("a：") << false;
    QTest::newRow("line feed") << QStringLiteral("a\nb") << false;
    QTest::newRow("separator") << QStringLiteral("a~+^`&b") << false;
    QTest::newRow("markup") << QStringLiteral("<b>") << false;
    QTest::newRow("right-to-left override") << QStringLiteral("a\u202eb") << false;
    QTest::newRow("emoji") << QStringLiteral("a\U0001F600") << false;
}

void TestRequests::userNames()
{
    QFETCH(QString, name);
    QTEST(server::isValidUserName(name), "valid");
}

void TestRequests::emails_data()
{
    QTest::addColumn<QString>("email");
    QTest::addColumn<bool>("valid");

    QTest::newRow("usual") << QStringLiteral("a.b+c@mail.example.org") << true;
    QTest::newRow("no at") << QStringLiteral("a.example.org") << false;
    QTest::newRow("two at") << QStringLiteral("a@b@example.org") << false;
    QTest::newRow("no domain dot") << QStringLiteral("a@localhost") << false;
    QTest::newRow("empty label") << QStringLiteral("a@example..org") << false;
    QTest::newRow("hyphen at label start") << QStringLiteral("a@-example.org") << false;
    QTest::newRow("blank") << QStringLiteral("a b@example.org") << false;
    QTest::newRow("angle bracket") << QStringLiteral("a>@example.org") << false;
    QTest::newRow("line break") << QStringLiteral("a@example.org\r\nBcc: x@y.org") << false;
    QTest::newRow("leading dot") << QStringLiteral(".a@example.org") << false;
    QTest::newRow("non-ascii") << QStringLiteral("张@example.org") << false;
    QTest::newRow("too long local part")
        << QString(65, QLatin1Char('a')) + QStringLiteral("@example.org") << false;
}

void TestRequests::emails()
{
    QFETCH(QString, email);
    QTEST(server::isPlausibleEmail(email), "valid");
}

QTEST_GUILESS_MAIN(TestRequests)
#include "tst_requests.moc"
