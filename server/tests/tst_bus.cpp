#include "bus.h"
#include "engines.h"
#include "redis.h"

#include <QElapsedTimer>
#include <QTest>

#include <memory>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

using Steps = QList<QPair<qint64, qint64>>;

// Short beats, so that losses show within a test's patience.
Bus::Timing quickTiming()
{
    Bus::Timing timing;
    timing.beatMs = 200;
    timing.presenceTtlMs = 1000;
    timing.stallMs = 800;
    timing.connectTimeoutMs = 500;
    timing.retryFirstMs = 50;
    timing.retryLastMs = 400;
    return timing;
}

// One instance's end of the bus, and what it was told.
struct Node
{
    Node(quint16 port, const Bus::Timing &timing = quickTiming())
        : bus(BusAddress{u"127.0.0.1"_s, port}, timing)
    {
        QObject::connect(&bus, &Bus::relayed, &bus, [this](const QByteArray &m) { got.append(m); });
        QObject::connect(&bus, &Bus::userSuperseded, &bus,
                         [this](const QString &n) { superseded.append(n); });
        bus.start();
    }
    QStringList remote() const
    {
        QStringList names = bus.remoteUsers();
        names.sort();
        return names;
    }
    Bus bus;
    QList<QByteArray> got;
    QStringList superseded;
};

} // namespace

class TestBus : public QObject
{
    Q_OBJECT

    RedisServer m_redis;
    std::unique_ptr<Node> m_a;
    std::unique_ptr<Node> m_b;

    void startNodes()
    {
        m_a = std::make_unique<Node>(m_redis.port());
        m_b = std::make_unique<Node>(m_redis.port());
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 5000);
    }

