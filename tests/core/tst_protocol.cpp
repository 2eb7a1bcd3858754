#include "digest.h"
#include "protocol.h"

#include <QBuffer>
#include <QTest>

using namespace tavrel;

class TestProtocol : public QObject
{
    Q_OBJECT

private slots:
    void outgoing_data();
    void outgoing();
    void zeroTerminatedWrite_data();
    void zeroTerminatedWrite();
    void kind_data();
    void kind();
    void split_data();
    void split();
};

static QByteArray sep()
{
    return QByteArray("\x7e\x2b\x5e\x60\x26");
}

void TestProtocol::outgoing_data()
{
    QTest::addColumn<QByteArray>("built");
    QTest::addColumn<QByteArray>("expected");

    const QByteArray digest = saltedDigest(QStringLiteral("secret1")).toLatin1();
    QTest::newRow("login alice") << loginMessage(QStringLiteral("alice"), QString::fromLatin1(digest))
                                 << "l,alice" + sep() + digest;
    QTest::newRow("registration, empty fields")
        << registrationMessage(QString(), QString(), QString(), QString::fromLatin1(digest))
        << "r," + sep() + sep() + sep() + digest;
    QTest::newRow("registration") << registrationMessage(QStringLiteral("bob"), QStringLiteral("b@x.org"),
                                                         QStringLiteral("123456"), QStringLiteral("d"))
                                  << "r,bob" + sep() + "b@x.org" + sep() + "123456" + sep() + "d";
    QTest::newRow("chat in Chinese") << chatMessage(QStringLiteral("你好"))
                                     << QByteArray("\x63\x2c\xe4\xbd\xa0\xe5\xa5\xbd");
    QTest::newRow("chat keeps blanks") << chatMessage(QStringLiteral(" \n ")) << QByteArray("c, \n ");
    QTest::newRow("file request, empty") << fileRequest(QString()) << QByteArray("fr,");
    QTest::newRow("file request, Chinese")
        << fileRequest(QStringLiteral("报告.txt")) << "fr," + QStringLiteral("报告.txt").toUtf8();
    const QByteArray raw("a\0b"
                         "~+^`&"
                         "c",
                         9);
    QTest::newRow("file with zero and separator")
        << fileMessage(QStringLiteral("/tmp/x y.txt"), raw) << "fs,/tmp/x y.txt" + sep() + raw;
    QTest::newRow("empty file") << fileMessage(QStringLiteral("e.txt"), QByteArray()) << "fs,e.txt" + sep();
    QTest::newRow("image") << imageMessage(QStringLiteral("p.png"), QStringLiteral("bob"), QByteArray("IMG"))
                           << "fsip.png" + sep() + "bob" + sep() + "IMG";
    QTest::newRow("user list") << userList({QStringLiteral("a"), QStringLiteral("b")})
                               << QByteArray("o,a\nb");
}

void TestProtocol::outgoing()
{
    QFETCH(QByteArray, built);
    QFETCH(QByteArray, expected);
    QCOMPARE(built, expected);
}

void TestProtocol::zeroTerminatedWrite_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("zeroTerminated");
    QTest::addColumn<QByteArray>("whole");

    const QByteArray login = loginMessage(QStringLiteral("alice"), saltedDigest(QString()));
    QTest::newRow("login is 44 bytes") << login << login << login;
    const QByteArray withZero = chatMessage(QStringLiteral("ab") + QChar(0) + QStringLiteral("cd"));
    QTest::newRow("chat cut at zero") << withZero << QByteArray("c,ab") << withZero;
    const QByteArray file = fileMessage(QStringLiteral("f"), QByteArray("\0\0x", 3));
    QTest::newRow("file sent whole") << file << QByteArray("fs,f~+^`&") << file;
}

void TestProtocol::zeroTerminatedWrite()
{
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, zeroTerminated);
    QFETCH(QByteArray, whole);

    QBuffer a;
    a.open(QIODevice::WriteOnly);
    writeZeroTerminated(&a, message);
    QCOMPARE(a.data(), zeroTerminated);
    QCOMPARE(tavrel::zeroTerminated(message), zeroTerminated);
    if (QTest::currentDataTag() == QByteArray("login is 44 bytes"))
        QCOMPARE(a.data().size(), 44);

    QBuffer b;
    b.open(QIODevice::WriteOnly);
    writeWhole(&b, message);
    QCOMPARE(b.data(), whole);
}

