#include "linktrial.h"
#ifdef TAVREL_TEST_TLS
#include "testcertificates.h"
#endif

#include <QDir>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

// The real window and the real server over a slow link with retransmission stalls, while
// another user chats: the window asks for text files and images of 10 KB to 1 MB and sends
// one of its own. Every stored file is whole, nothing else is stored, and every chat line
// shows on a line of its own. TAVREL_LINK_SEED repeats the stalls of a failed run. Built for
// TLS, the window does it all over TLS.
class TestSlowLink : public QObject
{
    Q_OBJECT

private slots:
    void filesAndChatStayWhole_data()
    {
        QTest::addColumn<QString>("link");
        // 2 Mbit/s, a 200 ms round trip, and a 500 ms stall with a chance of 0.5% per 16 KiB.
        QTest::newRow("stalls") << u"2000k/100ms/0.5%x500ms"_s;
        // 1 Mbit/s behind a hop that ends TCP and takes 192 KiB ahead of the link, three times
        // what a balancer with small buffers holds: as a carrier's proxy may.
        QTest::newRow("read-ahead") << u"1000k/50ms/ahead192k"_s;
    }

    void filesAndChatStayWhole()
    {
        QFETCH(QString, link);
        QTemporaryDir work;
        QVERIFY(work.isValid() && QDir::setCurrent(work.path()));
        TrialSettings settings;
        settings.serverBinary = QStringLiteral(TAVREL_SERVER_BINARY);
#ifdef TAVREL_TEST_TLS
        TestCertificates certificates;
        QVERIFY2(certificates.make(), qPrintable(certificates.error()));
        settings.serverOptions = certificates.serverOptions();
#endif
        settings.down = *LinkProfile::parse(link);
        settings.up = settings.down;
        settings.seed = qEnvironmentVariableIsSet("TAVREL_LINK_SEED")
                            ? qEnvironmentVariableIntValue("TAVREL_LINK_SEED")
                            : QRandomGenerator::global()->generate();
        const std::pair<const char *, qint64> sizes[] = {
            {"a.txt", 10000},  {"b.png", 30000},  {"c.txt", 120000}, {"up.txt", 40000},
            {"d.png", 250000}, {"e.txt", 400000}, {"f.png", 700000}, {"g.txt", 1000000}};
        QList<TrialFile> files;
        for (const auto &[file, size] : sizes) {
            const QString name = QLatin1String(file);
            const quint32 seed = settings.seed + quint32(files.size());
            files.append({name, name.endsWith(u".png") ? trialPng(size, seed) : trialText(size, seed),
                          name.startsWith(u"up")});
        }
        const TrialResult result = runTrial(settings, files);
        qInfo("%.1f s, connected in %lld ms, seed %u, stalls %d down and %d up, %d chat lines",
              result.seconds, result.connectMs, settings.seed, result.down.stalls, result.up.stalls,
              result.chatLines);
        QVERIFY2(result.faults.isEmpty(),
                 qPrintable(u"seed %1:\n"_s.arg(settings.seed) + result.faults.join(u'\n')));
        QCOMPARE(result.downloadsIntact, 7);
        QCOMPARE(result.uploadsIntact, 1);
        QVERIFY(result.chatLines >= 10 && result.chatLinesIntact == result.chatLines);
        QVERIFY(QDir::setCurrent(QDir::tempPath()));
    }
};

QTEST_MAIN(TestSlowLink)
#include "tst_slowlink.moc"