private slots:
    void initTestCase()
    {
        if (const QString missing = redisMissing(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QString error;
        QVERIFY2(m_redis.start(&error), qPrintable(error));
    }

    void init()
    {
        if (!m_redis.isRunning()) {
            QString error;
            QVERIFY2(m_redis.start(&error), qPrintable(error));
        }
    }

    void cleanup()
    {
        m_redis.pause(false);
        m_a.reset();
        m_b.reset();
    }

    void messageFormat_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("valid");
        QTest::addColumn<QByteArray>("payload");
        const QByteArray origin = "0123456789abcdef";
        QTest::newRow("message") << "m " + origin + " 7\nc,a: b" << true << QByteArray("c,a: b");
        QTest::newRow("sent again, with line breaks") << "r " + origin + " 1 250\nx\ny\n"
                                                      << true << QByteArray("x\ny\n");
        QTest::newRow("sent again without age") << "r " + origin + " 1\nx" << false << QByteArray();
        QTest::newRow("age on a first sending") << "m " + origin + " 1 250\nx" << false << QByteArray();
        QTest::newRow("empty payload") << "g " + origin + " 0\n" << true << QByteArray();
        QTest::newRow("no header end") << "m " + origin + " 7" << false << QByteArray();
        QTest::newRow("unknown kind") << "x " + origin + " 7\n" << false << QByteArray();
        QTest::newRow("zero byte kind") << QByteArray(1, '\0') + ' ' + origin + " 7\n"
                                        << false << QByteArray();
        QTest::newRow("upper-case origin") << QByteArray("m 0123456789ABCDEF 7\n") << false << QByteArray();
        QTest::newRow("short origin") << QByteArray("m 0123 7\n") << false << QByteArray();
        QTest::newRow("negative number") << "m " + origin + " -7\n" << false << QByteArray();
        QTest::newRow("signed number") << "m " + origin + " +7\n" << false << QByteArray();
        QTest::newRow("number too long") << "m " + origin + " 1234567890123456789\n" << false << QByteArray();
        QTest::newRow("extra field") << "m " + origin + " 7 8\n" << false << QByteArray();
        QTest::newRow("empty") << QByteArray() << false << QByteArray();
    }
    void messageFormat()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, valid);
        QFETCH(QByteArray, payload);
        const std::optional<BusMessage> message = decodeBusMessage(bytes);
        QCOMPARE(message.has_value(), valid);
        if (valid) {
            QCOMPARE(message->payload, payload);
            QCOMPARE(encodeBusMessage(*message), bytes);
        }
    }

    void numberedLines_data()
    {
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<int>("lines"); // -1: unreadable
        QTest::newRow("none") << QByteArray() << 0;
        QTest::newRow("two") << QByteArray("12\talice\n3\t小明") << 2;
        QTest::newRow("tab in text") << QByteArray("1\ta\tb") << 1;
        QTest::newRow("no tab") << QByteArray("12 alice") << -1;
        QTest::newRow("empty text") << QByteArray("12\t") << -1;
        QTest::newRow("empty line") << QByteArray("1\ta\n\n2\tb") << -1;
        QTest::newRow("no number") << QByteArray("\talice") << -1;
    }
    void numberedLines()
    {
        QFETCH(QByteArray, payload);
        QFETCH(int, lines);
        const std::optional<NumberedLines> read = decodeNumberedLines(payload);
        QCOMPARE(read ? int(read->size()) : -1, lines);
        if (read)
            QCOMPARE(encodeNumberedLines(*read), payload);
    }

    void recentNumbers_data()
    {
        // Each step: a number taken at a time, or a negative number: forget before that time.
        QTest::addColumn<Steps>("steps");
        QTest::addColumn<QList<bool>>("taken");
        QTest::newRow("in order") << Steps{{1, 0}, {2, 0}, {3, 0}} << QList<bool>{true, true, true};
        QTest::newRow("repeated") << Steps{{1, 0}, {1, 5}, {2, 5}, {1, 9}}
                                  << QList<bool>{true, false, true, false};
        QTest::newRow("late and out of order")
            << Steps{{1, 0}, {3, 0}, {2, 9}, {3, 9}} << QList<bool>{true, true, true, false};
        QTest::newRow("forgotten after the wait")
            << Steps{{1, 0}, {2, 50}, {-1, 10}, {1, 60}, {2, 60}} << QList<bool>{true, true, true, false};
        QTest::newRow("not before") << Steps{{1, 10}, {-1, 10}, {1, 20}} << QList<bool>{true, false};
    }
    void recentNumbers()
    {
        QFETCH(Steps, steps);
        QFETCH(QList<bool>, taken);
        RecentNumbers recent;
        QList<bool> result;
        for (const auto &[number, at] : steps) {
            if (number < 0)
                recent.forget(at);
            else
                result.append(recent.take(number, at));
        }
        QCOMPARE(result, taken);
    }

    void busUrl_data()
    {
        QTest::addColumn<QString>("url");
        QTest::addColumn<QString>("host"); // empty: refused
        QTest::addColumn<int>("port");
        QTest::newRow("host and port") << u"redis://127.0.0.1:7000"_s << u"127.0.0.1"_s << 7000;
        QTest::newRow("default port") << u"redis://localhost"_s << u"localhost"_s << 6379;
        QTest::newRow("trailing slash") << u"redis://127.0.0.1:7000/"_s << u"127.0.0.1"_s << 7000;
        QTest::newRow("other scheme") << u"http://127.0.0.1:7000"_s << QString() << 0;
        QTest::newRow("password") << u"redis://:pw@127.0.0.1:7000"_s << QString() << 0;
        QTest::newRow("database number") << u"redis://127.0.0.1:7000/2"_s << QString() << 0;
        QTest::newRow("port zero") << u"redis://127.0.0.1:0"_s << QString() << 0;
        QTest::newRow("no host") << u"redis://:7000"_s << QString() << 0;
        QTest::newRow("bare address") << u"127.0.0.1:7000"_s << QString() << 0;
    }
    void busUrl()
    {
        QFETCH(QString, url);
        QFETCH(QString, host);
        QString error;
        const std::optional<BusAddress> address = parseBusUrl(url, &error);
        QCOMPARE(address ? address->host : QString(), host);
        QTEST(address ? int(address->port) : 0, "port");
        QCOMPARE(error.isEmpty(), address.has_value());
    }

    // Every instance gets every message once, all in the one order Redis gives them.
    void relayedOnceInOneOrder()
    {
        startNodes();
        QList<QByteArray> sent;
        for (int i = 0; i < 20; ++i) {
            sent << "c,a" + QByteArray::number(i) << "c,b" + QByteArray::number(i);
            m_a->bus.publish(sent.at(sent.size() - 2));
            m_b->bus.publish(sent.last());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got.size(), sent.size(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), sent.size(), 5000);
        QTest::qWait(300);
        QCOMPARE(m_a->got, m_b->got);
        QList<QByteArray> sorted = m_a->got;
        std::sort(sorted.begin(), sorted.end());
        std::sort(sent.begin(), sent.end());
        QCOMPARE(sorted, sent);
    }

    void presenceAndReplacement()
    {
        startNodes();
        m_a->bus.addLocalUser(u"alice"_s);
        m_b->bus.addLocalUser(u"bob"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->remote(), QStringList{u"bob"_s}, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->remote(), QStringList{u"alice"_s}, 3000);
        // A later login elsewhere closes the earlier one; the later one stays.
        m_b->bus.addLocalUser(u"alice"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->superseded, QStringList{u"alice"_s}, 3000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->remote(), QStringList(), 3000);
        QCOMPARE(m_a->remote(), (QStringList{u"alice"_s, u"bob"_s}));
        // Two logins at once: exactly one survives, whichever Redis ordered last.
        m_a->bus.addLocalUser(u"carol"_s);
        m_b->bus.addLocalUser(u"carol"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->superseded.count(u"carol"_s) + m_b->superseded.count(u"carol"_s), 1,
                                  3000);
        QTest::qWait(500);
        QCOMPARE(m_a->superseded.count(u"carol"_s) + m_b->superseded.count(u"carol"_s), 1);
        QCOMPARE(int(m_a->remote().contains(u"carol"_s)) + int(m_b->remote().contains(u"carol"_s)), 1);
    }

    void instanceGoes_data()
    {
        QTest::addColumn<bool>("crash");
        QTest::addColumn<int>("withinMs");
        // Crashed: its presence expires (ttl) and the next beat sees it; left: at once.
        QTest::newRow("crash") << true << quickTiming().presenceTtlMs + 3 * quickTiming().beatMs;
        QTest::newRow("leave") << false << quickTiming().beatMs;
    }
    void instanceGoes()
    {
        QFETCH(bool, crash);
        QFETCH(int, withinMs);
        startNodes();
        m_b->bus.addLocalUser(u"bob"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->remote(), QStringList{u"bob"_s}, 3000);
        QElapsedTimer gone;
        gone.start();
        if (crash)
            m_b->bus.abandon();
        else
            m_b->bus.leave();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->remote().isEmpty(), 10000);
        QVERIFY2(gone.elapsed() <= withinMs, qPrintable(QString::number(gone.elapsed())));
        // A publish still reaches the one left.
        m_a->bus.publish("c,still here");
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got, QList<QByteArray>{"c,still here"}, 3000);
    }

    // Redis goes and comes back: each instance's users keep getting their own lines, the
    // others get them once Redis is back, and no one gets a line twice.
    void redisRestart()
    {
        startNodes();
        m_a->bus.publish("c,a before");
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), 1, 3000);
        m_redis.kill();
        QTRY_VERIFY_WITH_TIMEOUT(!m_a->bus.isLive() && !m_b->bus.isLive(), 3000);
        for (const char *line : {"c,a down 1", "c,a down 2"})
            m_a->bus.publish(line);
        m_b->bus.publish("c,b down");
        // Delivered here at once, with no bus.
        QCOMPARE(m_a->got.mid(1), (QList<QByteArray>{"c,a down 1", "c,a down 2"}));
        QCOMPARE(m_b->got.mid(1), QList<QByteArray>{"c,b down"});
        QString error;
        QVERIFY2(m_redis.start(&error), qPrintable(error));
        QElapsedTimer back;
        back.start();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 5000);
        m_a->bus.publish("c,a after");
        m_b->bus.publish("c,b after");
        const QList<QByteArray> all{"c,a before", "c,a down 1", "c,a down 2",
                                    "c,b down",   "c,a after",  "c,b after"};
        for (Node *node : {m_a.get(), m_b.get()}) {
            QTRY_VERIFY2_WITH_TIMEOUT(node->got.size() >= all.size(), node->got.join(" | ").constData(),
                                      5000);
            QTest::qWait(500);
            QList<QByteArray> got = node->got;
            std::sort(got.begin(), got.end());
            QList<QByteArray> expected = all;
            std::sort(expected.begin(), expected.end());
            QCOMPARE(got, expected);
        }
        QVERIFY(back.elapsed() < 5000);
    }

    // One instance alone loses Redis for a while: what it and the others said meanwhile
    // reaches everyone once it is back, once.
    void oneInstanceCutOff()
    {
        Bus::Timing slowReturn = quickTiming();
        slowReturn.retryFirstMs = slowReturn.retryLastMs = 1000;
        m_a = std::make_unique<Node>(m_redis.port(), slowReturn);
        m_b = std::make_unique<Node>(m_redis.port());
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 5000);
        m_a->bus.publish("c,first");
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), 1, 3000);
        QString error;
        const auto clients =
            RedisConnection::runBlocking(u"127.0.0.1"_s, m_redis.port(), 1000, {{"CLIENT", "LIST"}}, &error);
        QVERIFY2(clients, qPrintable(error));
        QList<QByteArrayList> kills;
        for (const QByteArray &line : clients->value(0).text.split('\n')) {
            if (line.contains("name=tavrel-publisher-" + m_a->bus.instance()) ||
                line.contains("name=tavrel-subscriber-" + m_a->bus.instance()))
                kills.append({"CLIENT", "KILL", line.mid(line.indexOf("addr=") + 5).split(' ').value(0)});
        }
        QCOMPARE(kills.size(), 2);
        QVERIFY2(RedisConnection::runBlocking(u"127.0.0.1"_s, m_redis.port(), 1000, kills, &error),
                 qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(!m_a->bus.isLive(), 3000);
        m_a->bus.publish("c,a while away");
        m_b->bus.publish("c,b while a is away");
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive(), 5000);
        QList<QByteArray> all{"c,first", "c,a while away", "c,b while a is away"};
        std::sort(all.begin(), all.end());
        for (Node *node : {m_a.get(), m_b.get()}) {
            QTRY_COMPARE_WITH_TIMEOUT(node->got.size(), all.size(), 5000);
            QTest::qWait(300);
            QList<QByteArray> got = node->got;
            std::sort(got.begin(), got.end());
            QCOMPARE(got, all);
        }
    }

    // A Redis that hangs, connections open: lines still reach this instance's users, and
    // the others' once Redis answers again.
    void redisHangs()
    {
        startNodes();
        m_redis.pause(true);
        QElapsedTimer hung;
        hung.start();
        m_a->bus.publish("c,during the hang");
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got, QList<QByteArray>{"c,during the hang"}, 5000);
        QVERIFY2(hung.elapsed() < quickTiming().stallMs + 3 * quickTiming().beatMs,
                 qPrintable(QString::number(hung.elapsed())));
        QVERIFY(!m_a->bus.isLive());
        m_redis.pause(false);
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got, QList<QByteArray>{"c,during the hang"}, 5000);
        QTest::qWait(500);
        QCOMPARE(m_a->got.size(), 1);
        QCOMPARE(m_b->got.size(), 1);
    }

    void noRedisAtStart()
    {
        const quint16 nothing = freeLoopbackPort();
        Node alone(nothing);
        alone.bus.publish("c,alone");
        QCOMPARE(alone.got, QList<QByteArray>{"c,alone"});
        QTest::qWait(300);
        QVERIFY(!alone.bus.isLive());
        QCOMPARE(alone.got.size(), 1);
    }

    // What others write onto the channel cannot break an instance or make it repeat itself.
    void foreignTraffic()
    {
        startNodes();
        m_a->bus.publish("c,one");
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), 1, 3000);
        const QByteArray unknown = "00000000000000ff";
        const QList<QByteArray> junk{
            QByteArray(),
            "garbage",
            QByteArray(70000, '\n'),
            "p " + unknown + " 1\nbroken",
            "h " + unknown + " 1\n999999999",               // asks for everything again
            "r " + unknown + " 1 999999999\nc,from before", // sent before they started
            "m " + m_a->bus.instance() + " 1\nc,one",       // a copy of A's first
        };
        QString error;
        for (const QByteArray &bytes : junk)
            QVERIFY2(RedisConnection::runBlocking(u"127.0.0.1"_s, m_redis.port(), 1000,
                                                  {{"PUBLISH", "tavrel:bus", bytes}}, &error),
                     qPrintable(error));
        m_b->bus.publish("c,two");
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got.size(), 2, 3000);
        QTest::qWait(300);
        QCOMPARE(m_a->got, (QList<QByteArray>{"c,one", "c,two"}));
        QCOMPARE(m_b->got, (QList<QByteArray>{"c,one", "c,two"}));
        QVERIFY(m_a->bus.isLive() && m_b->bus.isLive());
    }
};

QTEST_GUILESS_MAIN(TestBus)
#include "tst_bus.moc"
