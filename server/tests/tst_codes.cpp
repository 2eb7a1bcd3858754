#include "serverfixture.h"

#include <QSqlQuery>

#include <cmath>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

constexpr qint64 kSecond = 1000;
constexpr qint64 kHour = 3600 * kSecond;
constexpr qint64 kDay = 24 * kHour;

const auto answer = [](const QString &text) { return answers::registrationReply(text); };
const auto sent = [](const QString &email) { return answer(answers::codeSent(email, 10)); };

int rowsIn(const QString &database, const QString &table)
{
    QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"count"_s);
    db.setDatabaseName(database);
    int rows = -1;
    if (db.open()) {
        QSqlQuery query(db);
        if (query.exec(u"SELECT count(*) FROM "_s + table) && query.next())
            rows = query.value(0).toInt();
    }
    db = QSqlDatabase();
    QSqlDatabase::removeDatabase(u"count"_s);
    return rows;
}

} // namespace

// Verification codes with the default limits; the clock is moved rather than waited for.
class TestCodes : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

    QByteArray ask(TestClient *client, const QString &name, const QString &email, const QString &code = {})
    {
        client->send(reg(name, email, code));
        return client->take('r');
    }
    QString wrongCode(const QString &email) const
    {
        return f.codeFor(email) == u"000000"_s ? u"000001"_s : u"000000"_s;
    }

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // The resend wait holds for address and name alike; a used-up code blocks its pair.
    void resendWait_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("useUp"); // the first code gets five wrong tries
        QTest::addColumn<QString>("refusal");
        const QString wait = answers::codeResendWait(60);
        QTest::newRow("same address, another name") << u"bob"_s << u"a@example.org"_s << false << wait;
        QTest::newRow("another address, same name") << u"alice"_s << u"b@example.org"_s << false << wait;
        QTest::newRow("same pair, code used up")
            << u"alice"_s << u"a@example.org"_s << true << answers::codeBlocked(60);
    }
    void resendWait()
    {
        QFETCH(QString, name);
        QFETCH(QString, email);
        QFETCH(bool, useUp);
        QFETCH(QString, refusal);
        f.startServer();
        TestClient *client = f.connected();
        QCOMPARE(ask(client, u"alice"_s, u"a@example.org"_s), sent(u"a@example.org"_s));
        if (useUp) {
            const QString wrong = wrongCode(u"a@example.org"_s);
            for (int left = 4; left >= 0; --left)
                QCOMPARE(ask(client, u"alice"_s, u"a@example.org"_s, wrong),
                         answer(left ? answers::codeWrong(left) : answers::codeBlocked(60)));
            QCOMPARE(ask(client, u"alice"_s, u"a@example.org"_s, f.codeFor(u"a@example.org"_s)),
                     answer(answers::codeBlocked(60)));
        }
        QCOMPARE(ask(client, name, email), answer(refusal));
        f.advance(60 * kSecond);
        QCOMPARE(ask(client, name, email), sent(email));
    }

    // Five code mails a day for a name (for an address: see guessingRate), twenty an hour from
    // a source address; other sources go on meanwhile.
    void dailyAndSourceLimits()
    {
        f.startServer();
        TestClient *client = f.connected();
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(ask(client, u"alice"_s, u"a%1@example.org"_s.arg(i)), sent(u"a%1@example.org"_s.arg(i)));
            f.advance(61 * kSecond);
        }
        QCOMPARE(ask(client, u"alice"_s, u"a5@example.org"_s), answer(answers::codeDailyLimit()));
        for (int i = 5; i < 20; ++i)
            QCOMPARE(ask(client, u"u%1"_s.arg(i), u"u%1@example.org"_s.arg(i)),
                     sent(u"u%1@example.org"_s.arg(i)));
        QCOMPARE(ask(client, u"u20"_s, u"u20@example.org"_s), answer(answers::codeSourceLimit()));
        QCOMPARE(ask(f.connected(2), u"u21"_s, u"u21@example.org"_s), sent(u"u21@example.org"_s));
        f.advance(kDay - 5 * 61 * kSecond);
        QCOMPARE(ask(client, u"alice"_s, u"a5@example.org"_s), sent(u"a5@example.org"_s));
        QCOMPARE(ask(client, u"u20"_s, u"u20@example.org"_s), sent(u"u20@example.org"_s));
    }

    // Whatever another connection sends, the code in the mail stays good.
    void pendingCodeSurvivesOthers()
    {
        f.startServer();
        TestClient *owner = f.connected();
        TestClient *other = f.connected(2);
        const QString email = u"a@example.org"_s;
        QCOMPARE(ask(owner, u"alice"_s, email), sent(email));
        const QString code = f.codeFor(email);
        QCOMPARE(ask(other, u"alice"_s, email), answer(answers::codeResendWait(60)));
        QCOMPARE(ask(other, u"alice"_s, email, wrongCode(email)), answer(answers::codeWrong(4)));
        f.advance(61 * kSecond);
        QCOMPARE(ask(other, u"alice"_s, email), sent(email));
        QCOMPARE(f.mailsTo(email).size(), 2);
        QCOMPARE(f.codeFor(email), code);
        QCOMPARE(ask(owner, u"alice"_s, email, code), answer(answers::registered()));
    }

    // Expired codes, day-old mails and hour-old login failures go, at start and periodically.
    void purge()
    {
        f.config.purgeIntervalMs = 100;
        f.startServer();
        const QString database = f.dataPath(u"tavrel.sqlite"_s);
        const qint64 now = f.config.clock();
        const auto fill = [&] {
            Store store(database);
            QVERIFY(store.open());
            QVERIFY(
                store.putPendingCode(u"old@x.org"_s, u"old"_s, {u"111111"_s, now - kHour, now - 1, 0, 0}));
            QVERIFY(store.putPendingCode(u"new@x.org"_s, u"new"_s, {u"222222"_s, now, now + kHour, 0, 0}));
            QVERIFY(store.putPendingCode(u"used@x.org"_s, u"used"_s,
                                         {u"333333"_s, now - kHour, now - 1, 5, now + kHour}));
            QVERIFY(store.recordCodeMail(u"old@x.org"_s, u"old"_s, u"127.0.0.1"_s, now - kDay - 1) > 0);
            QVERIFY(store.recordCodeMail(u"new@x.org"_s, u"new"_s, u"127.0.0.1"_s, now - kDay + kHour) > 0);
            QVERIFY(store.addNameFailure(u"old"_s, u"127.0.0.1"_s, now - kHour - 1, 0, 10) > 0);
            QVERIFY(store.addNameFailure(u"new"_s, u"127.0.0.1"_s, now, 0, 10) > 0);
        };
        const auto kept = [&] {
            return QList<int>{rowsIn(database, u"pending_codes"_s), rowsIn(database, u"code_mails"_s),
                              rowsIn(database, u"name_failures"_s)};
        };
        fill();
        QTRY_COMPARE_WITH_TIMEOUT(kept(), (QList<int>{2, 1, 1}), 3000);
        f.server.reset();
        fill();
        f.config.purgeIntervalMs = 3600 * 1000;
        f.startServer();
        QCOMPARE(kept(), (QList<int>{2, 2, 2}));
    }

    // How many guesses at a mailed code the default limits allow an attacker per victim and
    // per source address, and how long a six-digit code then holds.
    void guessingRate()
    {
        f.startServer();
        const QString victim = u"victim@example.org"_s;
        TestClient *attacker = f.connected();
        int guesses = 0;
        int mails = 0;
        for (int round = 0; round < 14; ++round) {
            const QByteArray reply = ask(attacker, u"mallory"_s, victim);
            if (reply == sent(victim)) {
                ++mails;
                const QString wrong = wrongCode(victim);
                for (int i = 0; i < 5; ++i) {
                    const QByteArray result = ask(attacker, u"mallory"_s, victim, wrong);
                    if (result != answer(answers::codeWrong(4 - i)) &&
                        result != answer(answers::codeBlocked(60)))
                        break;
                    ++guesses;
                }
            } else {
                QCOMPARE(reply, answer(answers::codeDailyLimit()));
            }
            // The day's codes go in its first minutes; then wait for the day to pass.
            f.advance(round % 7 == 6 ? kDay - 6 * 61 * kSecond : 61 * kSecond);
        }
        const double perVictimPerDay = guesses / 2.0;
        QCOMPARE(mails, 10);
        QCOMPARE(perVictimPerDay, 25.0);

        f.advance(kHour);
        int sourceMails = 0;
        for (int i = 0; i < 30; ++i)
            sourceMails += ask(attacker, u"m%1"_s.arg(i), u"v%1@example.org"_s.arg(i)) ==
                           sent(u"v%1@example.org"_s.arg(i));
        const int perSourcePerHour = sourceMails * 5;
        QCOMPARE(sourceMails, 20);

        const double codes = 1e6;
        const double chanceInAYear = 1 - std::pow(1 - 1 / codes, perVictimPerDay * 365);
        const double meanYears = codes / perVictimPerDay / 365;
        qInfo("guesses per victim address per day: %.0f; per source address per hour: %d (over all victims)",
              perVictimPerDay, perSourcePerHour);
        qInfo("one victim's code: %.2f%% guessed within a year, %.0f years on average", chanceInAYear * 100,
              meanYears);
        QVERIFY(meanYears > 100);
        QVERIFY(chanceInAYear < 0.01);
    }
};

QTEST_GUILESS_MAIN(TestCodes)
#include "tst_codes.moc"
