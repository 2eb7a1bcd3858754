#include "assembler.h"
#include "filenames.h"
#include "pathgaps.h"
#include "protocol.h"
#include "textpreview.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

using namespace tavrel;

Q_DECLARE_METATYPE(tavrel::PathFigures)
Q_DECLARE_METATYPE(tavrel::PreviewLimits)

class TestCore : public QObject
{
    Q_OBJECT

private slots:
    void textPreview_data()
    {
        QTest::addColumn<QByteArray>("utf8");
        QTest::addColumn<PreviewLimits>("limits");
        QTest::addColumn<QString>("shown"); // null: the whole text

        const auto times = [](const char *text, int n) { return QByteArray(text).repeated(n); };
        const int paragraph = PreviewLimits().paragraph;
        const auto row = [](const char *tag, const QByteArray &utf8, const QString &shown,
                            PreviewLimits limits = PreviewLimits()) {
            QTest::newRow(tag) << utf8 << limits << shown;
        };
        row("broken UTF-8, whole", "\xff ok \xe4\xb8", QString());
        row("empty lines", QByteArray(5000, '\n'), QString(2520, '\n'));
        row("paragraph separators", times("\xe2\x80\xa9", 5000), QString(2520, QChar::ParagraphSeparator));
        // A letter with a combining acute costs 1 + 9, a line of 40 of them 413: 79 lines fit,
        // and 141 units of the next.
        const QByteArray accented = times("e\xcc\x81", 40) + "\n";
        row("combining marks", times(accented, 100),
            QString::fromUtf8(times(accented, 79) + times("e\xcc\x81", 14) + "e"));
        // U+2028 breaks a line inside a paragraph.
        row("line separators", times("xxxxxxx\xe2\x80\xa8", 1000),
            QString::fromUtf8(times("xxxxxxx\xe2\x80\xa8", 512)));
        row("pair at the cut", QByteArray(paragraph - 1, 'x') + "\xf0\x9f\x98\x80",
            QString(paragraph - 1, 'x'));
        // Only 30 bytes are decoded: nine characters and three bytes of a four-byte one, which
        // must not come out as a replacement character.
        row("sequence cut by the decoding", times("中", 9) + times("\xf0\x9f\x98\x80", 5),
            QString::fromUtf8(times("中", 9)), {10, 100});
    }

    void textPreview()
    {
        QFETCH(QByteArray, utf8);
        QFETCH(PreviewLimits, limits);
        QFETCH(QString, shown);

        const TextPreview preview = tavrel::textPreview(utf8, limits);
        QCOMPARE(preview.whole, shown.isNull());
        QCOMPARE(preview.text, shown.isNull() ? QString::fromUtf8(utf8) : shown);
    }

    void decodeReceivedName_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("name");

