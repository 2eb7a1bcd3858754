#include "peerconnection.h"
#include "pendingtimers.h"
#include "scriptedpeer.h"
#include "widget.h"
#include "widgetinspector.h"

#include <QTest>

// The salted digests below were computed apart from this code (MD5 of the UTF-8 bytes, hex,
// salt appended, MD5 again).
namespace {

const QByteArray kSep("~+^`&");
const QByteArray kEmptyDigest("34264813802e03ae74c7de1d1c7f8888");      // ""
const QByteArray kSecret1Digest("a557f5ed972a8a5df3ae5a48beef8143");    // "secret1"
const QByteArray kBlanksDigest("ad9011ae2e43ee1de49bcb28b88cfe5a");     // " secret1 "
const QByteArray kChineseDigest("eb83d2da858abe40449d2f7a862b717a");    // "密码口令安全"
const QByteArray kSurrogatesDigest("b170c899026166e32a2325853268e7f5"); // "😀😁😂"
constexpr int kLockoutMs = 60000;

const QString kTooShort = QStringLiteral("错误：密码长度小于6！");
const QString kMismatch = QStringLiteral("错误：两次输入的密码不一致！");
const QString kLockout = QStringLiteral("延时一分钟后才能再次点击注册");

QString lastLine(Widget &w)
{
    return WidgetInspector::textEdit(w, "textEditRead")->toPlainText().split(QLatin1Char('\n')).last();
}

} // namespace

class TestAccount : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_peer.listen()); }
    void cleanup()
    {
        for (const PendingTimer &timer : pendingSingleShots(kLockoutMs))
            timer.fire();
    }
    void login_data();
    void login();
    void registration_data();
    void registration();
    void lockoutEnds();

private:
    ScriptedPeer m_peer;
};

void TestAccount::login_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("alice") << "alice"
                           << "secret1"
                           << "l,alice" + kSep + kSecret1Digest;
    QTest::newRow("everything empty") << QString() << QString() << "l," + kSep + kEmptyDigest;
    QTest::newRow("Chinese name, blanks kept in password")
        << QStringLiteral("张三") << " secret1 "
        << "l," + QStringLiteral("张三").toUtf8() + kSep + kBlanksDigest;
    QTest::newRow("separator inside the name") << "a~+^`&b"
                                               << "secret1"
                                               << "l,a" + kSep + "b" + kSep + kSecret1Digest;
    QTest::newRow("zero character cuts the message")
        << QStringLiteral("al") + QChar(0) + QStringLiteral("ice") << "secret1" << QByteArray("l,al");
}

void TestAccount::login()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QByteArray, sent);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    WidgetInspector::lineEdit(w, "lineEditName")->setText(name);
    WidgetInspector::lineEdit(w, "lineEditPasswd")->setText(password);
    // A repeat that would fail a registration: login must not look at it.
    WidgetInspector::lineEdit(w, "lineEditPasswd2")->setText(QStringLiteral("x"));
    WidgetInspector::setUserName(w, QStringLiteral("previous user"));
    setSendButtonsEnabled(w, true);

    click(w, "btnLog");

    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(WidgetInspector::userName(w), name);
    QVERIFY(!anySendButtonEnabled(w));
    QVERIFY(WidgetInspector::button(w, "btnReg")->isEnabled());
    QCOMPARE(WidgetInspector::textEdit(w, "textEditRead")->toPlainText(), QString());
    QCOMPARE(WidgetInspector::lineEdit(w, "lineEditPasswd")->text(), password);
}

void TestAccount::registration_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("repeat");
    QTest::addColumn<QString>("refusal"); // empty when the request goes out
    QTest::addColumn<QByteArray>("sent");

    const QByteArray fields = "r,bob" + kSep + "bob@example.org" + kSep + "4711" + kSep;
    QTest::newRow("equal, long") << "bob"
                                 << "secret1"
                                 << "secret1" << QString() << fields + kSecret1Digest;
    QTest::newRow("equal, five") << "bob"
                                 << "abcde"
                                 << "abcde" << kTooShort << QByteArray();
    QTest::newRow("equal, empty") << "bob" << QString() << QString() << kTooShort << QByteArray();
    QTest::newRow("different, short, longer repeat") << "bob"
                                                     << "abcde"
                                                     << "abcdefgh" << kTooShort << QByteArray();
    QTest::newRow("different, short, shorter repeat") << "bob"
                                                      << "abcde"
                                                      << "ab" << kTooShort << QByteArray();
    QTest::newRow("different, long") << "bob"
                                     << "secret1"
                                     << "secret2" << kMismatch << QByteArray();
    QTest::newRow("different, long, empty repeat") << "bob"
                                                   << "secret1" << QString() << kMismatch << QByteArray();
    QTest::newRow("letter case only") << "bob"
                                      << "Secret1"
                                      << "secret1" << kMismatch << QByteArray();
    QTest::newRow("trailing blank differs") << "bob"
                                            << "secret1 "
                                            << "secret1" << kMismatch << QByteArray();
    QTest::newRow("blanks kept") << "bob"
                                 << " secret1 "
                                 << " secret1 " << QString() << fields + kBlanksDigest;
    QTest::newRow("six Chinese characters")
        << "bob" << QStringLiteral("密码口令安全") << QStringLiteral("密码口令安全") << QString()
        << fields + kChineseDigest;
    // Three characters, six UTF-16 code units.
    QTest::newRow("three surrogate pairs")
        << "bob" << QStringLiteral("😀😁😂") << QStringLiteral("😀😁😂") << QString() << fields + kSurrogatesDigest;
    QTest::newRow("empty fields") << QString() << "secret1"
                                  << "secret1" << QString() << "r," + kSep + kSep + kSep + kSecret1Digest;
    QTest::newRow("zero character cuts the message")
        << QStringLiteral("bo") + QChar(0) + QStringLiteral("b") << "secret1"
        << "secret1" << QString() << QByteArray("r,bo");
}

