#include "peerconnection.h"
#include "pendingtimers.h"

#include <QTest>

namespace {

const QByteArray kSep("~+^`&");
// Salted digests computed apart from this code: MD5 of the UTF-8 bytes as hex, the salt
// appended, MD5 again.
const QByteArray kEmpty("34264813802e03ae74c7de1d1c7f8888");      // ""
const QByteArray kSecret1("a557f5ed972a8a5df3ae5a48beef8143");    // "secret1"
const QByteArray kBlanks("ad9011ae2e43ee1de49bcb28b88cfe5a");     // " secret1 "
const QByteArray kChinese("eb83d2da858abe40449d2f7a862b717a");    // "密码口令安全"
const QByteArray kSurrogates("b170c899026166e32a2325853268e7f5"); // "😀😁😂"
constexpr int kLockoutMs = 60000;
const QString kTooShort = QStringLiteral("错误：密码长度小于6！");
const QString kMismatch = QStringLiteral("错误：两次输入的密码不一致！");
const QString kLockout = QStringLiteral("延时一分钟后才能再次点击注册");

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
    void request_data();
    void request();

private:
    ScriptedPeer m_peer;
};

void TestAccount::request_data()
{
    QTest::addColumn<QByteArray>("button");
    QTest::addColumn<QStringList>("fields"); // name, e-mail, code, password, repeat
    QTest::addColumn<QString>("notice");
    QTest::addColumn<QByteArray>("sent");

    auto login = [](const char *tag, const QStringList &fields, const QByteArray &sent) {
        QTest::newRow(tag) << QByteArray("btnLog") << fields << QString() << sent;
    };
    // The repeat "x" would fail a registration: a login must not look at it.
    login("login", {"alice", "", "", "secret1", "x"}, "l,alice" + kSep + kSecret1);
    login("login, all empty", {}, "l," + kSep + kEmpty);
    login("login, Chinese name, blanks kept", {"张三", "", "", " secret1 "},
          "l," + QStringLiteral("张三").toUtf8() + kSep + kBlanks);
    login("login, separator in the name", {"a~+^`&b", "", "", "secret1"},
          "l,a" + kSep + "b" + kSep + kSecret1);
    login("login, zero character cuts", {QStringLiteral("al") + QChar(0) + "ice", "", "", "secret1"}, "l,al");

    auto reg = [](const char *tag, const QString &password, const QString &repeat, const QString &notice,
                  const QByteArray &digest = QByteArray()) {
        QTest::newRow(tag) << QByteArray("btnReg") << QStringList{"bob", "b@x", "42", password, repeat}
                           << notice
                           << (digest.isEmpty() ? QByteArray()
                                                : "r,bob" + kSep + "b@x" + kSep + "42" + kSep + digest);
    };
    reg("equal, long", "secret1", "secret1", kLockout, kSecret1);
    reg("equal, five", "abcde", "abcde", kTooShort);
    reg("equal, empty", "", "", kTooShort);
    reg("different, five, longer repeat", "abcde", "abcdefgh", kTooShort);
    reg("different, five, shorter repeat", "abcde", "ab", kTooShort);
    reg("different, long", "secret1", "secret2", kMismatch);
    reg("different, long, empty repeat", "secret1", "", kMismatch);
    reg("letter case only", "Secret1", "secret1", kMismatch);
    reg("blanks kept", " secret1 ", " secret1 ", kLockout, kBlanks);
    reg("six Chinese characters", "密码口令安全", "密码口令安全", kLockout, kChinese);
    // Three characters but six UTF-16 code units.
    reg("three surrogate pairs", "😀😁😂", "😀😁😂", kLockout, kSurrogates);
    QTest::newRow("empty fields") << QByteArray("btnReg") << QStringList{"", "", "", "secret1", "secret1"}
                                  << kLockout << "r," + kSep + kSep + kSep + kSecret1;
    QTest::newRow("zero character cuts")
        << QByteArray("btnReg") << QStringList{QStringLiteral("b") + QChar(0), "", "", "secret1", "secret1"}
        << kLockout << QByteArray("r,b");
}

void TestAccount::request()
{
    QFETCH(QByteArray, button);
    QFETCH(QStringList, fields);
    QFETCH(QString, notice);
    QFETCH(QByteArray, sent);

    Widget w;
    QVERIFY(connectToPeer(w, m_peer));
    const char *edits[] = {"lineEditName", "lineEditEmail", "lineEditCheckCode", "lineEditPasswd",
                           "lineEditPasswd2"};
    for (int i = 0; i < 5; ++i)
        WidgetProbe::lineEdit(w, edits[i])->setText(fields.value(i));
    WidgetProbe::setUserName(w, QStringLiteral("carol"));
    // As after a successful login: every account click ends the permission to send.
    setSendButtonsEnabled(w, true);

    click(w, button.constData());

    QCOMPARE(receivedBeforeMarker(w, m_peer), sent);
    QCOMPARE(WidgetProbe::textEdit(w, "textEditRead")->toPlainText(), notice);
    QVERIFY(!anySendButtonEnabled(w));
    const bool login = button == "btnLog";
    QCOMPARE(WidgetProbe::userName(w), login ? fields.value(0) : QStringLiteral("carol"));
    const bool locked = notice == kLockout;
    QPushButton *reg = WidgetProbe::button(w, "btnReg");
    QCOMPARE(reg->isEnabled(), !locked);
    const QList<PendingTimer> timers = pendingSingleShots(kLockoutMs);
    QCOMPARE(timers.size(), locked ? 1 : 0);
    if (locked) {
        timers.first().fire();
        QVERIFY(reg->isEnabled());
        QVERIFY(!anySendButtonEnabled(w));
    }
}

QTEST_MAIN(TestAccount)
#include "tst_account.moc"
