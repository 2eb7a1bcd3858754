#include "config.h"
#include "logging.h"
#include "server.h"
#include "signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <optional>

using tavrel::server::Config;

namespace {

template<typename Number>
bool readNumber(const QCommandLineParser &parser, const QString &option, Number &value, Number minimum)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const qulonglong read = parser.value(option).toULongLong(&ok);
    if (!ok || read < qulonglong(minimum) || read > qulonglong(std::numeric_limits<Number>::max())) {
        qCritical().noquote() << "invalid value for --" + option + ":" << parser.value(option);
        return false;
    }
    value = Number(read);
    return true;
}

struct SizeUnit
{
    char suffix;
    qint64 factor;
};
constexpr SizeUnit kSizeUnits[] = {{'G', qint64(1) << 30}, {'M', qint64(1) << 20}, {'K', qint64(1) << 10}};

// "20M", "1G", "4096": bytes, with an optional binary K, M or G.
std::optional<qint64> parseSize(QString text)
{
    text = text.trimmed().toUpper();
    qint64 unit = 1;
    for (const SizeUnit &u : kSizeUnits) {
        if (text.endsWith(QLatin1Char(u.suffix))) {
            unit = u.factor;
            text.chop(1);
            break;
        }
    }
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (!ok || value < 0 || value > std::numeric_limits<qint64>::max() / unit)
        return std::nullopt;
    return value * unit;
}

// "5%,1G": a share of the disk and a size; either may be left out.
bool parseFreeDisk(const QString &text, Config &config)
{
    config.minFreeBytes = 0;
    config.minFreePercent = 0;
    for (const QString &part : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        if (part.trimmed().endsWith(QLatin1Char('%'))) {
            bool ok = false;
            config.minFreePercent = part.trimmed().chopped(1).toInt(&ok);
            if (!ok || config.minFreePercent < 0 || config.minFreePercent > 100)
                return false;
        } else if (const std::optional<qint64> bytes = parseSize(part)) {
            config.minFreeBytes = *bytes;
        } else {
            return false;
        }
    }
    return true;
}

QString sizeText(qint64 bytes)
{
    for (const SizeUnit &u : kSizeUnits) {
        if (bytes >= u.factor && bytes % u.factor == 0)
            return QString::number(bytes / u.factor) + QLatin1Char(u.suffix);
    }
    return QString::number(bytes);
}

} // namespace

