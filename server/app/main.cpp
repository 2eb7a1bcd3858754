#include "config.h"
#include "configvalues.h"
#include "logging.h"
#include "options.h"
#include "server.h"
#include "signals.h"
#include "tlscredentials.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <sys/stat.h>

using tavrel::server::Config;
using tavrel::server::MailConfig;
using tavrel::server::OptionParser;

namespace {

void reject(const OptionParser &parser, const QString &option, const QString &why = QString())
{
    qCCritical(lcServer).noquote() << QStringLiteral("invalid value for %1: %2%3")
                                          .arg(parser.origin(option), parser.value(option),
                                               why.isEmpty() ? QString() : QStringLiteral(" (") + why + u')');
}

template<typename Number>
bool readNumber(const OptionParser &parser, const QString &option, Number &value, Number minimum)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const qulonglong read = parser.value(option).toULongLong(&ok);
    if (!ok || read < qulonglong(minimum) || read > qulonglong(std::numeric_limits<Number>::max())) {
        reject(parser, option);
        return false;
    }
    value = Number(read);
    return true;
}

// The mail options: how codes leave, and what the relay needs.
bool readMail(const OptionParser &parser, MailConfig &mail)
{
    const QString how = QStringLiteral("mail");
    const QString from = QStringLiteral("mail-from");
    const QString user = QStringLiteral("mail-user");
    const QString passwordFile = QStringLiteral("mail-password-file");
    const QString caFile = QStringLiteral("mail-ca-file");
    const QString sendmail = QStringLiteral("sendmail-path");
    const QString plaintext = QStringLiteral("mail-insecure-plaintext");
    const QString keepDays = QStringLiteral("mail-keep-days");
    QString why;
    // Reads the option, if given, with read(value); false after saying what is wrong.
    const auto read = [&](const QString &option, const std::function<bool(const QString &)> &reader) {
        if (!parser.isSet(option) || reader(parser.value(option)))
            return true;
        reject(parser, option, why);
        return false;
    };
    // False after saying that option, when given, needs what.
    const auto needs = [&](const QString &option, bool met, const QString &what) {
        if (parser.isSet(option) && !met)
            qCCritical(lcServer).noquote() << parser.origin(option) << "needs" << what;
        return met || !parser.isSet(option);
    };
    if (!read(how, [&](const QString &text) { return tavrel::server::readMailTarget(text, mail, &why); }) ||
        !read(from, [&](const QString &text) { return tavrel::server::readMailFrom(text, mail, &why); }))
        return false;
    const bool smtp = mail.transport == MailConfig::Transport::Smtp;
    const QString smtpNeeded = QStringLiteral("mail = smtp://... or smtps://...");
    if (!needs(how, mail.transport == MailConfig::Transport::Outbox || parser.isSet(from),
               QStringLiteral("mail-from: an address the mail system accepts mail from")) ||
        !needs(user, smtp, smtpNeeded) || !needs(caFile, smtp, smtpNeeded) ||
        !needs(plaintext, smtp, smtpNeeded) || !needs(user, parser.isSet(passwordFile), passwordFile) ||
        !needs(passwordFile, parser.isSet(user), user))
        return false;
    mail.user = parser.value(user);
    mail.caFile = parser.value(caFile);
    mail.insecurePlaintext = parser.isSet(plaintext);
    if (!readNumber(parser, keepDays, mail.keepDays, 1))
        return false;
    if (!read(passwordFile,
              [&](const QString &path) {
                  return tavrel::server::readSecretFile(path, &mail.password, &why);
              }) ||
        !read(caFile, [&](const QString &path) {
            why = QStringLiteral("not a readable file");
            return QFileInfo(path).isFile() && QFileInfo(path).isReadable();
        }))
        return false;
    if (parser.isSet(sendmail))
        mail.sendmailPath = parser.value(sendmail);
    if (mail.transport == MailConfig::Transport::Sendmail && !QFileInfo(mail.sendmailPath).isExecutable()) {
        qCCritical(lcServer).noquote()
            << parser.origin(sendmail) << mail.sendmailPath << "is not an executable program";
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    // The database, the code mails and the uploads are the owner's alone, whatever umask
    // the server was started with.
    ::umask(S_IRWXG | S_IRWXO);
    tavrel::server::installLogFormat();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    Config config;
    OptionParser parser(QStringLiteral(TAVREL_CONFIG_FILE));
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
    option(QStringLiteral("tls-cert"),
           QStringLiteral("TLS on the same port, beside plain connections: the certificate and its chain "
                          "(PEM, as fullchain.pem); read again on SIGHUP."),
           QStringLiteral("file"), QStringLiteral("no TLS"));
    option(QStringLiteral("tls-key"),
           QStringLiteral("The certificate's private key (PEM, RSA or EC, no passphrase); read again on "
                          "SIGHUP."),
           QStringLiteral("file"), QStringLiteral("no TLS"));
    parser.addOption(QCommandLineOption(
        QStringLiteral("tls-required"),
        QStringLiteral("Tell plain connections that only TLS ones are taken, and close them.")));
    option(QStringLiteral("max-connections"), QStringLiteral("Connections in all."), QStringLiteral("n"),
           QString::number(config.maxConnections));
    option(QStringLiteral("max-per-address"), QStringLiteral("Connections from one address (IPv6: one /64)."),
           QStringLiteral("n"), QString::number(config.maxPerAddress));
    option(QStringLiteral("max-unauthenticated"),
           QStringLiteral("Connections that have not logged in, in all."), QStringLiteral("n"),
           QString::number(config.maxUnauthenticated));
    option(QStringLiteral("max-unauthenticated-per-address"),
           QStringLiteral("Connections that have not logged in, from one address (IPv6: one /64)."),
           QStringLiteral("n"), QString::number(config.maxUnauthenticatedPerAddress));
    option(QStringLiteral("login-timeout"),
           QStringLiteral("Seconds a connection may stay open before it logs in."), QStringLiteral("s"),
           QString::number(config.loginTimeoutMs / 1000));
    option(QStringLiteral("lockout-failures"),
           QStringLiteral("Failed logins of one name within an hour that lock the name (at most 10 "
                          "counted from each address)."),
           QStringLiteral("n"), QString::number(config.lockoutFailures));
    option(QStringLiteral("lockout-seconds"), QStringLiteral("How long a locked name stays locked."),
           QStringLiteral("s"), QString::number(config.lockoutSeconds));
    option(QStringLiteral("resend-seconds"),
           QStringLiteral("Seconds between two verification code mails to one address or for one name."),
           QStringLiteral("s"), QString::number(config.codeResendSeconds));
    option(QStringLiteral("upload-quota"), QStringLiteral("Bytes one user may upload in all (K, M, G)."),
           QStringLiteral("size"), tavrel::server::sizeText(config.uploadQuotaBytes));
    option(QStringLiteral("min-free-disk"),
           QStringLiteral("Refuse uploads while less than this is free on the data disk: a share, a size, "
                          "or both."),
           QStringLiteral("share,size"),
           QString::number(config.minFreePercent) + QStringLiteral("%,") +
               tavrel::server::sizeText(config.minFreeBytes));
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
    option(QStringLiteral("database"),
           QStringLiteral("PostgreSQL for accounts, codes, limits and uploads, shared by every instance."),
           QStringLiteral("postgresql://user@host:port/dbname"), QStringLiteral("SQLite in the data folder"));
    option(QStringLiteral("database-password-file"),
           QStringLiteral("File whose first line is the password for --database."), QStringLiteral("file"),
           QStringLiteral("libpq's PGPASSFILE or ~/.pgpass"));
    option(QStringLiteral("bus"),
           QStringLiteral("Redis that carries chat, notices and the user list between instances; needs "
                          "--database and --bus-key-file."),
           QStringLiteral("redis://[user@]host:port"), QStringLiteral("none"));
    option(QStringLiteral("bus-password-file"),
           QStringLiteral("File whose first line is the password Redis asks of --bus (AUTH)."),
           QStringLiteral("file"), QStringLiteral("none"));
    option(QStringLiteral("bus-key-file"),
           QStringLiteral("File whose first line is the key every instance on the bus shares (at least 43 "
                          "characters: head -c 32 /dev/urandom | base64)."),
           QStringLiteral("file"), QStringLiteral("none"));
    option(
        QStringLiteral("mail"),
        QStringLiteral("How verification codes leave: outbox (the mails stay in the data folder's outbox/), "
                       "sendmail (through the local mail system), smtp://host[:port] (submission, port "
                       "587, STARTTLS required) or smtps://host[:port] (TLS, port 465)."),
        QStringLiteral("how"), QStringLiteral("outbox"));
    option(QStringLiteral("mail-from"),
           QStringLiteral("The sender of the mails: address or 'Name <address>'."), QStringLiteral("from"),
           QString::fromLatin1(config.mail.fromHeader));
    option(QStringLiteral("mail-user"), QStringLiteral("User name at the SMTP relay."),
           QStringLiteral("user"), QStringLiteral("none"));
    option(QStringLiteral("mail-password-file"),
           QStringLiteral("File whose first line is the SMTP password; only its owner may read it."),
           QStringLiteral("file"), QStringLiteral("none"));
    option(QStringLiteral("mail-ca-file"),
           QStringLiteral("Certificates (PEM) to trust for the SMTP relay instead of the system's."),
           QStringLiteral("file"), QStringLiteral("the system's"));
    parser.addOption(QCommandLineOption(
        QStringLiteral("mail-insecure-plaintext"),
        QStringLiteral(
            "Send the codes to an smtp:// relay that offers no STARTTLS, readable by anyone on the "
            "way (never with a password).")));
    option(QStringLiteral("mail-keep-days"),
           QStringLiteral("Days the mails handed to the relay, or given up, stay in outbox/sent/ and "
                          "outbox/failed/."),
           QStringLiteral("n"), QString::number(config.mail.keepDays));
    option(QStringLiteral("sendmail-path"), QStringLiteral("The sendmail program for --mail sendmail."),
           QStringLiteral("path"), config.mail.sendmailPath);
    option(QStringLiteral("metrics"),
           QStringLiteral("Serve Prometheus metrics on http://ADDRESS:PORT/metrics; IPv6 in brackets."),
           QStringLiteral("address:port"), QStringLiteral("off"));
    if (!parser.process(app)) {
        for (const QString &error : parser.errors())
            qCCritical(lcServer).noquote() << error;
        return 2;
    }
    if (!parser.configFile().isEmpty())
        qCInfo(lcServer).noquote() << "configuration read from" << parser.configFile();

    if (parser.isSet(QStringLiteral("listen"))) {
        config.listenAddress = QHostAddress(parser.value(QStringLiteral("listen")));
        if (config.listenAddress.isNull()) {
            reject(parser, QStringLiteral("listen"), QStringLiteral("not an IP address"));
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("metrics"))) {
        QString why;
        if (!tavrel::server::readEndpoint(parser.value(QStringLiteral("metrics")), &config.metricsAddress,
                                          &config.metricsPort, &why)) {
            reject(parser, QStringLiteral("metrics"), why);
            return 2;
        }
    }
    if (!readMail(parser, config.mail))
        return 2;
    if (parser.isSet(QStringLiteral("upload-quota"))) {
        QString why;
        if (!tavrel::server::readSize(parser.value(QStringLiteral("upload-quota")), &config.uploadQuotaBytes,
                                      &why)) {
            reject(parser, QStringLiteral("upload-quota"), why);
            return 2;
        }
    }
    if (parser.isSet(QStringLiteral("min-free-disk"))) {
        QString why;
        if (!tavrel::server::readFreeDisk(parser.value(QStringLiteral("min-free-disk")), config, &why)) {
            reject(parser, QStringLiteral("min-free-disk"), why);
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
    const bool validCaps =
        readNumber(parser, QStringLiteral("max-unauthenticated"), config.maxUnauthenticated, 1) &&
        readNumber(parser, QStringLiteral("max-unauthenticated-per-address"),
                   config.maxUnauthenticatedPerAddress, 1);
    // Mails count towards the limits for a day; a longer wait would outlast what is counted.
    constexpr int maxSeconds = std::numeric_limits<int>::max() / 1000;
    if (!valid || !validCaps || loginTimeout > maxSeconds || config.drainSeconds > maxSeconds ||
        config.codeResendSeconds > 24 * 3600)
        return 2;
    config.loginTimeoutMs = loginTimeout * 1000;
    config.database = parser.value(QStringLiteral("database"));
    config.databasePasswordFile = parser.value(QStringLiteral("database-password-file"));
    config.bus = parser.value(QStringLiteral("bus"));
    config.busPasswordFile = parser.value(QStringLiteral("bus-password-file"));
    config.busKeyFile = parser.value(QStringLiteral("bus-key-file"));
    config.tlsCertFile = parser.value(QStringLiteral("tls-cert"));
    config.tlsKeyFile = parser.value(QStringLiteral("tls-key"));
    config.tlsRequired = parser.isSet(QStringLiteral("tls-required"));
    if (const QString error = tavrel::server::Server::configurationError(config); !error.isEmpty()) {
        qCCritical(lcServer).noquote() << error;
        return 2;
    }
    if (!config.tlsCertFile.isEmpty()) {
        QString why;
        if (!tavrel::server::TlsCredentials::read(config.tlsCertFile, config.tlsKeyFile, &why)) {
            qCCritical(lcServer).noquote()
                << parser.origin(QStringLiteral("tls-cert")) << "and"
                << parser.origin(QStringLiteral("tls-key")) << "cannot serve:" << why;
            return 2;
        }
    }
    if (parser.isSet(OptionParser::kCheckConfigOption)) {
        qCInfo(lcServer) << "the configuration is valid";
        return 0;
    }

    tavrel::server::TerminationWatcher watcher;
    tavrel::server::Server server(config);
    QObject::connect(&watcher, &tavrel::server::TerminationWatcher::terminationRequested, &server,
                     [&server, &config](int signal) {
                         qCInfo(lcServer) << "signal" << signal << "received, shutting down";
                         server.shutdown(config.drainSeconds * 1000);
                     });
    QObject::connect(&watcher, &tavrel::server::TerminationWatcher::reloadRequested, &server,
                     &tavrel::server::Server::reloadTls);
    QObject::connect(&server, &tavrel::server::Server::drained, &app, &QCoreApplication::quit);
    if (!server.start())
        return 1;
    const int code = QCoreApplication::exec();
    server.stop();
    qCInfo(lcServer) << "stopped";
    return code;
}
