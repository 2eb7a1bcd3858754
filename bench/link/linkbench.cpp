// Files and chat over emulated links, end to end: per link, the real window asks the real
// tavrel-server for files of 10 KB to 1 MB (text and PNG) and sends text files of its own,
// while another user chats about every 0.8 s; then it counts what arrived whole.
//
//   bench-link [--server build/server/tavrel-server] [--links 4000k/30ms,...] [--files 52]
//              [--uploads 8] [--seed n] [--haproxy stock|small-buffers] [--output file]
//
// It runs the window offscreen in a scratch folder; it exits 1 when anything arrived broken.
// With --haproxy the link reaches the server through haproxy in TCP mode, a hop that ends
// TCP and acknowledges for the window, as a proxying load balancer in front of the servers:
// with its stock buffers, or with 16 KiB socket buffers towards the window and the server.
// bench-link-tls does the same with the window built for TLS, on certificates it makes.

#include "linktrial.h"
#ifdef TAVREL_TEST_TLS
#include "testcertificates.h"
#endif

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>

#include <cmath>

namespace {

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    return file.open(QIODevice::ReadOnly) ? QString::fromLatin1(file.readAll()).section(u' ', 0, 2)
                                          : QStringLiteral("unknown");
}

// haproxy in TCP mode on a free loopback port, forwarding to the server; 0 when it does not
// come up. Its buffers are the stock ones, or socket buffers of 16 KiB that bound what it
// takes ahead (about 64 KiB in all, against megabytes that the kernel grows them to).
quint16 startHaproxy(QProcess &haproxy, const QString &folder, quint16 serverPort, bool smallBuffers)
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    QFile config(folder + QStringLiteral("/haproxy.cfg"));
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return 0;
    if (smallBuffers)
        config.write("global\n    tune.sndbuf.client 16384\n    tune.rcvbuf.server 16384\n");
    config.write(QStringLiteral("defaults\n    mode tcp\n    timeout connect 5s\n    timeout client 1h\n"
                                "    timeout server 1h\nfrontend window\n    bind 127.0.0.1:%1\n"
                                "    default_backend servers\nbackend servers\n    server one 127.0.0.1:%2\n")
                     .arg(port)
                     .arg(serverPort)
                     .toUtf8());
    config.close();
    haproxy.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    haproxy.start(QStringLiteral("haproxy"),
                  {QStringLiteral("-db"), QStringLiteral("-f"), config.fileName()});
    for (int tries = 0; tries < 100 && haproxy.state() != QProcess::NotRunning; ++tries) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, port);
        if (socket.waitForConnected(100))
            return port;
        QThread::msleep(50);
    }
    return 0;
}

QString ratio(int part, int whole)
{
    return QStringLiteral("%1/%2").arg(part).arg(whole);
}

// Sizes spread evenly on a log scale between low and high.
qint64 logSize(QRandomGenerator &random, qint64 low, qint64 high)
{
    return qint64(std::exp(std::log(double(low)) + random.generateDouble() * std::log(double(high) / low)));
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "*.debug=false");
    QApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Files and chat through emulated links, end to end."));
    parser.addHelpOption();
    const QCommandLineOption serverOption(QStringLiteral("server"),
                                          QStringLiteral("The tavrel-server program."),
                                          QStringLiteral("path"), QStringLiteral(TAVREL_SERVER_BINARY));
    const QCommandLineOption linksOption(
        QStringLiteral("links"),
        QStringLiteral("Links, comma-separated, each for both directions (see tavrel-linkproxy --help)."),
        QStringLiteral("list"),
        QStringLiteral("4000k/30ms,2000k/100ms/0.5%x500ms,20000k/40ms/1%x250ms,0k/0ms"));
    const QCommandLineOption filesOption(QStringLiteral("files"),
                                         QStringLiteral("Files per link, uploads included."),
                                         QStringLiteral("n"), QStringLiteral("52"));
    const QCommandLineOption uploadsOption(
        QStringLiteral("uploads"), QStringLiteral("Of those, text files the window sends (2 to 63 KB)."),
        QStringLiteral("n"), QStringLiteral("8"));
    const QCommandLineOption seedOption(
        QStringLiteral("seed"), QStringLiteral("Seed of sizes, contents and stalls."), QStringLiteral("n"));
    const QCommandLineOption outputOption(
        QStringLiteral("output"), QStringLiteral("Also write the report here."), QStringLiteral("file"));
    const QCommandLineOption haproxyOption(
        QStringLiteral("haproxy"),
        QStringLiteral(
            "Reach the server through haproxy (TCP mode) behind the link, with its stock buffers or "
            "with small-buffers."),
        QStringLiteral("buffers"));
    parser.addOptions(
        {serverOption, linksOption, filesOption, uploadsOption, seedOption, outputOption, haproxyOption});
    parser.process(app);

    QTextStream err(stderr);
    const quint32 seed =
        parser.isSet(seedOption) ? parser.value(seedOption).toUInt() : QRandomGenerator::global()->generate();
    const int fileCount = std::max(1, parser.value(filesOption).toInt());
    const int uploadCount = std::clamp(parser.value(uploadsOption).toInt(), 0, fileCount);
    if (parser.isSet(haproxyOption) && parser.value(haproxyOption) != QLatin1String("stock") &&
        parser.value(haproxyOption) != QLatin1String("small-buffers")) {
        err << "--haproxy takes stock or small-buffers\n";
        return 2;
    }
    QList<LinkProfile> links;
    for (const QString &text : parser.value(linksOption).split(u',', Qt::SkipEmptyParts)) {
        const std::optional<LinkProfile> link = LinkProfile::parse(text);
        if (!link) {
            err << "not a link: " << text << '\n';
            return 2;
        }
        links.append(*link);
    }

    QStringList serverOptions;
