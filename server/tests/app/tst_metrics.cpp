#include "metrics.h"
#include "serverfixture.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <numeric>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

// The metrics endpoint, scraped over HTTP around a little traffic.
class TestMetrics : public QObject
{
    Q_OBJECT

    ServerFixture f{this};
    QNetworkAccessManager m_network;
    // The last page scraped, and the samples ("name{labels}" -> value) before and after the traffic.
    int m_status = 0;
    QByteArray m_contentType, m_body;
    QHash<QString, double> m_before, m_after;

    QHash<QString, double> scrape(const QString &path = u"/metrics"_s)
    {
        QHash<QString, double> values;
        std::unique_ptr<QNetworkReply> reply(m_network.get(
            QNetworkRequest(QUrl(u"http://127.0.0.1:%1%2"_s.arg(f.server->metricsPort()).arg(path)))));
        const bool finished = QTest::qWaitFor([&reply] { return reply->isFinished(); }, 5000);
        m_status = finished ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() : 0;
        m_contentType = reply->header(QNetworkRequest::ContentTypeHeader).toByteArray();
        m_body = reply->readAll();
        for (const QByteArray &line : m_body.split('\n')) {
            const qsizetype space = line.lastIndexOf(' ');
            if (!line.isEmpty() && !line.startsWith('#'))
                values.insert(QString::fromUtf8(line.left(space)), line.mid(space + 1).toDouble());
        }
        return values;
    }
    double delta(const QString &name) const { return m_after.value(name) - m_before.value(name); }

private slots:
    void cleanupTestCase() { f.cleanup(); }
    void initTestCase()
    {
        f.init();
        f.config.metricsPort = 0;
        f.startServer({u"alice"_s, u"bob"_s});
        QVERIFY(write(f.filePath(u"notes.txt"_s), "private notes"));

        m_before = scrape();
        QCOMPARE(m_status, 200);
        TestClient *alice = f.loggedIn(u"alice"_s)[0];
        TestClient *bob = f.connected(), *guest = f.connected();
        // Refused after the hash, and before it: not a digest at all.
        for (const QString &wrong : {saltedDigest(u"wrong"_s), kPassword}) {
            bob->send(loginMessage(u"bob"_s, wrong));
            QCOMPARE(bob->take('l'), answers::loginReply(answers::loginRefused()));
        }
        f.advance(1000); // past the delay a failure costs
        bob->send(login(u"bob"_s));
        QCOMPARE(bob->take('l'), answers::loginReply(answers::loginOk()));
        QVERIFY(alice->expect("o,bob"));
        guest->send(reg(u"dana"_s, u"dana@hidden-domain.example"_s));
        QCOMPARE(guest->take('r'),
                 answers::registrationReply(answers::codeSent(u"dana@hidden-domain.example"_s, 10)));
        alice->send(chatMessage(u"meet at the harbour"_s));
        QVERIFY(alice->expect("c,alice: meet at the harbour") && bob->expect("c,alice: meet at the harbour"));
        bob->send(fileRequest(u"notes.txt"_s));
        QCOMPARE(bob->take('f'), fileMessage(u"notes.txt"_s, "private notes"));
        m_after = scrape();
        QCOMPARE(m_status, 200);
    }

