#include "options.h"

#include "configvalues.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>

#include <algorithm>
#include <optional>

using namespace Qt::StringLiterals;

namespace tavrel::server {

namespace {

// A field of Config, for the readers below; it takes a const Config as well.
// clang-format off
#define FIELD(member) [](auto &config) -> auto & { return config.member; }
// clang-format on

std::optional<bool> readFlag(const QString &text)
{
    const QString word = text.trimmed().toLower();
    if (word == u"true" || word == u"yes" || word == u"on" || word == u"1")
        return true;
    if (word == u"false" || word == u"no" || word == u"off" || word == u"0")
        return false;
    return std::nullopt;
}

template<typename Field> OptionReader flag(Field field)
{
    return {[=](const QString &text, Config &config, QString *why) {
                const std::optional<bool> on = readFlag(text);
                *why = u"expected true or false"_s;
                field(config) = on.value_or(false);
                return on.has_value();
            },
            [=](const Config &defaults) { return field(defaults) ? u"true"_s : u"false"_s; }};
}

template<typename Field> OptionReader text(Field field)
{
    return {[=](const QString &text, Config &config, QString *) {
                field(config) = text;
                return true;
            },
            [=](const Config &defaults) { return field(defaults); }};
}

// A whole number from minimum to maximum, kept multiplied by scale.
template<typename Field>
OptionReader number(Field field, qulonglong minimum, qulonglong maximum, int scale = 1)
{
    return {[=](const QString &text, Config &config, QString *why) {
                bool ok = false;
                const qulonglong value = text.toULongLong(&ok);
                *why = u"expected a whole number from %1 to %2"_s.arg(minimum).arg(maximum);
                ok = ok && value >= minimum && value <= maximum;
                field(config) = ok ? value * scale : field(config);
                return ok;
            },
            [=](const Config &defaults) { return QString::number(field(defaults) / scale); }};
}

// The config file's value after "key =": without the quotes, the escapes and the comment.
std::optional<QString> fileValue(QStringView text, QString *why)
{
    QString value;
    qsizetype end = 0; // past the last character that is quoted, escaped or not blank
    bool quoted = false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'"') {
            quoted = !quoted;
        } else if (c == u'\\') {
            if (i + 1 == text.size() || !u"\\\"#;"_s.contains(text[i + 1])) {
                *why = u"a backslash keeps only \\, \", # or ; after it"_s;
                return std::nullopt;
            }
            value += text[++i];
            end = value.size();
        } else if (!quoted && (c == u'#' || c == u';')) {
            break;
        } else {
            value += c;
            if (quoted || !c.isSpace())
                end = value.size();
        }
    }
    if (quoted) {
        *why = u"a double quote is not closed"_s;
        return std::nullopt;
    }
    value.truncate(end);
    return value;
}

} // namespace