int main(int argc, char *argv[])
{
    qSetMessagePattern(QStringLiteral("%{time yyyy-MM-ddThh:mm:ss.zzz} %{category} %{type}: %{message}"));
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    Config config;
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The Tavrel chat server."));
    parser.addHelpOption();
    parser.addVersionOption();
    const auto option = [&parser](const QString &name, const QString &help, const QString &valueName,
                                  const QString &fallback) {
        parser.addOption(
            QCommandLineOption(name, help + QStringLiteral(" (default: %1)").arg(fallback), valueName));
    };
    option(QStringLiteral("listen"), QStringLiteral("Address to listen on."), QStringLiteral("address"),
           config.listenAddress.toString());
    option(QStringLiteral("port"), QStringLiteral("TCP port; 0 picks a free one."), QStringLiteral("port"),
           QString::number(config.port));
    option(QStringLiteral("data"), QStringLiteral("Folder for the database, the outbox and the files."),
           QStringLiteral("dir"), QStringLiteral("./") + config.dataDir);
    option(QStringLiteral("max-connections"), QStringLiteral("Connections in all."), QStringLiteral("n"),
           QString::number(config.maxConnections));
    option(QStringLiteral("max-per-address"), QStringLiteral("Connections from one address."),
           QStringLiteral("n"), QString::number(config.maxPerAddress));
    option(QStringLiteral("login-timeout"),
           QStringLiteral("Seconds a connection may stay open before it logs in."), QStringLiteral("s"),
           QString::number(config.loginTimeoutMs / 1000));
    option(QStringLiteral("lockout-failures"),
           QStringLiteral("Failed logins of one name within an hour that lock the name."),
           QStringLiteral("n"), QString::number(config.lockoutFailures));
    option(QStringLiteral("lockout-seconds"), QStringLiteral("How long a locked name stays locked."),
           QStringLiteral("s"), QString::number(config.lockoutSeconds));
    option(QStringLiteral("resend-seconds"),
           QStringLiteral("Seconds between two verification code mails to one address or for one name."),
           QStringLiteral("s"), QString::number(config.codeResendSeconds));
    option(QStringLiteral("upload-quota"), QStringLiteral("Bytes one user may upload in all (K, M, G)."),
           QStringLiteral("size"), sizeText(config.uploadQuotaBytes));
    option(QStringLiteral("min-free-disk"),
           QStringLiteral("Refuse uploads while less than this is free on the data disk: a share, a size "
                          "or both."),
           QStringLiteral("share,size"),
           QString::number(config.minFreePercent) + QStringLiteral("%,") + sizeText(config.minFreeBytes));
    option(QStringLiteral("drain-seconds"),
           QStringLiteral("On SIGTERM or SIGINT, how long clients may take to receive what waits for them."),
           QStringLiteral("s"), QString::number(config.drainSeconds));
    option(QStringLiteral("pwhash-ops"), QStringLiteral("argon2id passes."), QStringLiteral("n"),
           QString::number(config.pwhashOps));
    option(QStringLiteral("pwhash-mem"), QStringLiteral("argon2id memory in bytes."), QStringLiteral("bytes"),
           QString::number(config.pwhashMem));
    option(QStringLiteral("workers"),
           QStringLiteral("Threads for hashing and the database; 0: one per core."), QStringLiteral("n"),
           QString::number(config.workerThreads));
    parser.process(app);

    if (parser.isSet(QStringLiteral("listen"))) {
        config.listenAddress = QHostAddress(parser.value(QStringLiteral("listen")));
        if (config.listenAddress.isNull()) {
            qCritical().noquote() << "--listen needs an IP address, got"
                                  << parser.value(QStringLiteral("listen"));
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("data")))
        config.dataDir = parser.value(QStringLiteral("data"));
    int loginTimeout = config.loginTimeoutMs / 1000;
    const bool valid = readNumber(parser, QStringLiteral("port"), config.port, quint16(0)) &&
                       readNumber(parser, QStringLiteral("max-connections"), config.maxConnections, 1) &&
                       readNumber(parser, QStringLiteral("max-per-address"), config.maxPerAddress, 1) &&
                       readNumber(parser, QStringLiteral("login-timeout"), loginTimeout, 1) &&
                       readNumber(parser, QStringLiteral("lockout-failures"), config.lockoutFailures, 1) &&
                       readNumber(parser, QStringLiteral("lockout-seconds"), config.lockoutSeconds, 0) &&
                       readNumber(parser, QStringLiteral("resend-seconds"), config.codeResendSeconds, 0) &&
                       readNumber(parser, QStringLiteral("drain-seconds"), config.drainSeconds, 0) &&
                       readNumber(parser, QStringLiteral("pwhash-ops"), config.pwhashOps,
                                  static_cast<unsigned long long>(crypto_pwhash_OPSLIMIT_MIN)) &&
                       readNumber(parser, QStringLiteral("pwhash-mem"), config.pwhashMem,
                                  size_t(crypto_pwhash_MEMLIMIT_MIN)) &&
                       readNumber(parser, QStringLiteral("workers"), config.workerThreads, 0);
    constexpr int maxSeconds = std::numeric_limits<int>::max() / 1000;
    if (!valid || loginTimeout > maxSeconds || config.drainSeconds > maxSeconds ||
        config.codeResendSeconds > 24 * 3600)
        return 2;
    config.loginTimeoutMs = loginTimeout * 1000;
    if (parser.isSet(QStringLiteral("upload-quota"))) {
        const std::optional<qint64> quota = parseSize(parser.value(QStringLiteral("upload-quota")));
        if (!quota) {
            qCritical().noquote() << "invalid value for --upload-quota:"
                                  << parser.value(QStringLiteral("upload-quota"));
            return 2;
        }
        config.uploadQuotaBytes = *quota;
    }
    if (parser.isSet(QStringLiteral("min-free-disk")) &&
        !parseFreeDisk(parser.value(QStringLiteral("min-free-disk")), config)) {
        qCritical().noquote() << "invalid value for --min-free-disk:"
                              << parser.value(QStringLiteral("min-free-disk"));
        return 2;
    }

    tavrel::server::TerminationWatcher watcher;
    tavrel::server::Server server(config);
    QObject::connect(&watcher, &tavrel::server::TerminationWatcher::terminationRequested, &server,
                     [&server, &config](int signal) {
                         qCInfo(lcServer) << "signal" << signal << "received, shutting down";
                         server.shutdown(config.drainSeconds * 1000);
                     });
    QObject::connect(&server, &tavrel::server::Server::drained, &app, &QCoreApplication::quit);
    if (!server.start())
        return 1;
    const int code = QCoreApplication::exec();
    server.stop();
    qCInfo(lcServer) << "stopped";
    return code;
}
