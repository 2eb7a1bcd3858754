#include "config.h"
#include "configvalues.h"
#include "eventdispatcher.h"
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

// The mail options that need one another, and the files they name.
bool checkMail(const OptionParser &parser, MailConfig &mail)
{
    const QString how = QStringLiteral("mail");
    const QString from = QStringLiteral("mail-from");
    const QString user = QStringLiteral("mail-user");
    const QString passwordFile = QStringLiteral("mail-password-file");
    const QString caFile = QStringLiteral("mail-ca-file");
    const QString plaintext = QStringLiteral("mail-insecure-plaintext");
    // False after saying that option, when given, needs what.
    const auto needs = [&](const QString &option, bool met, const QString &what) {
        if (parser.isSet(option) && !met)
            qCCritical(lcServer).noquote() << parser.origin(option) << "needs" << what;
        return met || !parser.isSet(option);
    };
    const bool smtp = mail.transport == MailConfig::Transport::Smtp;
    const QString smtpNeeded = QStringLiteral("mail = smtp://... or smtps://...");
    if (!needs(how, mail.transport == MailConfig::Transport::Outbox || parser.isSet(from),
               QStringLiteral("mail-from: an address the mail system accepts mail from")) ||
        !needs(user, smtp, smtpNeeded) || !needs(caFile, smtp, smtpNeeded) ||
        !needs(plaintext, smtp, smtpNeeded) || !needs(user, parser.isSet(passwordFile), passwordFile) ||
        !needs(passwordFile, parser.isSet(user), user))
        return false;
    QString why;
    const auto refuse = [&](const QString &option) {
        qCCritical(lcServer).noquote() << QStringLiteral("invalid value for %1: %2 (%3)")
                                              .arg(parser.origin(option), parser.value(option), why);
        return false;
    };
    if (parser.isSet(passwordFile) &&
        !tavrel::server::readSecretFile(mail.passwordFile, &mail.password, &why))
        return refuse(passwordFile);
    why = QStringLiteral("not a readable file");
    if (parser.isSet(caFile) && !(QFileInfo(mail.caFile).isFile() && QFileInfo(mail.caFile).isReadable()))
        return refuse(caFile);
    if (mail.transport == MailConfig::Transport::Sendmail && !QFileInfo(mail.sendmailPath).isExecutable()) {
        qCCritical(lcServer).noquote() << parser.origin(QStringLiteral("sendmail-path")) << mail.sendmailPath
                                       << "is not an executable program";
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
    tavrel::server::installEventDispatcher();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("tavrel-server"));
    QCoreApplication::setApplicationVersion(QStringLiteral(TAVREL_VERSION));

    Config config;
    OptionParser parser(QStringLiteral(TAVREL_CONFIG_FILE));
    if (!parser.process(app, config)) {
        for (const QString &error : parser.errors())
            qCCritical(lcServer).noquote() << error;
        return 2;
    }
    if (!parser.configFile().isEmpty())
        qCInfo(lcServer).noquote() << "configuration read from" << parser.configFile();
    if (!checkMail(parser, config.mail))
        return 2;
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
