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
    void quietGapEndsAMessage_data();
    void quietGapEndsAMessage();
    void lateTimerStillSplits();
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

// A message ends once the connection has been quiet for its gap: the long one only for file
// contents, decided by the first two bytes; what comes after the gap is a message of its own.
void TestCore::quietGapEndsAMessage_data()
{
    QTest::addColumn<QByteArrayList>("pieces"); // arriving 5 ms apart
    QTest::addColumn<int>("gap");
    QTest::newRow("chat line") << QByteArrayList{"c,one"} << kQuietGapMs;
    QTest::newRow("file") << QByteArrayList{"fs,a.txt~+^`&x"} << kFileQuietGapMs;
    QTest::newRow("image") << QByteArrayList{"fsip.png~+^`&"} << kFileQuietGapMs;
    QTest::newRow("file request") << QByteArrayList{"fr,a.txt"} << kQuietGapMs;
    QTest::newRow("other f kind") << QByteArrayList{"fx"} << kQuietGapMs;
    QTest::newRow("f, then a request") << QByteArrayList{"f", "r,a.txt"} << kQuietGapMs;
    QTest::newRow("f, then file contents") << QByteArrayList{"f", "s,a~+^`&x"} << kFileQuietGapMs;
    QTest::newRow("unknown kind") << QByteArrayList{"\x89PNG"} << kQuietGapMs;
}

void TestCore::quietGapEndsAMessage()
{
    QFETCH(QByteArrayList, pieces);
    QFETCH(int, gap);
    MessageAssembler assembler;
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    QElapsedTimer clock;
    for (const QByteArray &piece : pieces) {
        if (clock.isValid())
            QTest::qWait(5);
        clock.start();
        assembler.append(piece);
    }
    QVERIFY(ready.wait(gap + 1000));
    // Loose above: a busy machine runs timers late.
    QVERIFY2(clock.elapsed() >= gap && clock.elapsed() < gap + std::min(gap, kFileQuietGapMs - kQuietGapMs),
             qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(ready.value(0).value(0).toByteArray(), pieces.join());
    assembler.append("c,two");
    QVERIFY(ready.wait(1000));
    QCOMPARE(ready.value(1).value(0).toByteArray(), QByteArray("c,two"));
}

// The event loop stalls past the gap and reads the next message before the timer runs: the
// two must still be told apart (a login answer joined to a user list is a refusal).
void TestCore::lateTimerStillSplits()
{
    MessageAssembler assembler;
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    assembler.append("l,ok");
    QThread::msleep(kQuietGapMs + 15);
    assembler.append("o,alice");
    QVERIFY(ready.wait(1000));
    QCOMPARE(ready, (QList<QVariantList>{{QByteArray("l,ok")}, {QByteArray("o,alice")}}));
}

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