#ifdef TAVREL_TEST_TLS
    TestCertificates certificates;
    if (!certificates.make()) {
        err << "cannot make the certificates: " << certificates.error() << '\n';
        return 1;
    }
    serverOptions = certificates.serverOptions();
#endif

    QString report;
    QTextStream out(&report);
    out << "tavrel link benchmark" << (serverOptions.isEmpty() ? "" : " over TLS") << ": " << fileCount
        << " files per link (" << uploadCount << " sent by the window), seed " << seed
        << (parser.isSet(haproxyOption) ? ", through haproxy (" + parser.value(haproxyOption) + ')'
                                        : QString())
        << ", load average before " << loadAverage() << "\n\n";
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
               .arg(QStringLiteral("link"), -24)
               .arg(QStringLiteral("downloads"), 10)
               .arg(QStringLiteral("uploads"), 8)
               .arg(QStringLiteral("chat lines"), 11)
               .arg(QStringLiteral("stalls"), 7)
               .arg(QStringLiteral("seconds"), 8)
               .arg(QStringLiteral("connect ms"), 11);
    bool allIntact = true;
    QStringList faults;
    QElapsedTimer total;
    total.start();
    for (const LinkProfile &link : links) {
        QRandomGenerator random(seed);
        QList<TrialFile> files;
        for (int i = 0; i < fileCount; ++i) {
            // Uploads spread evenly among the downloads.
            const int stride = uploadCount > 0 ? fileCount / uploadCount : 0;
            const bool upload = stride > 0 && i % stride == stride / 2 && i / stride < uploadCount;
            const bool image = !upload && random.bounded(2) == 0;
            const qint64 size = upload ? logSize(random, 2000, 63000) : logSize(random, 10000, 1000000);
            const QString name = QStringLiteral("%1%2.%3")
                                     .arg(upload  ? QStringLiteral("up")
                                          : image ? QStringLiteral("p")
                                                  : QStringLiteral("t"))
                                     .arg(i, 2, 10, QLatin1Char('0'))
                                     .arg(image ? QStringLiteral("png") : QStringLiteral("txt"));
            files.append({name,
                          image ? trialPng(size, seed + quint32(i)) : trialText(size, seed + quint32(i)),
                          upload});
        }
        QTemporaryDir work;
        if (!work.isValid() || !QDir::setCurrent(work.path())) {
            err << "cannot make a scratch folder\n";
            return 1;
        }
        TrialSettings settings;
        settings.serverBinary = parser.value(serverOption);
        settings.serverOptions = serverOptions;
        settings.down = link;
        settings.up = link;
        settings.seed = seed;
        QProcess haproxy;
        QTemporaryDir haproxyFolder; // the window's folder must hold only what it receives
        if (parser.isSet(haproxyOption))
            settings.hop = [&](quint16 serverPort) {
                return startHaproxy(haproxy, haproxyFolder.path(), serverPort,
                                    parser.value(haproxyOption) == QLatin1String("small-buffers"));
            };
        err << "running " << link.toString() << " ...\n";
        err.flush();
        const TrialResult result = runTrial(settings, files);
        haproxy.terminate();
        haproxy.waitForFinished(5000);
        QDir::setCurrent(QDir::tempPath());
        const bool intact = result.faults.isEmpty() && result.downloadsIntact == result.downloads &&
                            result.uploadsIntact == result.uploads &&
                            result.chatLinesIntact == result.chatLines;
        allIntact = allIntact && intact;
        for (const QString &fault : result.faults)
            faults << link.toString() + QStringLiteral(": ") + fault;
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7\n")
                   .arg(link.toString(), -24)
                   .arg(ratio(result.downloadsIntact, result.downloads), 10)
                   .arg(ratio(result.uploadsIntact, result.uploads), 8)
                   .arg(ratio(result.chatLinesIntact, result.chatLines), 11)
                   .arg(QStringLiteral("%1+%2").arg(result.down.stalls).arg(result.up.stalls), 7)
                   .arg(result.seconds, 8, 'f', 1)
                   .arg(result.connectMs, 11);
        out.flush();
        err << report.section(u'\n', -2, -2) << '\n';
        err.flush();
    }
    out << "\nintact / total per link; stalls: down+up; connect: the click, TCP and TLS included; the same "
           "sizes, contents and stall draws on every "
           "link.\n"
        << "total " << QString::number(total.elapsed() / 1000.0, 'f', 0) << " s, load average after "
        << loadAverage() << '\n';
    for (const QString &fault : faults)
        out << "fault: " << fault << '\n';
    out.flush();
    QTextStream(stdout) << report;
    if (parser.isSet(outputOption)) {
        QFile file(parser.value(outputOption));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(report.toUtf8()) < 0) {
            err << "cannot write " << parser.value(outputOption) << '\n';
            return 1;
        }
    }
    return allIntact ? 0 : 1;
}