void TestAccount::registration()
{
    QFETCH(QString, name);
    QFETCH(QString, password);
    QFETCH(QString, repeat);
    QFETCH(QString, refusal);
    QFETCH(QByteArray, sent);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    const bool emptyFields = name.isEmpty();
    WidgetInspector::lineEdit(w, "lineEditName")->setText(name);
    WidgetInspector::lineEdit(w, "lineEditEmail")->setText(emptyFields ? QString() : "bob@example.org");
    WidgetInspector::lineEdit(w, "lineEditCheckCode")->setText(emptyFields ? QString() : "4711");
    WidgetInspector::lineEdit(w, "lineEditPasswd")->setText(password);
    WidgetInspector::lineEdit(w, "lineEditPasswd2")->setText(repeat);
    WidgetInspector::setUserName(w, QStringLiteral("carol"));
    // As after a successful login: any registration click ends the permission to send.
    setSendButtonsEnabled(w, true);

    click(w, "btnReg");

    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QVERIFY(!anySendButtonEnabled(w));
    QCOMPARE(WidgetInspector::userName(w), QStringLiteral("carol"));
    const QList<PendingTimer> timers = pendingSingleShots(kLockoutMs);
    if (!refusal.isEmpty()) {
        QCOMPARE(WidgetInspector::textEdit(w, "textEditRead")->toPlainText(), refusal);
        QVERIFY(WidgetInspector::button(w, "btnReg")->isEnabled());
        QVERIFY(timers.isEmpty());
        return;
    }
    QCOMPARE(WidgetInspector::textEdit(w, "textEditRead")->toPlainText(), kLockout);
    QVERIFY(!WidgetInspector::button(w, "btnReg")->isEnabled());
    QCOMPARE(timers.size(), 1);
    timers.first().fire();
    QVERIFY(WidgetInspector::button(w, "btnReg")->isEnabled());
    QVERIFY(!anySendButtonEnabled(w));
}

void TestAccount::lockoutEnds()
{
    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    WidgetInspector::lineEdit(w, "lineEditName")->setText(QStringLiteral("bob"));
    WidgetInspector::lineEdit(w, "lineEditPasswd")->setText(QStringLiteral("secret1"));
    WidgetInspector::lineEdit(w, "lineEditPasswd2")->setText(QStringLiteral("secret1"));
    const QByteArray request = "r,bob" + kSep + kSep + kSep + kSecret1Digest;

    click(w, "btnReg");
    click(w, "btnReg"); // locked: nothing happens
    QCOMPARE(receivedBeforeMarker(w, m_peer), request);
    QCOMPARE(lastLine(w), kLockout);

    const QList<PendingTimer> timers = pendingSingleShots(kLockoutMs);
    QCOMPARE(timers.size(), 1);
    timers.first().fire();
    QVERIFY(pendingSingleShots(kLockoutMs).isEmpty());

    // The next click runs the checks again.
    WidgetInspector::lineEdit(w, "lineEditPasswd2")->setText(QStringLiteral("secret2"));
    click(w, "btnReg");
    QCOMPARE(lastLine(w), kMismatch);
    WidgetInspector::lineEdit(w, "lineEditPasswd2")->setText(QStringLiteral("secret1"));
    m_peer.clearReceived();
    click(w, "btnReg");
    QCOMPARE(receivedBeforeMarker(w, m_peer), request);
    QCOMPARE(WidgetInspector::textEdit(w, "textEditRead")->toPlainText(),
             kLockout + QLatin1Char('\n') + kMismatch + QLatin1Char('\n') + kLockout);
    QVERIFY(!WidgetInspector::button(w, "btnReg")->isEnabled());
}

QTEST_MAIN(TestAccount)
#include "tst_account.moc"
