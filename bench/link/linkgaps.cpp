// Measures through the link emulator what the quiet gaps between messages must cover, for
// file-sized and chat-sized messages alike:
//  - pause: the longest time between two reads inside one message, as its reader sees it
//    (the client's quiet gap must outlast it);
//  - lead: how long after the sender's kernel had every byte of a message acknowledged its
//    reader got the last one (the server's pause after a message must cover it on top of the
//    client's gap).
// Each message goes out in one write, as tavrel-server sends it, and the next one only after
// the last one arrived.
//
//   bench-link-gaps [--profiles 2000k/100ms/0.5%x500ms,...] [--files 30] [--chats 60] [--seed n]

#include "eventwait.h"
#include "linkproxy.h"
#include "sendqueue.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTextStream>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

struct Figures
{
    std::vector<double> pausesMs; // the longest pause of each message
    std::vector<double> leadsMs;
    double longestTransferMs = 0;
};

QString spread(std::vector<double> values)
{
    if (values.empty())
        return QStringLiteral("-");
    std::sort(values.begin(), values.end());
    const auto at = [&](double q) { return values[std::min(values.size() - 1, size_t(q * values.size()))]; };
    return QStringLiteral("%1/%2/%3")
        .arg(at(0.5), 0, 'f', 0)
        .arg(at(0.99), 0, 'f', 0)
        .arg(values.back(), 0, 'f', 0);
}

// Sizes spread evenly on a log scale between low and high.
qint64 logSize(QRandomGenerator &random, qint64 low, qint64 high)
{
    return qint64(std::exp(std::log(double(low)) + random.generateDouble() * std::log(double(high) / low)));
}

class Run
{
public:
    Run(const LinkProfile &profile, quint32 seed)
        : m_random(seed)
    {
        m_ok = m_target.listen(QHostAddress::LocalHost, 0);
        m_proxy.setProfiles(profile, profile);
        m_proxy.setSeed(seed);
        m_ok = m_ok &&
               m_proxy.listen(QHostAddress::LocalHost, 0, QHostAddress::LocalHost, m_target.serverPort());
        m_reader.connectToHost(QHostAddress::LocalHost, m_proxy.port());
        m_ok = m_ok && m_reader.waitForConnected(3000) &&
               waitUntil([this] { return m_target.hasPendingConnections(); }, 3000);
        if (m_ok) {
            m_sender = m_target.nextPendingConnection();
            m_sender->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        }
        QObject::connect(&m_reader, &QTcpSocket::readyRead, &m_reader, [this] {
            const double now = m_clock.nsecsElapsed() / 1e6;
            m_got += m_reader.readAll().size();
            if (m_lastRead >= 0)
                m_longestPause = std::max(m_longestPause, now - m_lastRead);
            m_lastRead = now;
        });
        m_clock.start();
    }
    bool isOk() const { return m_ok; }
    int stalls() const { return m_proxy.down().stalls; }