    // Counters (_total) by what the traffic added, gauges as they are.
    void values_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<double>("value");
        QTest::newRow("logins succeeded") << u"tavrel_logins_total{result=\"succeeded\"}"_s << 2.0;
        QTest::newRow("logins failed") << u"tavrel_logins_total{result=\"failed\"}"_s << 2.0;
        QTest::newRow("codes sent") << u"tavrel_codes_total{result=\"sent\"}"_s << 1.0;
        QTest::newRow("chat relayed to both") << u"tavrel_messages_relayed_total{kind=\"chat\"}"_s << 2.0;
        QTest::newRow("connections") << u"tavrel_connections"_s << 3.0;
        QTest::newRow("plain connections") << u"tavrel_connections_total{transport=\"plain\"}"_s << 3.0;
        QTest::newRow("no TLS") << u"tavrel_connections_total{transport=\"tls\"}"_s << 0.0;
        QTest::newRow("logged in") << u"tavrel_users_logged_in"_s << 2.0;
        QTest::newRow("no mail waits without a relay") << u"tavrel_mail_queue"_s << 0.0;
    }
    void values()
    {
        QFETCH(QString, name);
        QVERIFY2(m_after.contains(name), qPrintable(name));
        QTEST(name.contains(u"_total{"_s) ? delta(name) : m_after.value(name), "value");
    }

    // Sums that agree, families with their types, and nobody's name, address, words or files.
    void exposition()
    {
        double relayed = 0;
        for (const QString &name : m_after.keys())
            relayed += name.startsWith(u"tavrel_messages_relayed_total{"_s) ? delta(name) : 0;
        // Every message written waited for its gap once, and its bytes were counted.
        QCOMPARE(delta(u"tavrel_pacing_delay_seconds_count"_s), relayed);
        QVERIFY(delta(u"tavrel_sent_bytes_total"_s) > 13 + 2 * 20);
        QVERIFY(delta(u"tavrel_received_bytes_total"_s) > 3 * 34);
        const double p50 = m_after.value(u"tavrel_pacing_delay_seconds{quantile=\"0.5\"}"_s, -1);
        const double p99 = m_after.value(u"tavrel_pacing_delay_seconds{quantile=\"0.99\"}"_s, -1);
        QVERIFY2(p50 >= 0 && p50 <= p99 && p99 < 5, qPrintable(u"%1 %2"_s.arg(p50).arg(p99)));

        QCOMPARE(m_contentType, QByteArray("text/plain; version=0.0.4; charset=utf-8"));
        // Every sample belongs to a family with its type declared before it.
        QString family;
        for (const QByteArray &line : m_body.split('\n')) {
            if (line.startsWith("# TYPE "))
                family = QString::fromLatin1(line.split(' ').value(2));
            else if (!line.isEmpty() && !line.startsWith('#'))
                QVERIFY2(!family.isEmpty() && line.startsWith(family.toLatin1()), line.constData());
        }
        // Nobody's name, address, words or files show.
        const QString body = QString::fromUtf8(m_body);
        for (const QString &secret : {u"alice"_s, u"bob"_s, u"dana"_s, u"hidden-domain"_s, u"example.org"_s,
                                      u"127.0.0.1"_s, u"harbour"_s, u"notes"_s})
            QVERIFY2(!body.contains(secret, Qt::CaseInsensitive), qPrintable(secret));
        scrape(u"/"_s);
        QCOMPARE(m_status, 404);
    }

    void summary_data()
    {
        QTest::addColumn<QList<double>>("samples");
        QTest::addColumn<double>("p50");
        QTest::addColumn<double>("p99");
        QList<double> hundred;
        for (int i = 100; i >= 1; --i)
            hundred.append(i / 1000.0);
        QTest::newRow("none") << QList<double>() << 0.0 << 0.0;
        QTest::newRow("1 to 100 ms, in any order") << hundred << 0.05 << 0.099;
        QTest::newRow("old samples leave the window")
            << QList<double>(DelaySummary::kWindow, 9.0) + QList<double>(DelaySummary::kWindow, 0.5) << 0.5
            << 0.5;
    }
    void summary()
    {
        QFETCH(QList<double>, samples);
        DelaySummary summary;
        for (const double sample : samples)
            summary.record(sample);
        QTEST(summary.quantile(0.5), "p50");
        QTEST(summary.quantile(0.99), "p99");
        QCOMPARE(summary.count(), quint64(samples.size()));
        QCOMPARE(summary.sum(), std::accumulate(samples.cbegin(), samples.cend(), 0.0));
    }
};

QTEST_GUILESS_MAIN(TestMetrics)
#include "tst_metrics.moc"