const QList<Option> &options()
{
    // The times count in milliseconds inside, in an int.
    constexpr qulonglong kMaxInt = std::numeric_limits<int>::max();
    constexpr qulonglong kMaxSeconds = kMaxInt / 1000;
    static const QList<Option> table{
        {u"listen"_s,
         u"address"_s,
         u"Address to listen on."_s,
         {readListen, [](const Config &defaults) { return defaults.listenAddress.toString(); }}},
        {u"port"_s, u"port"_s, u"TCP port; 0 picks a free one."_s, number(FIELD(port), 0, 65535)},
        {u"data"_s, u"dir"_s, u"Folder for the database, the outbox and the files."_s, text(FIELD(dataDir))},
        {u"tls-cert"_s, u"file"_s,
         u"TLS on the same port, beside plain connections: the certificate and its chain (PEM, as "
         "fullchain.pem); read again on SIGHUP."_s,
         text(FIELD(tlsCertFile)), u"no TLS"_s, u"/etc/tavrel/tls/fullchain.pem"_s},
        {u"tls-key"_s, u"file"_s,
         u"The certificate's private key (PEM, RSA or EC, no passphrase); read again on SIGHUP."_s,
         text(FIELD(tlsKeyFile)), u"no TLS"_s, u"/etc/tavrel/tls/privkey.pem"_s},
        {u"tls-required"_s, QString(),
         u"Tell plain connections that only TLS ones are taken, and close them."_s, flag(FIELD(tlsRequired))},
        {u"max-connections"_s, u"n"_s, u"Connections in all."_s, number(FIELD(maxConnections), 1, kMaxInt)},
        {u"max-per-address"_s, u"n"_s, u"Connections from one address (IPv6: one /64)."_s,
         number(FIELD(maxPerAddress), 1, kMaxInt)},
        {u"max-unauthenticated"_s, u"n"_s, u"Connections that have not logged in, in all."_s,
         number(FIELD(maxUnauthenticated), 1, kMaxInt)},
        {u"max-unauthenticated-per-address"_s, u"n"_s,
         u"Connections that have not logged in, from one address (IPv6: one /64)."_s,
         number(FIELD(maxUnauthenticatedPerAddress), 1, kMaxInt)},
        {u"login-timeout"_s, u"s"_s, u"Seconds a connection may stay open before it logs in."_s,
         number(FIELD(loginTimeoutMs), 1, kMaxSeconds, 1000)},
        {u"lockout-failures"_s, u"n"_s,
         u"Failed logins of one name within an hour that lock the name (at most 10 counted from each "
         "address)."_s,
         number(FIELD(lockoutFailures), 1, kMaxInt)},
        {u"lockout-seconds"_s, u"s"_s, u"How long a locked name stays locked."_s,
         number(FIELD(lockoutSeconds), 0, kMaxInt)},
        // Mails count towards the limits for a day; a longer wait would outlast what is counted.
        {u"resend-seconds"_s, u"s"_s,
         u"Seconds between two verification code mails to one address or for one name."_s,
         number(FIELD(codeResendSeconds), 0, 24 * 3600)},
        {u"upload-quota"_s,
         u"size"_s,
         u"Bytes one user may upload in all (K, M, G)."_s,
         {[](const QString &text, Config &config, QString *why) {
              return readSize(text, &config.uploadQuotaBytes, why);
          },
          [](const Config &defaults) { return sizeText(defaults.uploadQuotaBytes); }}},
        {u"min-free-disk"_s,
         u"share,size"_s,
         u"Refuse uploads while less than this is free on the data disk: a share, a size, or both."_s,
         {readFreeDisk,
          [](const Config &defaults) {
              return QString::number(defaults.minFreePercent) + u"%,"_s + sizeText(defaults.minFreeBytes);
          }}},
        {u"drain-seconds"_s, u"s"_s,
         u"On SIGTERM or SIGINT, how long clients may take to receive what waits for them."_s,
         number(FIELD(drainSeconds), 0, kMaxSeconds)},
        // What libsodium's argon2id takes.
        {u"pwhash-ops"_s, u"n"_s, u"argon2id passes."_s,
         number(FIELD(pwhashOps), crypto_pwhash_OPSLIMIT_MIN, crypto_pwhash_OPSLIMIT_MAX)},
        {u"pwhash-mem"_s, u"bytes"_s, u"argon2id memory in bytes."_s,
         number(FIELD(pwhashMem), crypto_pwhash_MEMLIMIT_MIN, crypto_pwhash_MEMLIMIT_MAX)},
        {u"workers"_s, u"n"_s, u"Threads for hashing and the database; 0: one per core."_s,
         number(FIELD(workerThreads), 0, kMaxInt)},
        {u"database"_s, u"postgresql://user@host:port/dbname"_s,
         u"PostgreSQL for accounts, codes, limits and uploads, shared by every instance."_s,
         text(FIELD(database)), u"SQLite in the data folder"_s,
         u"postgresql://tavrel@db.example.org:5432/tavrel"_s},
        {u"database-password-file"_s, u"file"_s, u"File whose first line is the password for --database."_s,
         text(FIELD(databasePasswordFile)), u"libpq's PGPASSFILE or ~/.pgpass"_s,
         u"/run/credentials/tavrel-server.service/db-password"_s},
        {u"bus"_s, u"redis://[user@]host:port"_s,
         u"Redis that carries chat, notices and the user list between instances; needs --database and "
         "--bus-key-file."_s,
         text(FIELD(bus)), u"none"_s, u"redis://tavrel@bus.example.org:6379"_s},
        {u"bus-password-file"_s, u"file"_s,
         u"File whose first line is the password Redis asks of --bus (AUTH)."_s, text(FIELD(busPasswordFile)),
         u"none"_s, u"/run/credentials/tavrel-server.service/bus-password"_s},
        {u"bus-key-file"_s, u"file"_s,
         u"File whose first line is the key every instance on the bus shares (at least 43 characters: "
         "head -c 32 /dev/urandom | base64)."_s,
         text(FIELD(busKeyFile)), u"none"_s, u"/run/credentials/tavrel-server.service/bus-key"_s},
        {u"mail"_s,
         u"how"_s,
         u"How verification codes leave: outbox (the mails stay in the data folder's outbox/), sendmail "
         "(through the local mail system), smtp://host[:port] (submission, port 587, STARTTLS required) or "
         "smtps://host[:port] (TLS, port 465)."_s,
         {readMailTarget, [](const Config &) { return u"outbox"_s; }}},
        {u"mail-from"_s,
         u"from"_s,
         u"The sender of the mails: address or 'Name <address>'."_s,
         {readMailFrom, [](const Config &defaults) { return QString::fromUtf8(defaults.mail.fromHeader); }}},
        {u"mail-user"_s, u"user"_s, u"User name at the SMTP relay."_s, text(FIELD(mail.user)), u"none"_s,
         u"tavrel@example.org"_s},
        {u"mail-password-file"_s, u"file"_s,
         u"File whose first line is the SMTP password; only its owner may read it."_s,
         text(FIELD(mail.passwordFile)), u"none"_s,
         u"/run/credentials/tavrel-server.service/mail-password"_s},
        {u"mail-ca-file"_s, u"file"_s,
         u"Certificates (PEM) to trust for the SMTP relay instead of the system's."_s,
         text(FIELD(mail.caFile)), u"the system's"_s, u"/etc/tavrel/relay-ca.pem"_s},
        {u"mail-insecure-plaintext"_s, QString(),
         u"Send the codes to an smtp:// relay that offers no STARTTLS, readable by anyone on the way (never "
         "with a password)."_s,
         flag(FIELD(mail.insecurePlaintext))},
        {u"mail-keep-days"_s, u"n"_s,
         u"Days the mails handed to the relay, or given up, stay in outbox/sent/ and outbox/failed/."_s,
         number(FIELD(mail.keepDays), 1, kMaxInt)},
        {u"sendmail-path"_s, u"path"_s, u"The sendmail program for --mail sendmail."_s,
         text(FIELD(mail.sendmailPath))},
        {u"metrics"_s,
         u"address:port"_s,
         u"Serve Prometheus metrics on http://ADDRESS:PORT/metrics; IPv6 in brackets."_s,
         {readMetrics, [](const Config &) { return QString(); }},
         u"off"_s,
         u"127.0.0.1:9187"_s},
    };
    return table;
}