        const QString bad(QChar::ReplacementCharacter);
        QTest::newRow("Chinese and emoji") << QByteArray("文件😀.txt") << QString::fromUtf8("文件😀.txt");
        QTest::newRow("U+FFFD sent as such") << QByteArray("\xef\xbf\xbd\xef\xbf\xbd") << bad + bad;
        QTest::newRow("zero byte") << QByteArray("a\0b", 3) << QStringLiteral("a") + QChar(0) + "b";
        QTest::newRow("cut sequence") << QByteArray("a\xe4\xbd\x62") << "a" + bad + "b";
        QTest::newRow("overlong") << QByteArray("\xc0\x80x\xe0\x80\x80") << bad + "x" + bad;
        QTest::newRow("surrogate") << QByteArray("\xed\xa0\x80") << bad;
        QTest::newRow("past U+10FFFF") << QByteArray("\xf4\x90\x80\x80") << bad;
    }

    void decodeReceivedName()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, name);
        QCOMPARE(tavrel::decodeReceivedName(bytes), name);
    }

    // A message ends once the connection has been quiet for its gap: the long one only for file
    // contents, decided by the first two bytes; what comes after the gap is a message of its own.
    void quietGapEndsAMessage_data()
    {
        QTest::addColumn<QByteArrayList>("pieces"); // arriving 5 ms apart
        QTest::addColumn<int>("gap");
        QTest::newRow("chat line") << QByteArrayList{"c,one"} << kQuietGapMs;
        QTest::newRow("file") << QByteArrayList{"fs,a.txt~+^`&x"} << kFileQuietGapMs;
        QTest::newRow("f, then a request") << QByteArrayList{"f", "r,a.txt"} << kQuietGapMs;
        QTest::newRow("f, then file contents") << QByteArrayList{"f", "s,a~+^`&x"} << kFileQuietGapMs;
    }

    void quietGapEndsAMessage()
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
        QVERIFY2(clock.elapsed() >= gap &&
                     clock.elapsed() < gap + std::min(gap, kFileQuietGapMs - kQuietGapMs),
                 qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(ready.value(0).value(0).toByteArray(), pieces.join());
        assembler.append("c,two");
        QVERIFY(ready.wait(1000));
        QCOMPARE(ready.value(1).value(0).toByteArray(), QByteArray("c,two"));
    }

    // The writer's pause outlasts the reader's gap by the margin whatever the two ends measure
    // of one path, as long as the reader's round trip is at most twice the writer's plus the
    // skew, or the reader cannot measure. A gap or pause of -1 is not looked at.
    void pauseOutlastsGap_data()
    {
        QTest::addColumn<PathFigures>("writer");
        QTest::addColumn<PathFigures>("reader");
        QTest::addColumn<int>("gap");
        QTest::addColumn<int>("pause");
        const auto path = [](qint64 rttUs, qint64 window = 64 * 1024, double resent = 0, qint64 rate = -1) {
            return PathFigures{rttUs, rate, window, resent};
        };
        const int nearPause = kNearQuietGapMs + kTextPauseMarginMs;
        const int farPause = kQuietGapMs + kTextPauseMarginMs;
        const auto row = [](const char *tag, PathFigures writer, PathFigures reader, int gap, int pause) {
            QTest::newRow(tag) << writer << reader << gap << pause;
        };
        row("wired LAN", path(400), path(450), kNearQuietGapMs, nearPause);
        row("Internet", path(40000), path(40000), kQuietGapMs, farPause);
        row("reader cannot measure, near", path(30), PathFigures(), kNearQuietGapMs, nearPause);
        row("writer cannot measure", PathFigures(), path(30), kNearQuietGapMs, farPause);
        row("writer last near, reader at the band's edge", path(kNearRttUs - 1),
            path(2 * (kNearRttUs - 1) + kRttSkewUs - 1), kNearQuietGapMs, nearPause);
        row("writer first far, reader first far", path(kNearRttUs), path(kPacedNearRttUs), kQuietGapMs,
            farPause);
        row("lossy", path(30, 64 * 1024, 0.02), path(30), kNearQuietGapMs, farPause);
        row("a segment sent again", path(30, 64 * 1024, kNearResentShare), path(30), -1, nearPause);
        row("slow delivery", path(30, 64 * 1024, 0, kNearBytesPerSecond - 1), path(30), -1, farPause);
        row("fast delivery", path(30, 64 * 1024, 0, kNearBytesPerSecond), path(30), -1, nearPause);
        row("small window", path(30, kNearWindowBytes - 1), path(30), -1, farPause);
        row("window large enough", path(30, kNearWindowBytes), path(30), -1, nearPause);
        for (const qint64 writerUs :
             {qint64(-1), qint64(0), kNearRttUs / 2, kNearRttUs - 1, kNearRttUs, qint64(200000)})
            for (const qint64 readerUs : {qint64(-1), qint64(0), writerUs, 2 * writerUs + kRttSkewUs - 1})
                QTest::addRow("writer %lld us, reader %lld us", writerUs, readerUs)
                    << path(writerUs) << path(readerUs) << -1 << -1;
    }

    void pauseOutlastsGap()
    {
        QFETCH(PathFigures, writer);
        QFETCH(PathFigures, reader);
        QFETCH(int, gap);
        QFETCH(int, pause);
        const int chosenGap = pacedQuietGapMs(reader);
        const int chosenPause = pacingPauseMs(writer);
        if (gap >= 0)
            QCOMPARE(chosenGap, gap);
        if (pause >= 0)
            QCOMPARE(chosenPause, pause);
        QVERIFY2(chosenPause >= chosenGap + kTextPauseMarginMs,
                 qPrintable(QStringLiteral("gap %1 ms, pause %2 ms").arg(chosenGap).arg(chosenPause)));
    }

#if defined(Q_OS_LINUX)
    // Both ends of a loopback connection read their kernel's figures and find the path near; a
    // socket that is not one tells nothing.
    void loopbackMeasuresNear()
    {
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost));
        QTcpSocket client;
        client.connectToHost(QHostAddress::LocalHost, listener.serverPort());
        QVERIFY(client.waitForConnected(5000) && listener.waitForNewConnection(5000));
        QTcpSocket *server = listener.nextPendingConnection();
        for (QTcpSocket *end : {&client, server}) {
            const PathFigures figures = measurePath(end->socketDescriptor());
            QVERIFY2(figures.minRttUs >= 0 && figures.minRttUs < kNearRttUs,
                     qPrintable(QString::number(figures.minRttUs)));
            QCOMPARE(pacingPauseMs(figures), kNearQuietGapMs + kTextPauseMarginMs);
        }
        // What a reader that cannot measure chooses is pauseOutlastsGap's.
        QCOMPARE(measurePath(-1).minRttUs, -1);
    }
#endif
};

QTEST_GUILESS_MAIN(TestCore)
#include "tst_core.moc"
