#include "config.h"
#include "logging.h"
#include "server.h"
#include "signals.h"

#include <QCommandLineParser>
#include <QCoreApplication>

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
           QStringLiteral("Seconds a connection may stay silent before it logs in."), QStringLiteral("s"),
           QString::number(config.loginIdleTimeoutMs / 1000));
    option(QStringLiteral("lockout-failures"), QStringLiteral("Failed logins in a row that lock an account."),
           QStringLiteral("n"), QString::number(config.lockoutFailures));
    option(QStringLiteral("lockout-seconds"), QStringLiteral("How long a locked account stays locked."),
           QStringLiteral("s"), QString::number(config.lockoutSeconds));
    option(QStringLiteral("resend-seconds"),
           QStringLiteral("Seconds before a new verification code is sent to the same address."),
           QStringLiteral("s"), QString::number(config.codeResendSeconds));
    option(QStringLiteral("pwhash-ops"), QStringLiteral("argon2id passes."), QStringLiteral("n"),
           QString::number(config.pwhashOps));
    option(QStringLiteral("pwhash-mem"), QStringLiteral("argon2id memory in bytes."), QStringLiteral("bytes"),
           QString::number(config.pwhashMem));
    option(QStringLiteral("workers"),
           QStringLiteral("Threads for hashing and the database; 0: one per core."), QStringLiteral("n"),
           QString::number(config.workerThreads));
    parser.addOption(QCommandLineOption(
        QStringLiteral("database"),
        QStringLiteral("PostgreSQL for accounts, codes, limits and uploads, shared by every instance "
                       "(default: SQLite in the data folder)."),
        QStringLiteral("postgresql://user@host:port/dbname")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("database-password-file"),
        QStringLiteral(
            "File that holds the password for --database (default: libpq's PGPASSFILE or ~/.pgpass)."),
        QStringLiteral("file")));
    parser.addOption(QCommandLineOption(
        QStringLiteral("bus"),
        QStringLiteral(
            "Redis that carries chat, notices and the user list between instances; needs --database."),
        QStringLiteral("redis://host:port")));
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
    int loginTimeout = config.loginIdleTimeoutMs / 1000;
    const bool valid = readNumber(parser, QStringLiteral("port"), config.port, quint16(0)) &&
                       readNumber(parser, QStringLiteral("max-connections"), config.maxConnections, 1) &&
                       readNumber(parser, QStringLiteral("max-per-address"), config.maxPerAddress, 1) &&
                       readNumber(parser, QStringLiteral("login-timeout"), loginTimeout, 1) &&
                       readNumber(parser, QStringLiteral("lockout-failures"), config.lockoutFailures, 1) &&
                       readNumber(parser, QStringLiteral("lockout-seconds"), config.lockoutSeconds, 0) &&
                       readNumber(parser, QStringLiteral("resend-seconds"), config.codeResendSeconds, 0) &&
                       readNumber(parser, QStringLiteral("pwhash-ops"), config.pwhashOps,
                                  static_cast<unsigned long long>(crypto_pwhash_OPSLIMIT_MIN)) &&
                       readNumber(parser, QStringLiteral("pwhash-mem"), config.pwhashMem,
                                  size_t(crypto_pwhash_MEMLIMIT_MIN)) &&
                       readNumber(parser, QStringLiteral("workers"), config.workerThreads, 0);
    if (!valid || loginTimeout > std::numeric_limits<int>::max() / 1000)
        return 2;
    config.loginIdleTimeoutMs = loginTimeout * 1000;
    config.database = parser.value(QStringLiteral("database"));
    config.databasePasswordFile = parser.value(QStringLiteral("database-password-file"));
    config.bus = parser.value(QStringLiteral("bus"));
    if (const QString error = tavrel::server::Server::configurationError(config); !error.isEmpty()) {
        qCritical().noquote() << error;
        return 2;
    }

    tavrel::server::TerminationWatcher watcher;
    tavrel::server::Server server(config);
    QObject::connect(&watcher, &tavrel::server::TerminationWatcher::terminationRequested, &app,
                     [](int signal) {
                         qCInfo(lcServer) << "signal" << signal << "received, shutting down";
                         QCoreApplication::quit();
                     });
    if (!server.start())
        return 1;
    const int code = QCoreApplication::exec();
    server.stop();
    qCInfo(lcServer) << "stopped";
    return code;
}