#undef FIELD

namespace {

const Option *findOption(const QString &name)
{
    const auto found = std::find_if(options().cbegin(), options().cend(),
                                    [&name](const Option &option) { return option.name == name; });
    return found == options().cend() ? nullptr : &*found;
}

} // namespace

bool sampleConfig(const QString &templateText, QString *sample, QString *why)
{
    const Config defaults;
    QSet<QString> written;
    QStringList lines;
    for (const QString &line : templateText.split(u'\n')) {
        if (!line.startsWith(u'@')) {
            lines.append(line);
            continue;
        }
        const QString name = line.mid(1);
        const Option *option = findOption(name);
        if (!option || written.contains(name)) {
            *why = u"%1: no such option, or named again"_s.arg(line);
            return false;
        }
        written.insert(name);
        if (!lines.isEmpty() && !lines.last().isEmpty())
            lines.append(QString());
        const QString value = option->reader.show(defaults);
        QString help = option->help + (value.isEmpty() ? u" Default: %1."_s.arg(option->none) : QString());
        // Lines of at most 88 characters, as the rest of the file.
        QString comment = u"#"_s;
        for (const QString &word : help.split(u' ')) {
            if (comment.size() + 1 + word.size() > 88) {
                lines.append(comment);
                comment = u"#"_s;
            }
            comment += u' ' + word;
        }
        lines << comment << u"#%1 = %2"_s.arg(name, value.isEmpty() ? option->example : value);
    }
    for (const Option &option : options()) {
        if (!written.contains(option.name)) {
            *why = u"the template leaves out @%1"_s.arg(option.name);
            return false;
        }
    }
    *sample = lines.join(u'\n');
    return true;
}

OptionParser::OptionParser(const QString &defaultConfigFile)
    : m_defaultConfigFile(defaultConfigFile)
{
    m_parser.setApplicationDescription(u"The Tavrel chat server."_s);
    m_parser.addOption(QCommandLineOption(
        kConfigOption,
        u"Config file: one line 'key = value' for any option below, which the command line overrides; an "
        "empty name reads none (default: %1, when it exists)."_s.arg(defaultConfigFile),
        u"file"_s));
    m_parser.addOption(QCommandLineOption(
        kCheckConfigOption,
        u"Check the command line, the config file and the mail password file, then exit."_s));
    m_parser.addHelpOption();
    m_parser.addVersionOption();
    const Config defaults;
    for (const Option &option : options()) {
        const QString value = option.reader.show(defaults);
        m_parser.addOption(QCommandLineOption(
            option.name,
            option.valueName.isEmpty()
                ? option.help
                : option.help + u" (default: %1)"_s.arg(value.isEmpty() ? option.none : value),
            option.valueName));
    }
}

