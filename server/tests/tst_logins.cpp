#include "serverfixture.h"

#include <sodium.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {
constexpr qint64 kSecond = 1000;
const auto reply = [](const QString &text) { return answers::loginReply(text); };
} // namespace

// Failed logins: delays per (name, source), a lock only from many sources, alike for any name.
class TestLogins : public QObject
{
    Q_OBJECT

    ServerFixture f{this};

    QByteArray attempt(TestClient *client, const QString &name, const QString &password)
    {
        client->send(login(name, password));
        return client->take('l');
    }

private slots:
    void init() { f.init(); }
    void cleanup() { f.cleanup(); }

    // Delays grow per name and source; they hold up neither another source nor, after a
    // success, the same one.
    void delaysGrow_data()
    {
        QTest::addColumn<QString>("name");
        QTest::newRow("known name") << u"alice"_s;
        QTest::newRow("unknown name") << u"zed"_s;
    }
    void delaysGrow()
    {
        QFETCH(QString, name);
        f.startServer({u"alice"_s});
        TestClient *client = f.connected(2);
        const QByteArray right = reply(name == u"alice"_s ? answers::loginOk() : answers::loginRefused());
        for (const int delay : {1, 2, 4, 8, 16, 32, 60, 60}) {
            QCOMPARE(attempt(client, name, u"guess"_s), reply(answers::loginRefused()));
            // Within the delay even the right password is not checked.
            QCOMPARE(attempt(client, name, kPassword), reply(answers::loginThrottled(delay)));
            f.advance((delay - 1) * kSecond);
            QCOMPARE(attempt(client, name, kPassword), reply(answers::loginThrottled(1)));
            f.advance(kSecond);
        }
        QCOMPARE(attempt(client, name, u"guess"_s), reply(answers::loginRefused()));
        QCOMPARE(attempt(f.connected(3), name, kPassword), right);
        f.advance(60 * kSecond);
        QCOMPARE(attempt(client, name, kPassword), right);
        if (name != u"alice"_s)
            return;
        QCOMPARE(attempt(client, name, u"guess"_s), reply(answers::loginRefused()));
        QCOMPARE(attempt(client, name, kPassword), reply(answers::loginThrottled(1)));
    }

    // 50 failures in an hour lock a name, counting at most 10 from each source.
    void lockNeedsManySources_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<int>("sources");
        QTest::addColumn<bool>("locked");
        QTest::newRow("one source, 50 failures") << u"alice"_s << 1 << false;
        QTest::newRow("five sources, 10 each") << u"alice"_s << 5 << true;
        QTest::newRow("five sources, unknown name") << u"zed"_s << 5 << true;
    }
    void lockNeedsManySources()
    {
        QFETCH(QString, name);
        QFETCH(int, sources);
        QFETCH(bool, locked);
        f.startServer({u"alice"_s});
        QList<TestClient *> guessers;
        for (int s = 0; s < sources; ++s)
            guessers.append(f.connected(10 + s));
        for (int round = 0; round < 50 / sources; ++round) {
            if (round > 0)
                f.advance(60 * kSecond);
            for (TestClient *guesser : std::as_const(guessers))
                QCOMPARE(attempt(guesser, name, u"guess"_s), reply(answers::loginRefused()));
        }
        const QByteArray right = reply(name == u"alice"_s ? answers::loginOk() : answers::loginRefused());
        TestClient *owner = f.connected(99);
        QCOMPARE(attempt(owner, name, kPassword), locked ? reply(answers::loginLocked(15)) : right);
        if (!locked)
            return;
        f.advance(15 * 60 * kSecond);
        QCOMPARE(attempt(owner, name, kPassword), right);
    }

    // A delayed try costs no hash; a refused one costs the same hash for any name.
    void timingTellsNothing()
    {
        f.config.pwhashOps = 4;
        f.config.pwhashMem = 32 << 20;
        f.startServer({u"alice"_s});
        TestClient *client = f.connected();
        const auto timed = [&](const QString &name) {
            qint64 refused = std::numeric_limits<qint64>::max();
            qint64 delayed = refused;
            for (int i = 0; i < 5; ++i) {
                f.advance(61 * kSecond);
                for (const bool first : {true, false}) {
                    client->send(login(name, u"guess"_s));
                    QElapsedTimer clock;
                    clock.start();
                    const QByteArray answer = client->take('l');
                    const qint64 took = clock.elapsed();
                    if (answer != reply(first ? answers::loginRefused() : answers::loginThrottled(1 << i)))
                        return std::pair<qint64, qint64>{-1, -1};
                    qint64 &best = first ? refused : delayed;
                    best = std::min(best, took);
                }
            }
            return std::pair{refused, delayed};
        };
        const auto [known, knownDelayed] = timed(u"alice"_s);
        const auto [unknown, unknownDelayed] = timed(u"zed"_s);
        QVERIFY(known > 0 && unknown > 0);
        // A refusal takes about one hash (timed here) longer than a delayed try.
        char stored[crypto_pwhash_STRBYTES];
        QCOMPARE(crypto_pwhash_str(stored, "guess", 5, f.config.pwhashOps, f.config.pwhashMem), 0);
        QElapsedTimer hashClock;
        hashClock.start();
        QCOMPARE(crypto_pwhash_str_verify(stored, "other", 5), -1);
        const qint64 hashMs = hashClock.elapsed();
        QVERIFY2(std::min(known, unknown) - std::max(knownDelayed, unknownDelayed) > hashMs / 2,
                 "a delayed try hashed");
        const qint64 knownHash = known - knownDelayed;
        const qint64 unknownHash = unknown - unknownDelayed;
        QVERIFY2(unknownHash * 5 > knownHash * 2 && knownHash * 5 > unknownHash * 2,
                 "a refusal takes longer for one kind of name");
    }
};

QTEST_GUILESS_MAIN(TestLogins)
#include "tst_logins.moc"