void TestProtocol::kind_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("kind");

    QTest::newRow("empty") << QByteArray() << int(Kind::Empty);
    QTest::newRow("chat") << QByteArray("c,hi") << int(Kind::Chat);
    QTest::newRow("chat byte alone") << QByteArray("c") << int(Kind::Chat);
    QTest::newRow("registration") << QByteArray("r,ok") << int(Kind::Registration);
    QTest::newRow("login") << QByteArray("lX") << int(Kind::Login);
    QTest::newRow("user list") << QByteArray("o,") << int(Kind::UserList);
    QTest::newRow("file") << QByteArray("fs,a") << int(Kind::File);
    QTest::newRow("file, other third byte") << QByteArray("fsXa") << int(Kind::File);
    QTest::newRow("fs alone") << QByteArray("fs") << int(Kind::File);
    QTest::newRow("image") << QByteArray("fsia") << int(Kind::Image);
    QTest::newRow("other f") << QByteArray("fr,a") << int(Kind::OtherFile);
    QTest::newRow("f alone") << QByteArray("f") << int(Kind::OtherFile);
    QTest::newRow("unknown") << QByteArray("x,") << int(Kind::Unknown);
    QTest::newRow("capital C") << QByteArray("C,") << int(Kind::Unknown);
}

void TestProtocol::kind()
{
    QFETCH(QByteArray, message);
    QFETCH(int, kind);
    QCOMPARE(int(incomingKind(message)), kind);
}

void TestProtocol::split_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("image");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QByteArray>("sender");
    QTest::addColumn<QByteArray>("data");

    QTest::newRow("file") << "fs,a.txt" + sep() + "hello" << false << int(FileParts::Ok)
                          << QByteArray("a.txt") << QByteArray() << QByteArray("hello");
    QTest::newRow("separators in contents")
        << "fs,a" + sep() + "x" + sep() + sep() << false << int(FileParts::Ok) << QByteArray("a")
        << QByteArray() << "x" + sep() + sep();
    QTest::newRow("empty name") << "fs," + sep() + "x" << false << int(FileParts::Ok) << QByteArray()
                                << QByteArray() << QByteArray("x");
    QTest::newRow("separator inside prefix is not the first")
        << "fs" + sep() + "n" + sep() + "d" << false << int(FileParts::Ok) << sep().mid(1) + "n"
        << QByteArray() << QByteArray("d");
    const QByteArray name197(197, 'n');
    QTest::newRow("separator at 200") << "fs," + name197 + sep() + "d" << false << int(FileParts::Ok)
                                      << name197 << QByteArray() << QByteArray("d");
    QTest::newRow("separator at 201")
        << "fs," + name197 + "n" + sep() + "d" << false << int(FileParts::NameTooLong) << QByteArray()
        << QByteArray() << QByteArray();
    QTest::newRow("missing separator") << QByteArray("fs,name-only") << false << int(FileParts::Malformed)
                                       << QByteArray("name-only") << QByteArray() << QByteArray();
    QTest::newRow("long, missing separator")
        << "fs," + QByteArray(400, 'x') << false << int(FileParts::Malformed) << QByteArray(400, 'x')
        << QByteArray() << QByteArray();
    QTest::newRow("image") << "fsip.jpg" + sep() + "bob" + sep() + "\xff\xd8" + sep() << true
                           << int(FileParts::Ok) << QByteArray("p.jpg") << QByteArray("bob")
                           << "\xff\xd8" + sep();
    QTest::newRow("image, empty sender") << "fsip" + sep() + sep() + "I" << true << int(FileParts::Ok)
                                         << QByteArray("p") << QByteArray() << QByteArray("I");
    QTest::newRow("image, second separator missing")
        << "fsip.jpg" + sep() + "bob" << true << int(FileParts::Malformed) << QByteArray("p.jpg")
        << QByteArray() << QByteArray();
    QTest::newRow("image, name too long")
        << "fsi" + QByteArray(198, 'n') + sep() + "b" + sep() << true << int(FileParts::NameTooLong)
        << QByteArray() << QByteArray() << QByteArray();
}

void TestProtocol::split()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, image);
    QFETCH(int, status);
    QFETCH(QByteArray, name);
    QFETCH(QByteArray, sender);
    QFETCH(QByteArray, data);

    const FileParts parts = splitFileMessage(message, image);
    QCOMPARE(int(parts.status), status);
    QCOMPARE(parts.name, name);
    QCOMPARE(parts.sender, sender);
    QCOMPARE(parts.data, data);
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
