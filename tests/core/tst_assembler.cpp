#include "assembler.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>

using namespace tavrel;

class TestAssembler : public QObject
{
    Q_OBJECT

private slots:
    void piecesWithinTheGapJoin_data();
    void piecesWithinTheGapJoin();
    void quietGapEndsAMessage();
    void overflowDropsUntilQuiet();
};

void TestAssembler::piecesWithinTheGapJoin_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<int>("pauseMs");

    // Pauses well inside the gap of each kind.
    QTest::newRow("chat line") << QByteArray("c,") + QByteArray(5000, 'x') << kQuietGapMs / 3;
    QTest::newRow("file") << QByteArray("fs,a~+^`&") + QByteArray(100000, 'y') << kFileQuietGapMs / 3;
}

void TestAssembler::piecesWithinTheGapJoin()
{
    QFETCH(QByteArray, message);
    QFETCH(int, pauseMs);

    MessageAssembler assembler;
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    const int pieces = 4;
    const qsizetype piece = message.size() / pieces + 1;
    for (qsizetype at = 0; at < message.size(); at += piece) {
        assembler.append(message.mid(at, piece));
        QTest::qWait(pauseMs);
    }
    QTRY_COMPARE(ready.size(), 1);
    QCOMPARE(ready.at(0).at(0).toByteArray(), message);
}

void TestAssembler::quietGapEndsAMessage()
{
    MessageAssembler assembler;
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    QElapsedTimer clock;
    clock.start();
    assembler.append("c,one");
    QVERIFY(ready.wait(1000));
    QVERIFY(clock.elapsed() >= kQuietGapMs);
    QVERIFY(clock.elapsed() < kFileQuietGapMs);
    assembler.append("c,two");
    QVERIFY(ready.wait(1000));
    QCOMPARE(ready.size(), 2);
    QCOMPARE(ready.at(0).at(0).toByteArray(), QByteArray("c,one"));
    QCOMPARE(ready.at(1).at(0).toByteArray(), QByteArray("c,two"));
}

void TestAssembler::overflowDropsUntilQuiet()
{
    MessageAssembler assembler;
    assembler.setLimits(100, 10);
    QSignalSpy ready(&assembler, &MessageAssembler::messageReady);
    QSignalSpy overflowed(&assembler, &MessageAssembler::overflowed);

    assembler.append("c,123456");
    assembler.append("789");
    QCOMPARE(overflowed.size(), 1);
    QCOMPARE(overflowed.at(0).at(0).toLongLong(), 11);
    assembler.append("c,tail of the dropped message");
    QTest::qWait(kQuietGapMs * 3);
    QCOMPARE(ready.size(), 0);

    // After the quiet gap a new message is gathered again.
    assembler.append("fs,a~+^`&" + QByteArray(80, 'z'));
    QTRY_COMPARE_WITH_TIMEOUT(ready.size(), 1, 2000);
    QCOMPARE(ready.at(0).at(0).toByteArray().size(), 89);
}

QTEST_GUILESS_MAIN(TestAssembler)
#include "tst_assembler.moc"
