#include "pendingtimers.h"
#include "scriptedpeer.h"

namespace {

constexpr int kLockoutMs = 60000;
const QString kTooShort = QStringLiteral("错误：密码长度小于6！");
const QString kMismatch = QStringLiteral("错误：两次输入的密码不一致！");
const QString kLockout = QStringLiteral("延时一分钟后才能再次点击注册");

// Salted digests computed apart from this code from the UTF-8 bytes of the password with a
// reference MD5: MD5 as lowercase hex, "qzrt#=" appended, MD5 again.
const QByteArray kEmpty("34264813802e03ae74c7de1d1c7f8888");      // ""
const QByteArray kSecret1("a557f5ed972a8a5df3ae5a48beef8143");    // "secret1"
const QByteArray kBlanks("ad9011ae2e43ee1de49bcb28b88cfe5a");     // " secret1 "
const QByteArray kChinese("eb83d2da858abe40449d2f7a862b717a");    // "密码口令安全"
const QByteArray kSurrogates("b170c899026166e32a2325853268e7f5"); // "😀😁😂"

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

    // The repeat "x" would fail a registration: a login must not look at it.
    QTest::newRow("login, 44 bytes") << QByteArray("btnLog") << QStringList{"alice", "", "", "secret1", "x"}
                                     << QString() << "l,alice~+^`&" + kSecret1;
    QTest::newRow("login, all empty")
        << QByteArray("btnLog") << QStringList() << QString() << "l,~+^`&" + kEmpty;
    QTest::newRow("login, zero character cuts")
        << QByteArray("btnLog") << QStringList{QStringLiteral("al") + QChar(0) + "ice", "", "", "secret1"}
        << QString() << QByteArray("l,al");

    const struct
    {
        const char *tag, *password, *repeat;
        QString notice;
        QByteArray digest = {}; // of a request sent
    } registrations[] = {
        {"equal, long", "secret1", "secret1", kLockout, kSecret1},
        {"equal, five", "abcde", "abcde", kTooShort},
        {"different, five", "abcde", "abcdefgh", kTooShort},
        {"different, long", "secret1", "secret2", kMismatch},
        {"letter case only", "Secret1", "secret1", kMismatch},
        {"blanks kept", " secret1 ", " secret1 ", kLockout, kBlanks},
        {"six Chinese characters", "密码口令安全", "密码口令安全", kLockout, kChinese},
        // Three characters but six UTF-16 code units.
        {"three surrogate pairs", "😀😁😂", "😀😁😂", kLockout, kSurrogates},
    };
    for (const auto &row : registrations)
        QTest::newRow(row.tag) << QByteArray("btnReg")
                               << QStringList{"bob", "b@x", "42", row.password, row.repeat} << row.notice
                               << (row.digest.isEmpty() ? QByteArray()
                                                        : "r,bob~+^`&b@x~+^`&42~+^`&" + row.digest);
    QTest::newRow("empty fields") << QByteArray("btnReg") << QStringList{"", "", "", "secret1", "secret1"}
                                  << kLockout << "r,~+^`&~+^`&~+^`&" + kSecret1;
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
    QCOMPARE(shown(w), notice);
    QCOMPARE(sendButtonsEnabled(w), 0);
    QCOMPARE(WidgetProbe::userName(w), button == "btnLog" ? fields.value(0) : QStringLiteral("carol"));
    const bool locked = notice == kLockout;
    QPushButton *reg = WidgetProbe::button(w, "btnReg");
    QCOMPARE(reg->isEnabled(), !locked);
    const QList<PendingTimer> timers = pendingSingleShots(kLockoutMs);
    QCOMPARE(timers.size(), locked ? 1 : 0);
    if (locked) {
        timers.first().fire();
        QVERIFY(reg->isEnabled());
        QCOMPARE(sendButtonsEnabled(w), 0);
    }
}

QTEST_MAIN(TestAccount)
#include "tst_account.moc"
