#include "pendingtimers.h"
#include "scriptedpeer.h"

#include <QElapsedTimer>

namespace {

constexpr int kIntervalMs = 1000;
const QString kTooSoon = QStringLiteral("两次发送需间隔1秒以上");
const QString kTooLong = QStringLiteral("一次只能发送长度2000以内的文本");

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

private:
    ScriptedPeer m_peer;
};

void TestChat::limits_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("refusal"); // empty when the text goes out
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("Chinese") << "你好" << QString() << QByteArray("\x63\x2c\xe4\xbd\xa0\xe5\xa5\xbd");
    QTest::newRow("2000") << QString(2000, 'a') << QString() << "c," + QByteArray(2000, 'a');
    QTest::newRow("2001, no interval started") << QString(2001, 'a') << kTooLong << QByteArray();
    QTest::newRow("2000 Chinese, 6002 bytes")
        << QString(2000, QChar(0x4F60)) << QString() << "c," + QByteArray("\xe4\xbd\xa0").repeated(2000);
    // 2000 characters but 2001 UTF-16 code units.
    QTest::newRow("surrogate pair past the limit") << QString(1999, 'a') + "😀" << kTooLong << QByteArray();
    QTest::newRow("blanks and line breaks only") << " \n\t \n" << QString() << QByteArray("c, \n\t \n");
    QTest::newRow("separator and markup unchanged")
        << "<b>x</b>~+^`&" << QString() << QByteArray("c,<b>x</b>~+^`&");
    QTest::newRow("empty") << QString() << kTooSoon << QByteArray();
    QTest::newRow("zero character cuts")
        << QStringLiteral("ab") + QChar(0) + "cd" << QString() << QByteArray("c,ab");
}

void TestChat::limits()
{
    QFETCH(QString, text);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, sent);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    WidgetProbe::textEdit(w, "textEditWrite")->setPlainText(text);

    click(w, "btnSend");

    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(shown(w), refusal);
    // A refused text stays for the user to edit, and starts no interval.
    QCOMPARE(shown(w, "textEditWrite"), refusal.isEmpty() ? QString() : text);
    QCOMPARE(WidgetProbe::canSend(w), !refusal.isEmpty());
    QCOMPARE(pendingSingleShots(kIntervalMs).size(), refusal.isEmpty() ? 1 : 0);
}

void TestChat::interval()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    setSendButtonsEnabled(w, true);
    QTextEdit *compose = WidgetProbe::textEdit(w, "textEditWrite");

    compose->setPlainText(QStringLiteral("one"));
    click(w, "btnSend");
    QElapsedTimer clock;
    clock.start();
    const QList<PendingTimer> timers = pendingSingleShots(kIntervalMs);
    QCOMPARE(timers.size(), 1);
    QCOMPARE(timers.first().type, Qt::PreciseTimer);

    compose->setPlainText(QStringLiteral("two"));
    click(w, "btnSend");
    QCOMPARE(shown(w), kTooSoon);
    QCOMPARE(compose->toPlainText(), QStringLiteral("two"));

    QTRY_VERIFY_WITH_TIMEOUT(WidgetProbe::canSend(w), 3000);
    QVERIFY2(clock.elapsed() >= kIntervalMs - 5, qPrintable(QString::number(clock.elapsed())));
    click(w, "btnSend");
    QCOMPARE(receivedBeforeMarker(w, m_peer), QByteArray("c,onec,two"));
    QCOMPARE(shown(w), kTooSoon);
}

QTEST_MAIN(TestChat)
#include "tst_chat.moc"
