#include "bus.h"
#include "engines.h"
#include "redis.h"

#include <QElapsedTimer>
#include <QTest>
#include <QThread>

#include <dlfcn.h>
#include <netdb.h>

#include <memory>

using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

using Lines = QList<QByteArray>;

// Lookups of names under slow.test take this long and find 127.0.0.1, as when the resolver
// waits on a DNS server that is far or unwell.
constexpr int kSlowLookupMs = 1500;

} // namespace

// Every lookup of the process, by Qt and by hiredis alike, comes here before the C library's.
extern "C" int getaddrinfo(const char *node, const char *service, const addrinfo *hints, addrinfo **result)
{
    using Lookup = int (*)(const char *, const char *, const addrinfo *, addrinfo **);
    static const auto real = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
    if (node && QByteArray(node).endsWith(".slow.test")) {
        QThread::msleep(kSlowLookupMs);
        node = "127.0.0.1";
    }
    return real(node, service, hints, result);
}

namespace {

// Short beats, so that losses show within a test's patience: beat, presence, stall, connect
// timeout, first and last retry.
const Bus::Timing kQuick{200, 1000, 800, 500, 50, 400};

Lines sorted(Lines lines)
{
    std::sort(lines.begin(), lines.end());
    return lines;
}

// One instance's end of the bus, and what it was told.
struct Node
{
    Node(quint16 port, const Bus::Timing &timing = kQuick, const QString &host = u"127.0.0.1"_s)
        : bus(BusAddress{host, port}, timing)
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
    Lines got;
    QStringList superseded;
};

} // namespace

class TestBus : public QObject
{
    Q_OBJECT

    RedisServer m_redis;
    std::unique_ptr<Node> m_a;
    std::unique_ptr<Node> m_b;

    void startNodes(const Bus::Timing &timingA = kQuick)
    {
        m_a = std::make_unique<Node>(m_redis.port(), timingA);
        m_b = std::make_unique<Node>(m_redis.port());
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 5000);
    }
    // Cuts the connections of an instance, as a Redis restart or a network fault would.
    bool cutOff(const Bus &bus)
    {
        std::optional<QList<RedisReply>> clients;
        if (!redis({{"CLIENT", "LIST"}}, &clients))
            return false;
        QList<QByteArrayList> kills;
        for (const QByteArray &line : clients->value(0).text.split('\n')) {
            if (line.contains("name=tavrel-publisher-" + bus.instance()) ||
                line.contains("name=tavrel-subscriber-" + bus.instance()))
                kills.append({"CLIENT", "KILL", line.mid(line.indexOf("addr=") + 5).split(' ').value(0)});
        }
        return kills.size() == 2 && redis(kills);
    }
    bool redis(const QList<QByteArrayList> &commands, std::optional<QList<RedisReply>> *replies = nullptr)
    {
        QString error;
        const auto result =
            RedisConnection::runBlocking(u"127.0.0.1"_s, m_redis.port(), 1000, commands, &error);
        if (replies)
            *replies = result;
        if (!result)
            qWarning().noquote() << error;
        return result.has_value();
    }