bool OptionParser::process(const QCoreApplication &app, Config &config)
{
    m_parser.process(app);
    return readConfigFile() && readValues(config);
}

bool OptionParser::parse(const QStringList &arguments, Config &config)
{
    if (!m_parser.parse(arguments)) {
        m_errors = {m_parser.errorText()};
        return false;
    }
    return readConfigFile() && readValues(config);
}

bool OptionParser::isSet(const QString &name) const
{
    const bool given = m_parser.isSet(name) || m_file.contains(name);
    const Option *option = findOption(name);
    return given && (!option || !option->valueName.isEmpty() || readFlag(value(name)).value_or(false));
}

QString OptionParser::value(const QString &name) const
{
    if (!m_parser.isSet(name))
        return m_file.value(name).value;
    const Option *option = findOption(name);
    return option && option->valueName.isEmpty() ? u"true"_s : m_parser.value(name);
}

QString OptionParser::origin(const QString &name) const
{
    if (m_parser.isSet(name) || !m_file.contains(name))
        return u"--"_s + name;
    return u"key '%1' at %2:%3"_s.arg(name, m_configFile, QString::number(m_file.value(name).line));
}

bool OptionParser::readValues(Config &config)
{
    for (const Option &option : options()) {
        if (!m_parser.isSet(option.name) && !m_file.contains(option.name))
            continue;
        QString why;
        if (!option.reader.read(value(option.name), config, &why))
            m_errors.append(u"invalid value for %1: %2%3"_s.arg(
                origin(option.name), value(option.name), why.isEmpty() ? QString() : u" ("_s + why + u')'));
    }
    return m_errors.isEmpty();
}

bool OptionParser::readConfigFile()
{
    m_file.clear();
    m_errors.clear();
    m_configFile = m_parser.isSet(kConfigOption)        ? m_parser.value(kConfigOption)
                   : QFile::exists(m_defaultConfigFile) ? m_defaultConfigFile
                                                        : QString();
    if (m_configFile.isEmpty())
        return true;
    QFile file(m_configFile);
    if (!file.open(QIODevice::ReadOnly)) {
        m_errors.append(u"cannot read the config file %1: %2"_s.arg(m_configFile, file.errorString()));
        return false;
    }
    QString text = QString::fromUtf8(file.readAll());
    if (text.startsWith(QChar::ByteOrderMark))
        text.remove(0, 1);
    const QStringList lines = text.split(u'\n');
    // QSettings puts the keys of a [General] section at the top, where they are here.
    QString section;
    for (int i = 0; i < lines.size(); ++i) {
        const QString line = lines.at(i).trimmed();
        const auto fail = [&](const QString &message) {
            m_errors.append(m_configFile + u':' + QString::number(i + 1) + u": "_s + message);
        };
        if (line.isEmpty() || line.startsWith(u'#') || line.startsWith(u';'))
            continue;
        if (line.startsWith(u'[')) {
            if (!line.endsWith(u']')) {
                fail(u"a section header needs a closing ]"_s);
                continue;
            }
            section = line.mid(1, line.size() - 2).trimmed();
            section = section.compare(u"General", Qt::CaseInsensitive) == 0 ? QString() : section + u'/';
            continue;
        }
        const qsizetype equals = line.indexOf(u'=');
        const QString key = section + line.left(equals).trimmed();
        QString why;
        const std::optional<QString> value = fileValue(QStringView(line).mid(equals + 1).trimmed(), &why);
        if (equals <= 0)
            fail(u"expected 'key = value', got '%1'"_s.arg(line));
        else if (!findOption(key))
            fail(u"unknown key '%1'"_s.arg(key));
        else if (m_file.contains(key))
            fail(u"key '%1' is given again (first at line %2)"_s.arg(key, QString::number(m_file[key].line)));
        else if (!value)
            fail(u"key '%1': %2"_s.arg(key, why));
        else
            m_file.insert(key, FileValue{*value, i + 1});
    }
    return m_errors.isEmpty();
}

} // namespace tavrel::server
