// Puts an emulated link between a window and a server on this machine, for instance:
//   tavrel-linkproxy --listen 12345 --target 23456 --down 2000k/100ms/0.5%x500ms --up 2000k/100ms
// and then a window that connects to 127.0.0.1:12345 talks to the server on port 23456.

#include "linkproxy.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Carries TCP connections between two loopback ports through an emulated link.\n"
        "A link is rate/delay[/chance%xstall][/aheadNk]: 2000k/100ms/0.5%x500ms is 2 Mbit/s, 100 ms\n"
        "one way, and a 500 ms stall with a chance of 0.5% per 16 KiB. A rate of 0k is no limit.\n"
        "/ahead64k takes 64 KiB from the sender ahead of the link, as a hop that ends TCP does."));
    parser.addHelpOption();
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Port to listen on."),
                                    QStringLiteral("port"), QStringLiteral("12345"));
    const QCommandLineOption target(QStringLiteral("target"), QStringLiteral("Port of the server."),
                                    QStringLiteral("port"));
    const QCommandLineOption down(QStringLiteral("down"), QStringLiteral("Link from the server."),
                                  QStringLiteral("link"), QStringLiteral("0k/0ms"));
    const QCommandLineOption up(QStringLiteral("up"),
                                QStringLiteral("Link to the server (default: as down)."),
                                QStringLiteral("link"));
    const QCommandLineOption seed(QStringLiteral("seed"), QStringLiteral("Seed of the stalls."),
                                  QStringLiteral("n"));
    parser.addOptions({listen, target, down, up, seed});
    parser.process(app);

    QTextStream err(stderr);
    const std::optional<LinkProfile> downLink = LinkProfile::parse(parser.value(down));
    const std::optional<LinkProfile> upLink = LinkProfile::parse(parser.value(parser.isSet(up) ? up : down));
    bool portsOk = false;
    const uint targetPort = parser.value(target).toUInt(&portsOk);
    bool listenOk = false;
    const uint listenPort = parser.value(listen).toUInt(&listenOk);
    if (!downLink || !upLink || !portsOk || !listenOk || targetPort > 65535 || listenPort > 65535) {
        err << "give --target and links of the form rate/delay[/chance%xstall][/aheadNk]; see --help\n";
        return 2;
    }
    LinkProxy proxy;
    proxy.setProfiles(*downLink, *upLink);
    if (parser.isSet(seed))
        proxy.setSeed(parser.value(seed).toUInt());
    if (!proxy.listen(QHostAddress::LocalHost, quint16(listenPort), QHostAddress::LocalHost,
                      quint16(targetPort))) {
        err << proxy.errorString() << '\n';
        return 1;
    }
    err << "127.0.0.1:" << proxy.port() << " -> 127.0.0.1:" << targetPort << ", down " << downLink->toString()
        << ", up " << upLink->toString() << ", seed " << proxy.seed() << '\n';
    err.flush();
    return QCoreApplication::exec();
}