    // Sends one message of this size and waits until it has arrived and been acknowledged.
    bool measure(qint64 size, Figures &figures)
    {
        m_got = 0;
        m_lastRead = -1;
        m_longestPause = 0;
        const double start = m_clock.nsecsElapsed() / 1e6;
        m_sender->write(QByteArray(size, 'x'));
        double acknowledged = -1;
        // The event loop keeps running meanwhile: it carries the link too.
        const bool done = waitUntil(
            [&] {
                if (acknowledged < 0 && m_sender->bytesToWrite() == 0 &&
                    tavrel::server::querySendQueue(m_sender->socketDescriptor()).unacknowledged == 0)
                    acknowledged = m_clock.nsecsElapsed() / 1e6;
                return acknowledged >= 0 && m_got >= size;
            },
            120000, 1);
        if (!done || m_got != size)
            return false;
        figures.pausesMs.push_back(m_longestPause);
        figures.leadsMs.push_back(m_lastRead - acknowledged);
        figures.longestTransferMs = std::max(figures.longestTransferMs, m_lastRead - start);
        // Some quiet before the next message, as between two messages of a session.
        const int idleMs = 50 + int(m_random.bounded(250));
        QElapsedTimer idle;
        idle.start();
        waitUntil([&] { return idle.elapsed() >= idleMs; }, idleMs + 10);
        return true;
    }

private:
    QRandomGenerator m_random;
    QTcpServer m_target;
    LinkProxy m_proxy;
    QTcpSocket m_reader;
    QTcpSocket *m_sender = nullptr;
    QElapsedTimer m_clock;
    bool m_ok = false;
    qint64 m_got = 0;
    double m_lastRead = -1;
    double m_longestPause = 0;
};

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Pauses inside messages and acknowledgement leads through "
                       "emulated links."));
    parser.addHelpOption();
    const QCommandLineOption profilesOption(
        QStringLiteral("profiles"), QStringLiteral("Links, comma-separated (see tavrel-linkproxy --help)."),
        QStringLiteral("list"),
        QStringLiteral("4000k/30ms,2000k/100ms/0.5%x500ms,20000k/40ms/1%x250ms,0k/0ms,"
                       "2000k/100ms/10%x500ms,20000k/40ms/10%x250ms"));
    const QCommandLineOption filesOption(QStringLiteral("files"),
                                         QStringLiteral("File-sized messages (10 KB to 1 MB) per link."),
                                         QStringLiteral("n"), QStringLiteral("30"));
    const QCommandLineOption chatsOption(QStringLiteral("chats"),
                                         QStringLiteral("Chat-sized messages (60 B to 6 KB) per link."),
                                         QStringLiteral("n"), QStringLiteral("60"));
    const QCommandLineOption seedOption(QStringLiteral("seed"), QStringLiteral("Seed of sizes and stalls."),
                                        QStringLiteral("n"));
    parser.addOptions({profilesOption, filesOption, chatsOption, seedOption});
    parser.process(app);

    QTextStream out(stdout);
    const quint32 seed =
        parser.isSet(seedOption) ? parser.value(seedOption).toUInt() : QRandomGenerator::global()->generate();
    out << "seed " << seed << "; load average " << [] {
        QFile f(QStringLiteral("/proc/loadavg"));
        return f.open(QIODevice::ReadOnly) ? QString::fromLatin1(f.readAll()).section(u' ', 0, 2) : QString();
    }() << "\n\n";
    out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
               .arg(QStringLiteral("link"), -24)
               .arg(QStringLiteral("messages"), -14)
               .arg(QStringLiteral("stalls"), 6)
               .arg(QStringLiteral("pause p50/p99/max ms"), 22)
               .arg(QStringLiteral("lead p50/p99/max ms"), 22)
               .arg(QStringLiteral("longest ms"), 11);
    out.flush();
    const int files = parser.value(filesOption).toInt();
    const int chats = parser.value(chatsOption).toInt();
    for (const QString &text : parser.value(profilesOption).split(u',', Qt::SkipEmptyParts)) {
        const std::optional<LinkProfile> profile = LinkProfile::parse(text);
        if (!profile) {
            QTextStream(stderr) << "not a link: " << text << '\n';
            return 2;
        }
        Run run(*profile, seed);
        if (!run.isOk()) {
            QTextStream(stderr) << "cannot set up the link " << text << '\n';
            return 1;
        }
        QRandomGenerator sizes(seed);
        // Chats and files take turns in a random order, as in a session.
        std::vector<bool> isFile(size_t(files), true);
        isFile.resize(size_t(files + chats), false);
        std::shuffle(isFile.begin(), isFile.end(), sizes);
        Figures fileFigures;
        Figures chatFigures;
        for (const bool file : isFile) {
            const qint64 size = file ? logSize(sizes, 10000, 1000000) : logSize(sizes, 60, 6000);
            if (!run.measure(size, file ? fileFigures : chatFigures)) {
                QTextStream(stderr) << "a message of " << size << " bytes did not arrive through " << text
                                    << '\n';
                return 1;
            }
        }
        for (const auto &[name, figures] : {std::pair{QStringLiteral("files"), &fileFigures},
                                            std::pair{QStringLiteral("chat lines"), &chatFigures}}) {
            out << QStringLiteral("%1 %2 %3 %4 %5 %6\n")
                       .arg(profile->toString(), -24)
                       .arg(QStringLiteral("%1 %2").arg(figures->pausesMs.size()).arg(name), -14)
                       .arg(name == QStringLiteral("files") ? QString::number(run.stalls()) : QString(), 6)
                       .arg(spread(figures->pausesMs), 22)
                       .arg(spread(figures->leadsMs), 22)
                       .arg(figures->longestTransferMs, 11, 'f', 0);
        }
        out.flush();
    }
    return 0;
}
