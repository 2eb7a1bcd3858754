#include "dbconnection.h"

#include "configvalues.h"
#include "logging.h"

#include <QCryptographicHash>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>
#include <QUrlQuery>
#include <QVariant>
#include <QtEndian>

namespace tavrel::server {

namespace {

// Mixed into every advisory lock number, so that they differ from those of the database's
// other users ("tavrel" in ASCII).
constexpr qint64 kWriterLock = 0x74617672656c;

bool exec(QSqlDatabase &db, const QString &statement, QString *error)
{
    QSqlQuery query(db);
    if (query.exec(statement))
        return true;
    *error = statement + QStringLiteral(": ") + query.lastError().text();
    return false;
}

} // namespace

std::optional<DatabaseAddress> parseDatabaseUrl(const QString &text, const QString &passwordFile,
                                                QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    const QString path = url.path();
    if (!url.isValid() ||
        (url.scheme() != QLatin1String("postgresql") && url.scheme() != QLatin1String("postgres")) ||
        url.host().isEmpty() || url.userName().isEmpty() || path.size() < 2 || path.indexOf(u'/', 1) >= 0 ||
        url.hasFragment()) {
        *error = QStringLiteral("--database needs postgresql://user@host:port/dbname, got ") + text;
        return std::nullopt;
    }
    if (!url.password().isEmpty()) {
        *error = QStringLiteral("--database: give the password with --database-password-file or PGPASSFILE, "
                                "not in the URL, where the process list shows it");
        return std::nullopt;
    }
    DatabaseAddress address;
    address.host = url.host();
    address.port = url.port(5432);
    address.user = url.userName();
    address.name = path.mid(1);
    if (address.port <= 0) {
        *error = QStringLiteral("--database needs a port from 1 to 65535: ") + text;
        return std::nullopt;
    }
    // Qt joins the options with ';' and libpq reads key=value pairs: neither may hide in a value.
    static const QRegularExpression key(QStringLiteral("^[a-z_]+$"));
    QStringList options;
    for (const auto &[name, value] : QUrlQuery(url).queryItems(QUrl::FullyDecoded)) {
        if (!key.match(name).hasMatch() || value.contains(u';') || value.contains(u' ') ||
            value.contains(u'\'')) {
            *error = QStringLiteral("--database: cannot pass the parameter ") + name + u'=' + value;
            return std::nullopt;
        }
        options.append(name + u'=' + value);
    }
    address.connectOptions = options.join(u';');
    if (!passwordFile.isEmpty()) {
        QByteArray password;
        QString why;
        if (!readSecretFile(passwordFile, &password, &why)) {
            *error = QStringLiteral("--database-password-file: ") + why;
            return std::nullopt;
        }
        address.password = QString::fromUtf8(password);
    }
    return address;
}

} // namespace tavrel::server

namespace tavrel::server {

QString StoreLocation::describe() const
{
    if (!postgres)
        return sqlitePath;
    return QStringLiteral("postgresql://%1@%2:%3/%4")
        .arg(postgres->user, postgres->host)
        .arg(postgres->port)
        .arg(postgres->name);
}

bool openDatabase(QSqlDatabase *db, const QString &connectionName, const StoreLocation &where, QString *error)
{
    if (!where.postgres) {
        *db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), connectionName);
        db->setDatabaseName(where.sqlitePath);
        return reopenDatabase(*db, false, error);
    }
    const DatabaseAddress &address = *where.postgres;
    *db = QSqlDatabase::addDatabase(QStringLiteral("QPSQL"), connectionName);
    if (!db->isValid()) {
        *error = QStringLiteral("Qt has no PostgreSQL driver here (Debian: libqt6sql6-psql)");
        return false;
    }
    db->setHostName(address.host);
    db->setPort(address.port);
    db->setUserName(address.user);
    db->setDatabaseName(address.name);
    if (!address.password.isEmpty())
        db->setPassword(address.password);
    QStringList options{QStringLiteral("application_name=tavrel-server"),
                        QStringLiteral("connect_timeout=10")};
    if (!address.connectOptions.isEmpty())
        options.append(address.connectOptions);
    db->setConnectOptions(options.join(u';'));
    return reopenDatabase(*db, true, error);
}

bool reopenDatabase(QSqlDatabase &db, bool postgres, QString *error)
{
    db.close();
    if (!db.open()) {
        *error = db.lastError().text();
        return false;
    }
    if (!postgres) {
        // FULL: a commit is on disk before it returns, so an answer never promises an account
        // that a power cut could take back.
        return exec(db, QStringLiteral("PRAGMA busy_timeout = 10000"), error) &&
               exec(db, QStringLiteral("PRAGMA synchronous = FULL"), error);
    }
    // As SQLite's busy timeout: a writer waits this long for the others, then fails.
    return exec(db, QStringLiteral("SET lock_timeout = '10s'"), error) &&
           exec(db, QStringLiteral("SET statement_timeout = '30s'"), error);
}

bool beginWriting(QSqlDatabase &db, bool postgres, const QStringList &lockKeys, QString *error)
{
    if (!postgres)
        return exec(db, QStringLiteral("BEGIN IMMEDIATE"), error);
    // Every instance must map a key to the same lock: the first 8 bytes of its SHA-256,
    // offset by the fixed number so that other users of the database are left alone.
    QList<qint64> locks;
    for (const QString &key : lockKeys) {
        const QByteArray digest = QCryptographicHash::hash(key.toUtf8(), QCryptographicHash::Sha256);
        locks.append(qFromBigEndian<qint64>(digest.constData()) ^ kWriterLock);
    }
    std::sort(locks.begin(), locks.end());
    locks.erase(std::unique(locks.begin(), locks.end()), locks.end());
    if (!exec(db, QStringLiteral("BEGIN"), error))
        return false;
    for (const qint64 lock : std::as_const(locks)) {
        if (!exec(db, QStringLiteral("SELECT pg_advisory_xact_lock(%1)").arg(lock), error)) {
            QString ignored;
            exec(db, QStringLiteral("ROLLBACK"), &ignored);
            return false;
        }
    }
    return true;
}

int schemaVersion(QSqlDatabase &db, bool postgres)
{
    QSqlQuery query(db);
    if (!postgres)
        return query.exec(QStringLiteral("PRAGMA user_version")) && query.next() ? query.value(0).toInt()
                                                                                 : -1;
    if (!query.exec(QStringLiteral("SELECT to_regclass('tavrel_schema') IS NOT NULL")) || !query.next())
        return -1;
    if (!query.value(0).toBool())
        return 0;
    return query.exec(QStringLiteral("SELECT version FROM tavrel_schema")) && query.next()
               ? query.value(0).toInt()
               : -1;
}

bool setSchemaVersion(QSqlDatabase &db, bool postgres, int version)
{
    QString error;
    const bool ok =
        postgres
            ? exec(db, QStringLiteral("CREATE TABLE IF NOT EXISTS tavrel_schema (version INTEGER NOT NULL)"),
                   &error) &&
                  exec(db, QStringLiteral("DELETE FROM tavrel_schema"), &error) &&
                  exec(db, QStringLiteral("INSERT INTO tavrel_schema VALUES (%1)").arg(version), &error)
            : exec(db, QStringLiteral("PRAGMA user_version = %1").arg(version), &error);
    if (!ok)
        qCCritical(lcAccounts).noquote() << "cannot record the schema version:" << error;
    return ok;
}

} // namespace tavrel::server
