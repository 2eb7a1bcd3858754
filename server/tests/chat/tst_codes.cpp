#include "serverfixture.h"

#include <QSqlQuery>

#include <cmath>

#include <sodium.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace tavrel::server::answers;
using namespace Qt::StringLiterals;

constexpr qint64 kSecond = 1000;
constexpr qint64 kHour = 3600 * kSecond;
constexpr qint64 kDay = 24 * kHour;

const auto answer = [](const QString &text) { return registrationReply(text); };
const auto sent = [](const QString &email) { return answer(codeSent(email, 10)); };
const QByteArray kRefused = loginReply(loginRefused());
const QByteArray kLoggedIn = loginReply(loginOk());

// Verification codes and failed logins with the default limits: delays per (name, source),
// a lock only from many sources, alike for any name. The clock is moved rather than waited
// for.
class TestCodes : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

    QString wrongCode(const QString &email) const
    {
        return f.codeFor(email) == u"000000"_s ? u"000001"_s : u"000000"_s;
    }

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // The resend wait holds for address and name alike; five wrong tries use a code up and
    // block its pair; whatever another source sends, the code in the mail stays good.
    void resendWait_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("email");
        QTest::addColumn<bool>("useUp"); // the first code gets five wrong tries, else one
        QTest::newRow("same address, another name") << u"bob"_s << u"a@example.org"_s << false;
        QTest::newRow("another address, same name") << u"alice"_s << u"b@example.org"_s << false;
        QTest::newRow("same pair") << u"alice"_s << u"a@example.org"_s << false;
        QTest::newRow("same pair, code used up") << u"alice"_s << u"a@example.org"_s << true;
    }
    void resendWait()
    {
        QFETCH(QString, name);
        QFETCH(QString, email);
        QFETCH(bool, useUp);
        f.startServer();
        TestClient *owner = f.connected();
        TestClient *other = f.connected(2);
        const QString mine = u"a@example.org"_s;
        QCOMPARE(owner->answerTo(reg(u"alice"_s, mine)), sent(mine));
        const QString code = f.codeFor(mine);
        for (int left = 4; left >= (useUp ? 0 : 4); --left)
            QCOMPARE(other->answerTo(reg(u"alice"_s, mine, wrongCode(mine))),
                     answer(left ? codeWrong(left) : codeBlocked(60)));
        if (useUp)
            QCOMPARE(owner->answerTo(reg(u"alice"_s, mine, code)), answer(codeBlocked(60)));
        QCOMPARE(other->answerTo(reg(name, email)), answer(useUp ? codeBlocked(60) : codeResendWait(60)));
        f.advance(60 * kSecond);
        // Once its pair may ask again, a used-up code only brings a new one.
        if (useUp)
            QCOMPARE(owner->answerTo(reg(u"alice"_s, mine, code)), sent(mine));
        QCOMPARE(other->answerTo(reg(name, email)), useUp ? answer(codeResendWait(60)) : sent(email));
        if (!useUp)
            QCOMPARE(owner->answerTo(reg(u"alice"_s, mine, code)), answer(registered()));
    }

    // Five code mails a day for a name and for an address, twenty an hour from a source
    // address; other sources go on meanwhile. Each code takes five wrong tries from anywhere,
    // so that an attacker has 25 guesses a day at one victim's code.
    void dailyAndSourceLimits()
    {
        f.startServer();
        TestClient *client = f.connected();
        TestClient *guesser = f.connected(3);
        const QString victim = u"victim@example.org"_s;
        const auto mail = [](int i) { return u"u%1@example.org"_s.arg(i); };
        int guesses = 0;
        for (int i = 0; i < 5; ++i) {
            QCOMPARE(client->answerTo(reg(u"alice"_s, mail(i))), sent(mail(i)));
            QCOMPARE(client->answerTo(reg(u"m%1"_s.arg(i), victim)), sent(victim));
            for (int left = 4; left >= 0; --left, ++guesses)
                QCOMPARE(guesser->answerTo(reg(u"m%1"_s.arg(i), victim, wrongCode(victim))),
                         answer(left ? codeWrong(left) : codeBlocked(60)));
            f.advance(61 * kSecond);
        }
        QCOMPARE(client->answerTo(reg(u"alice"_s, mail(5))), answer(codeDailyLimit()));
        QCOMPARE(client->answerTo(reg(u"m5"_s, victim)), answer(codeDailyLimit()));
        const double chanceInAYear = 1 - std::pow(1 - 1e-6, guesses * 365.0);
        qInfo("guesses per victim address per day: %d; per source address per hour: %d (over all victims)",
              guesses, f.config.codeMailsPerSourceHour * 5);
        qInfo("one victim's code: %.2f%% guessed within a year, %.0f years on average", chanceInAYear * 100,
              1e6 / guesses / 365);
        for (int i = 10; i < 20; ++i)
            QCOMPARE(client->answerTo(reg(u"u%1"_s.arg(i), mail(i))), sent(mail(i)));
        QCOMPARE(client->answerTo(reg(u"u20"_s, mail(20))), answer(codeSourceLimit()));
        QCOMPARE(f.connected(2)->answerTo(reg(u"u21"_s, mail(21))), sent(mail(21)));
        // The source's hour ends long before the name's and the address's day.
        f.advance(kHour);
        QCOMPARE(client->answerTo(reg(u"u20"_s, mail(20))), sent(mail(20)));
        QCOMPARE(client->answerTo(reg(u"alice"_s, mail(5))), answer(codeDailyLimit()));
        f.advance(kDay - kHour - 5 * 61 * kSecond);
        for (const auto &[name, email] : {std::pair{u"alice"_s, mail(5)}, {u"m5"_s, victim}})
            QCOMPARE(client->answerTo(reg(name, email)), sent(email));
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
            QVERIFY(store.addFailure(u"old"_s, u"127.0.0.1"_s, now - kHour - 1) > 0);
            QVERIFY(store.addFailure(u"new"_s, u"127.0.0.1"_s, now) > 0);
        };
        // The rows in each table the purge empties.
        const auto kept = [&] {
            QList<int> rows;
            {
                QSqlDatabase db = QSqlDatabase::addDatabase(u"QSQLITE"_s, u"count"_s);
                db.setDatabaseName(database);
                QSqlQuery query(db);
                for (const QString &table : {u"pending_codes"_s, u"code_mails"_s, u"name_failures"_s})
                    rows.append(db.open() && query.exec(u"SELECT count(*) FROM "_s + table) && query.next()
                                    ? query.value(0).toInt()
                                    : -1);
            }
            QSqlDatabase::removeDatabase(u"count"_s);
            return rows;
        };
        fill();
        QTRY_COMPARE_WITH_TIMEOUT(kept(), (QList<int>{2, 1, 1}), 3000);
        f.server.reset();
        fill();
        f.config.purgeIntervalMs = 3600 * 1000;
        f.startServer();
        QCOMPARE(kept(), (QList<int>{2, 2, 2}));
    }

    // Delays grow per name and source (alike for a name that does not exist, which
    // timingTellsNothing tries); they hold up neither another source nor, after a success,
    // the same one.
    void delaysGrow()
    {
        f.startServer({u"alice"_s});
        TestClient *client = f.connected(2);
        const QByteArray guess = login(u"alice"_s, u"guess"_s);
        for (const int delay : {1, 2, 4, 8, 16, 32, 60, 60}) {
            QCOMPARE(client->answerTo(guess), kRefused);
            // Within the delay even the right password is not checked.
            QCOMPARE(client->answerTo(login(u"alice"_s)), loginReply(loginThrottled(delay)));
            f.advance((delay - 1) * kSecond);
            QCOMPARE(client->answerTo(login(u"alice"_s)), loginReply(loginThrottled(1)));
            f.advance(kSecond);
        }
        QCOMPARE(client->answerTo(guess), kRefused);
        QCOMPARE(f.connected(3)->answerTo(login(u"alice"_s)), kLoggedIn);
        f.advance(60 * kSecond);
        QCOMPARE(client->answerTo(login(u"alice"_s)), kLoggedIn);
        QCOMPARE(client->answerTo(guess), kRefused);
        QCOMPARE(client->answerTo(login(u"alice"_s)), loginReply(loginThrottled(1)));
    }

    // 50 failures in an hour lock a name, counting at most 10 from each source, alike for
    // any name; a source where the name logged in before passes the lock, so that strangers
    // cannot lock its owner out.
    void lockNeedsManySources_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sources");
        QTest::addColumn<bool>("ownerKnown"); // the owner logged in from its source before
        QTest::newRow("five sources, owner from a new source") << u"alice"_s << 5 << false;
        QTest::newRow("ten sources, owner where it logged in before") << u"alice"_s << 10 << true;
        QTest::newRow("five sources, unknown name") << u"zed"_s << 5 << false;
    }
    void lockNeedsManySources()
    {
        QFETCH(QString, name);
        QFETCH(int, sources);
        QFETCH(bool, ownerKnown);
        f.startServer({u"alice"_s});
        TestClient *owner = f.connected(99);
        if (ownerKnown)
            QCOMPARE(owner->answerTo(login(name)), kLoggedIn);
        QList<TestClient *> guessers;
        for (int s = 0; s < sources; ++s)
            guessers.append(f.connected(10 + s));
        for (int round = 0; round < 50 / sources; ++round) {
            f.advance(round > 0 ? 60 * kSecond : 0);
            // Side by side: each from a source of its own.
            for (TestClient *guesser : std::as_const(guessers))
                guesser->send(login(name, u"guess"_s));
            for (TestClient *guesser : std::as_const(guessers))
                QCOMPARE(guesser->take('l'), kRefused);
        }
        const QByteArray right = loginReply(name == u"alice"_s ? loginOk() : loginRefused());
        QCOMPARE(owner->answerTo(login(name)), ownerKnown ? right : loginReply(loginLocked(15)));
        if (ownerKnown)
            return;
        f.advance(15 * 60 * kSecond);
        QCOMPARE(owner->answerTo(login(name)), right);
    }

    // A spray from one source (ten connections) of wrong passwords at new names, or of
    // registrations that ask whether names are taken: only the source's budget of tries gets
    // a true answer (and costs a hash); the rest are told to wait, alike for names that
    // exist and names that do not. A user who logged in there before, and every other
    // source, go on as usual.
    void sourceBudget_data()
    {
        QTest::addColumn<bool>("registering");
        QTest::newRow("logins at new names") << false;
        QTest::newRow("registrations of taken names") << true;
    }
    void sourceBudget()
    {
        QFETCH(bool, registering);
        QStringList names{u"bob"_s, u"alice"_s};
        for (int i = 0; i < 90; ++i)
            names.append(u"a%1"_s.arg(i));
        // The budget alone is under test: the source may hold all its slots without logging in.
        f.config.maxUnauthenticatedPerAddress = f.config.maxPerAddress;
        f.startServer(registering ? names : names.mid(0, 2));
        TestClient *bob = f.connected(2);
        QCOMPARE(bob->answerTo(login(u"bob"_s)), kLoggedIn);
        QList<TestClient *> sprayers;
        for (int i = 0; i < 9; ++i)
            sprayers.append(f.connected(2));
        const QByteArray told = registering ? answer(nameTaken()) : kRefused;
        const QByteArray wait =
            registering ? answer(registrationThrottled(3600)) : loginReply(loginThrottled(3600));
        const QByteArray busy = registering ? answer(serverBusy()) : loginReply(serverBusy());
        int answered = 0;
        int tries = 0;
        for (int round = 0; round < 10; ++round) {
            for (TestClient *sprayer : std::as_const(sprayers)) {
                const QString name = u"a%1"_s.arg(tries++);
                sprayer->send(registering ? reg(name, name + u"@example.org"_s) : login(name, u"guess"_s));
            }
            for (TestClient *sprayer : std::as_const(sprayers)) {
                const QByteArray reply = sprayer->take(registering ? 'r' : 'l');
                answered += reply == told;
                QVERIFY2(reply == told || reply == wait || reply == busy, reply.constData());
            }
        }
        qInfo("%s from one source: %d of %d tries answered", registering ? "registrations" : "logins",
              answered, tries);
        QCOMPARE(answered, f.config.loginFailuresPerSource);
        TestClient *sprayer = sprayers.first();
        if (registering) {
            QCOMPARE(sprayer->answerTo(reg(u"fresh"_s, u"fresh@example.org"_s)), wait);
            QCOMPARE(f.connected(3)->answerTo(reg(u"fresh"_s, u"fresh@example.org"_s)),
                     sent(u"fresh@example.org"_s));
        } else {
            for (const QString &name : {u"alice"_s, u"zed"_s})
                QCOMPARE(sprayer->answerTo(login(name, u"guess"_s)), wait);
            QCOMPARE(f.connected(3)->answerTo(login(u"alice"_s)), kLoggedIn);
        }
        QCOMPARE(sprayer->answerTo(login(u"bob"_s)), kLoggedIn);
    }

    // Six sources of ten connections each flood the account queue with logins that each cost
    // a real hash; another user still logs in within 2 s.
    void queueFlood()
    {
        f.config.pwhashOps = crypto_pwhash_OPSLIMIT_INTERACTIVE;
        f.config.pwhashMem = 32 << 20;
        // Every flooding login is checked: the queue alone must keep them apart.
        f.config.loginFailuresPerSource = 1 << 20;
        f.config.maxUnauthenticatedPerAddress = f.config.maxPerAddress;
        f.startServer({u"alice"_s});
        constexpr int kSources = 6;
        QList<TestClient *> flood;
        for (int source = 0; source < kSources; ++source) {
            for (int i = 0; i < f.config.maxPerAddress; ++i)
                flood.append(f.connected(10 + source));
            // The server takes connections in its event loop, which connecting blocks.
            QTest::qWait(50);
        }
        int sent = 0;
        int busy = 0;
        QElapsedTimer pace;
        const auto keepFlooding = [&] {
            // Each connection sends again once answered, within the server's message rate.
            if (pace.isValid() && pace.elapsed() < 110)
                return;
            pace.start();
            for (TestClient *client : std::as_const(flood)) {
                const QByteArray reply = client->take('l', 0);
                if (sent < int(flood.size()) || !reply.isEmpty()) {
                    busy += reply == loginReply(serverBusy());
                    client->socket.write(login(u"f%1"_s.arg(sent++), u"guess"_s));
                }
            }
        };
        // The flood runs alone for 1.5 s first.
        QVERIFY(!QTest::qWaitFor([&] { return keepFlooding(), false; }, 1500));
        TestClient *user = f.connected(3);
        user->socket.write(login(u"alice"_s));
        QElapsedTimer clock;
        clock.start();
        QByteArray reply;
        QVERIFY(
            QTest::qWaitFor([&] { return keepFlooding(), !(reply = user->take('l', 0)).isEmpty(); }, 10000));
        const qint64 waitedMs = clock.elapsed();
        qInfo("queue flood: %d logins from %d sources, %d answered busy; the user waited %lld ms", sent,
              kSources, busy, waitedMs);
        QCOMPARE(reply, kLoggedIn);
        QVERIFY2(waitedMs < 2000, qPrintable(QString::number(waitedMs)));
    }

    // A delayed try costs no hash; a refused one costs the same hash for any name, and the
    // delays grow alike for both.
    void timingTellsNothing()
    {
        f.config.pwhashOps = 4;
        f.config.pwhashMem = 32 << 20;
        f.startServer({u"alice"_s});
        TestClient *client = f.connected();
        // The shortest refused try of name and the shortest delayed one, of five each.
        const auto timed = [&](const QString &name) {
            std::array<qint64, 2> best{std::numeric_limits<qint64>::max(),
                                       std::numeric_limits<qint64>::max()};
            for (int i = 0; i < 10; ++i) {
                f.advance(i % 2 ? 0 : 61 * kSecond);
                client->send(login(name, u"guess"_s));
                QElapsedTimer clock;
                clock.start();
                const QByteArray answer = client->take('l');
                best[i % 2] = std::min(best[i % 2], clock.elapsed());
                if (answer != loginReply(i % 2 ? loginThrottled(1 << i / 2) : loginRefused()))
                    return std::array<qint64, 2>{-1, -1};
            }
            return best;
        };
        const auto [known, knownDelayed] = timed(u"alice"_s);
        const auto [unknown, unknownDelayed] = timed(u"zed"_s);
        QVERIFY(known > 0 && unknown > 0);
        // A refusal takes about one hash (timed here) longer than a delayed try.
        const QByteArray stored = storedHash(f.config.pwhashOps, f.config.pwhashMem);
        QElapsedTimer hashClock;
        hashClock.start();
        QCOMPARE(crypto_pwhash_str_verify(stored.constData(), "other", 5), -1);
        const qint64 hashMs = hashClock.elapsed();
        QVERIFY2(std::min(known, unknown) - std::max(knownDelayed, unknownDelayed) > hashMs / 2,
                 "a delayed try hashed");
        const qint64 knownHash = known - knownDelayed;
        const qint64 unknownHash = unknown - unknownDelayed;
        QVERIFY2(unknownHash * 5 > knownHash * 2 && knownHash * 5 > unknownHash * 2,
                 "a refusal takes longer for one kind of name");
    }
};

QTEST_GUILESS_MAIN(TestCodes)
#include "tst_codes.moc"
