#include "peerconnection.h"
#include "pendingtimers.h"
#include "scriptedpeer.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QElapsedTimer>
#include <QTest>

namespace {

constexpr int kIntervalMs = 1000;
const QString kTooSoon = QStringLiteral("两次发送需间隔1秒以上");
const QString kTooLong = QStringLiteral("一次只能发送长度2000以内的文本");

QTextEdit *compose(Widget &w)
{
    return WidgetInspector::textEdit(w, "textEditWrite");
}

QString messageBox(Widget &w)
{
    return WidgetInspector::textEdit(w, "textEditRead")->toPlainText();
}

} // namespace

class TestChat : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_peer.listen()); }
    // Intervals left by windows that are gone would be taken for the next window's.
    void cleanup()
    {
        for (const PendingTimer &timer : pendingSingleShots(kIntervalMs))
            timer.fire();
    }
    void limits_data();
    void limits();
    void interval();
    void refusedTextStartsNoInterval();

private:
    ScriptedPeer m_peer;
};

void TestChat::limits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // empty when the text goes out
    QTest::addColumn<QByteArray>("sent");

    const QString chinese2000(2000, QChar(0x4F60)); // 你
    QTest::newRow("Chinese") << QStringLiteral("你好") << QString()
                             << QByteArray("\x63\x2c\xe4\xbd\xa0\xe5\xa5\xbd");
    QTest::newRow("2000 characters") << QString(2000, QLatin1Char('a')) << QString()
                                     << "c," + QByteArray(2000, 'a');
    QTest::newRow("2001 characters") << QString(2001, QLatin1Char('a')) << kTooLong << QByteArray();
    QTest::newRow("2000 Chinese characters, 6002 bytes")
        << chinese2000 << QString() << "c," + QByteArray("\xe4\xbd\xa0").repeated(2000);
    // 2000 characters but 2001 UTF-16 code units.
    QTest::newRow("surrogate pair past the limit")
        << QString(1999, QLatin1Char('a')) + QStringLiteral("😀") << kTooLong << QByteArray();
    QTest::newRow("blanks and line breaks only") << " \n\t \n" << QString() << QByteArray("c, \n\t \n");
    QTest::newRow("separator and markup unchanged")
        << "<b>x</b>~+^`&" << QString() << QByteArray("c,<b>x</b>~+^`&");
    QTest::newRow("empty") << QString() << kTooSoon << QByteArray();
    QTest::newRow("zero character cuts the message")
        << QStringLiteral("ab") + QChar(0) + QStringLiteral("cd") << QString() << QByteArray("c,ab");
}

void TestChat::limits()
{
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, sent);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    compose(w)->setPlainText(text);

    click(w, "btnSend");

    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(messageBox(w), refusal);
    if (refusal.isEmpty()) {
        QCOMPARE(compose(w)->toPlainText(), QString());
        QVERIFY(!WidgetInspector::canSend(w));
    } else {
        QCOMPARE(compose(w)->toPlainText(), text);
        QVERIFY(WidgetInspector::canSend(w));
    }
}

void TestChat::interval()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);

    compose(w)->setPlainText(QStringLiteral("one"));
    QElapsedTimer clock;
    click(w, "btnSend");
    clock.start();
    const QList<PendingTimer> timers = pendingSingleShots(kIntervalMs);
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first().type, Qt::PreciseTimer);

    compose(w)->setPlainText(QStringLiteral("two"));
    click(w, "btnSend");
    QCOMPARE(messageBox(w), kTooSoon);
    QCOMPARE(compose(w)->toPlainText(), QStringLiteral("two"));

    QTRY_VERIFY_WITH_TIMEOUT(WidgetInspector::canSend(w), 3000);
    QVERIFY2(clock.elapsed() >= kIntervalMs - 5, qPrintable(QString::number(clock.elapsed())));
    click(w, "btnSend");
    QCOMPARE(receivedBeforeMarker(w, m_peer), QByteArray("c,onec,two"));
    QCOMPARE(messageBox(w), kTooSoon);

    // An empty editor is refused with the same words, long after the last send.
    QTRY_VERIFY_WITH_TIMEOUT(WidgetInspector::canSend(w), 3000);
    click(w, "btnSend");
    QCOMPARE(messageBox(w), kTooSoon + QLatin1Char('\n') + kTooSoon);
    QVERIFY(WidgetInspector::canSend(w));
}

void TestChat::refusedTextStartsNoInterval()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    compose(w)->setPlainText(QString(2001, QLatin1Char('x')));
    click(w, "btnSend");
    QVERIFY(pendingSingleShots(kIntervalMs).isEmpty());

    compose(w)->setPlainText(QString(2000, QLatin1Char('x')));
    click(w, "btnSend");
    QCOMPARE(receivedBeforeMarker(w, m_peer), "c," + QByteArray(2000, 'x'));
    QCOMPARE(messageBox(w), kTooLong);
}

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
