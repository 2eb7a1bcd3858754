#include "assembler.h"
#include "filenames.h"
#include "protocol.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

using namespace tavrel;

// The builders, the digest and the naming of received files are checked through the window,
// byte for byte; what the window cannot show is checked here.
class TestCore : public QObject
{
    Q_OBJECT

private slots:
    void split_data();
    void split();
    void nameTakenWhileOpening();
    void decodeReceivedName_data();
    void decodeReceivedName();
    void quietGapEndsAMessage();
};

void TestCore::split_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<bool>("image");
    QTest::addColumn<QByteArray>("parts"); // status|name|sender|data

    const struct
    {
        const char *tag, *message;
        bool image;
        const char *parts;
    } rows[] = {
        {"file", "fs,a.txt~+^`&hello", false, "0|a.txt||hello"},
        {"separators in contents", "fs,a~+^`&x~+^`&~+^`&", false, "0|a||x~+^`&~+^`&"},
        {"separator before offset 3", "fs~+^`&n~+^`&d", false, "0|+^`&n||d"},
        {"missing separator", "fs,name-only", false, "3|||"},
        {"image", "fsip.jpg~+^`&bob~+^`&I~+^`&", true, "0|p.jpg|bob|I~+^`&"},
        {"image, empty sender", "fsip~+^`&~+^`&I", true, "0|p||I"},
        {"image, second separator missing", "fsip.jpg~+^`&bob", true, "2|p.jpg||"},
    };
    for (const auto &row : rows)
        QTest::newRow(row.tag) << QByteArray(row.message) << row.image << QByteArray(row.parts);
    const QByteArray n197(197, 'n');
    QTest::newRow("separator at 200") << "fs," + n197 + "~+^`&d" << false << "0|" + n197 + "||d";
    QTest::newRow("separator at 201") << "fs,n" + n197 + "~+^`&d" << false << QByteArray("1|||");
    QTest::newRow("image, separator at 201") << "fsin" + n197 + "~+^`&b~+^`&" << true << QByteArray("1|||");
}

void TestCore::split()
{
    QFETCH(QByteArray, message);
    QFETCH(bool, image);
    QFETCH(QByteArray, parts);
    const FileParts p = splitFileMessage(message, image);
    QCOMPARE(QByteArray::number(int(p.status)) + '|' + p.name + '|' + p.sender + '|' + p.data, parts);
}

// Another process creates the file between the choice of the name and the open.
class RacedFile : public QFile
{
public:
    bool open(OpenMode mode) override
    {
        QFile other(fileName());
        if (std::exchange(m_first, false) && other.open(QIODevice::WriteOnly))
            other.write("theirs");
        return QFile::open(mode);
    }
    bool m_first = true;
};

void TestCore::nameTakenWhileOpening()
{
    QTemporaryDir dir;
    RacedFile file;
    QString name = QStringLiteral("a.txt");
    QVERIFY(createFreshFile(file, name, dir.path()));
    QCOMPARE(name, QStringLiteral("a2.txt"));
    QFile theirs(dir.filePath(QStringLiteral("a.txt")));
    QVERIFY(theirs.open(QIODevice::ReadOnly) && theirs.readAll() == "theirs");
}

void TestCore::decodeReceivedName_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("name");

    const QString bad(QChar::ReplacementCharacter);
    QTest::newRow("ASCII") << QByteArray("a.txt") << "a.txt";
    QTest::newRow("Chinese and emoji") << QByteArray("文件😀.txt") << QString::fromUtf8("文件😀.txt");
    QTest::newRow("U+FFFD sent as such") << QByteArray("\xef\xbf\xbd\xef\xbf\xbd") << bad + bad;
    QTest::newRow("highest code point") << QByteArray("\xf4\x8f\xbf\xbf") << QString::fromUcs4(U"\U0010FFFF");
    QTest::newRow("zero byte") << QByteArray("a\0b", 3) << QStringLiteral("a") + QChar(0) + "b";
    QTest::newRow("run of bad bytes") << QByteArray("a\xff\xfe\x80z") << "a" + bad + "z";
    QTest::newRow("runs apart") << QByteArray("\xff"
                                              "a"
                                              "\xff")
                                << bad + "a" + bad;
    QTest::newRow("cut sequence") << QByteArray("a\xe4\xbd"
                                                "b")
                                  << "a" + bad + "b";
    QTest::newRow("cut at the end") << QByteArray("a\xf0\x9f\x98") << "a" + bad;
    QTest::newRow("overlong") << QByteArray("\xc0\x80x\xe0\x80\x80") << bad + "x" + bad;
    QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << bad;
    QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << bad;
    QTest::newRow("197 bad bytes") << QByteArray(197, '\xff') << bad;
}

void TestCore::decodeReceivedName()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, name);
    QCOMPARE(tavrel::decodeReceivedName(bytes), name);
}

// A chat message waits for the short gap only, not the long one of files, and what comes
// after the gap is a message of its own.
void TestCore::quietGapEndsAMessage()
{
    MessageAssembler assembler;
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    QElapsedTimer clock;
    clock.start();
    assembler.append("c,one");
    QVERIFY(ready.wait(1000));
    QVERIFY(clock.elapsed() >= kQuietGapMs && clock.elapsed() < kFileQuietGapMs);
    assembler.append("c,two");
    QVERIFY(ready.wait(1000));
    QCOMPARE(ready, (QList<QVariantList>{{QByteArray("c,one")}, {QByteArray("c,two")}}));

    // The event loop stalls past the gap and reads the next message before the timer runs:
    // the two must still be told apart (a login answer joined to a user list is a refusal).
    assembler.append("l,ok");
    QThread::msleep(kQuietGapMs + 15);
    assembler.append("o,alice");
    QVERIFY(ready.wait(1000));
    QCOMPARE(ready.mid(2), (QList<QVariantList>{{QByteArray("l,ok")}, {QByteArray("o,alice")}}));
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