private slots:
    void initTestCase()
    {
        if (const QString missing = redisMissing(); !missing.isEmpty())
            QSKIP(qPrintable(missing));
        QString error;
        QVERIFY2(m_redis.start(&error), qPrintable(error));
    }

    void cleanup()
    {
        m_redis.pause(false);
        m_a.reset();
        m_b.reset();
    }

    // Every instance gets every message once, all in the one order Redis gives them. What
    // others write onto the channel cannot break an instance or make it repeat itself, and
    // what is malformed is not relayed.
    void relayedOnceInOneOrder()
    {
        startNodes();
        Lines sent;
        for (int i = 0; i < 20; ++i) {
            sent << "c,a" + QByteArray::number(i) << "c,b" + QByteArray::number(i);
            m_a->bus.publish(sent.at(sent.size() - 2));
            m_b->bus.publish(sent.last());
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), sent.size(), 5000);
        const QByteArray unknown = "00000000000000ff";
        for (const QByteArray &bytes : {
                 QByteArray(),
                 QByteArray("garbage"),
                 QByteArray(70000, '\n'),
                 "p " + unknown + " 1\nbroken",
                 "h " + unknown + " 1\n999999999",               // asks for everything again
                 "r " + unknown + " 1 999999999\nc,from before", // sent before they started
                 "m " + m_a->bus.instance() + " 1\nc,a0",        // a copy of A's first
                 "r " + unknown + " 2\nc,forged",                // sent again, with no age
                 "m " + unknown + " 3 250\nc,forged",            // an age on a first sending
                 QByteArray("m 00000000000000FF 4\nc,forged"),   // an upper-case origin
                 "m " + unknown + " +5\nc,forged",
                 "x " + unknown + " 6\nc,forged",
             })
            QVERIFY(redis({{"PUBLISH", "tavrel:bus", bytes}}));
        sent << "c,last\nline breaks\n";
        m_b->bus.publish(sent.last());
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got.size(), sent.size(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), sent.size(), 5000);
        QTest::qWait(300);
        QCOMPARE(m_a->got, m_b->got);
        QCOMPARE(sorted(m_a->got), sorted(sent));
        QVERIFY(m_a->bus.isLive() && m_b->bus.isLive());
    }

    // Two logins at once at two instances: exactly one survives, whichever Redis ordered last.
    void simultaneousLogins()
    {
        startNodes();
        m_a->bus.addLocalUser(u"carol"_s);
        m_b->bus.addLocalUser(u"carol"_s);
        const auto carols = [this] {
            return m_a->superseded.count(u"carol"_s) + m_b->superseded.count(u"carol"_s);
        };
        QTRY_COMPARE_WITH_TIMEOUT(carols(), 1, 3000);
        QTest::qWait(500);
        QCOMPARE(carols(), 1);
        QCOMPARE(int(m_a->remote().contains(u"carol"_s)) + int(m_b->remote().contains(u"carol"_s)), 1);
    }

    // An instance that stops takes its users off the others' lists at once (a crash of one
    // is the cluster test's).
    void instanceLeaves()
    {
        startNodes();
        m_b->bus.addLocalUser(u"bob"_s);
        QTRY_COMPARE_WITH_TIMEOUT(m_a->remote(), QStringList{u"bob"_s}, 3000);
        QElapsedTimer gone;
        gone.start();
        m_b->bus.leave();
        QTRY_VERIFY_WITH_TIMEOUT(m_a->remote().isEmpty(), 10000);
        QVERIFY2(gone.elapsed() <= kQuick.beatMs, qPrintable(QString::number(gone.elapsed())));
        m_a->bus.publish("c,still here");
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got, Lines{"c,still here"}, 3000);
    }

    // One instance alone loses Redis for a while: what it and the others said meanwhile
    // reaches everyone once it is back, once.
    void oneInstanceCutOff()
    {
        Bus::Timing slowReturn = kQuick;
        slowReturn.retryFirstMs = slowReturn.retryLastMs = 1000;
        startNodes(slowReturn);
        m_a->bus.publish("c,first");
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got.size(), 1, 3000);
        QVERIFY(cutOff(m_a->bus));
        QTRY_VERIFY_WITH_TIMEOUT(!m_a->bus.isLive(), 3000);
        m_a->bus.publish("c,a while\naway\n");
        m_b->bus.publish("c,b while a is away");
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive(), 5000);
        const Lines all = sorted({"c,first", "c,a while\naway\n", "c,b while a is away"});
        for (Node *node : {m_a.get(), m_b.get()}) {
            QTRY_COMPARE_WITH_TIMEOUT(node->got.size(), all.size(), 5000);
            QTest::qWait(300);
            QCOMPARE(sorted(node->got), all);
        }
    }

    // Redis is found by a name whose lookup is slow: the event loop goes on meanwhile, at the
    // start and when the bus reconnects.
    void slowLookup()
    {
        QElapsedTimer sinceTick;
        qint64 longestMs = 0;
        QTimer ticks;
        connect(&ticks, &QTimer::timeout, this,
                [&] { longestMs = std::max(longestMs, sinceTick.restart()); });
        sinceTick.start();
        ticks.start(10);
        m_a = std::make_unique<Node>(m_redis.port(), kQuick, u"redis.slow.test"_s);
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive(), 4 * kSlowLookupMs);
        QVERIFY(cutOff(m_a->bus));
        QTRY_VERIFY_WITH_TIMEOUT(!m_a->bus.isLive(), 3000);
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive(), 4 * kSlowLookupMs);
        QVERIFY2(longestMs < kSlowLookupMs / 3, qPrintable(QString::number(longestMs)));
    }

    // A Redis that hangs, connections open: lines still reach this instance's users at once,
    // and the others' once Redis answers again, once.
    void redisHangs()
    {
        startNodes();
        m_redis.pause(true);
        QElapsedTimer hung;
        hung.start();
        m_a->bus.publish("c,during the hang");
        QTRY_COMPARE_WITH_TIMEOUT(m_a->got, Lines{"c,during the hang"}, 5000);
        QVERIFY2(hung.elapsed() < kQuick.stallMs + 3 * kQuick.beatMs,
                 qPrintable(QString::number(hung.elapsed())));
        QVERIFY(!m_a->bus.isLive());
        m_redis.pause(false);
        // Reconnecting backs off; on a loaded machine the retry can come late.
        QTRY_VERIFY_WITH_TIMEOUT(m_a->bus.isLive() && m_b->bus.isLive(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(m_b->got, Lines{"c,during the hang"}, 10000);
        QTest::qWait(500);
        QCOMPARE(m_a->got.size() + m_b->got.size(), 2);
    }
};

QTEST_GUILESS_MAIN(TestBus)
#include "tst_bus.moc"
