#include "store.h"

#include "logging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace tavrel::server {

namespace {

// Each step brings the schema from version index to index + 1.
const char *const kMigrations[] = {
    "CREATE TABLE accounts ("
    " name TEXT PRIMARY KEY COLLATE NOCASE,"
    " email TEXT NOT NULL,"
    " password_hash TEXT NOT NULL,"
    " created_ms INTEGER NOT NULL,"
    " failures INTEGER NOT NULL DEFAULT 0,"
    " locked_until_ms INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE pending_codes ("
    " email TEXT PRIMARY KEY,"
    " code TEXT NOT NULL,"
    " issued_ms INTEGER NOT NULL,"
    " expires_ms INTEGER NOT NULL,"
    " wrong_tries INTEGER NOT NULL DEFAULT 0);"
    "CREATE TABLE uploads ("
    " stored_name TEXT PRIMARY KEY,"
    " uploader TEXT NOT NULL,"
    " size INTEGER NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " uploaded_ms INTEGER NOT NULL);",
};
constexpr int kSchemaVersion = int(std::size(kMigrations));

std::atomic<int> connectionCounter{0};

bool execAll(QSqlDatabase &db, const QString &script)
{
    // QSqlQuery runs one statement at a time.
    for (const QString &statement : script.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        QSqlQuery query(db);
        if (!query.exec(statement)) {
            qCCritical(lcAccounts) << "statement failed:" << statement << query.lastError().text();
            return false;
        }
    }
    return true;
}

bool run(QSqlQuery &query)
{
    if (query.exec())
        return true;
    qCCritical(lcAccounts) << "query failed:" << query.lastQuery() << query.lastError().text();
    return false;
}

} // namespace

Store::Store(const QString &path)
    : m_connection(QStringLiteral("tavrel-store-%1").arg(connectionCounter.fetch_add(1)))
    , m_path(path)
{}

Store::~Store()
{
    if (m_db.isValid()) {
        m_db.close();
        m_db = QSqlDatabase();
        QSqlDatabase::removeDatabase(m_connection);
    }
}

bool Store::open()
{
    m_db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connection);
    m_db.setDatabaseName(m_path);
    if (!m_db.open()) {
        qCCritical(lcAccounts) << "cannot open the database" << m_path << m_db.lastError().text();
        return false;
    }
    // FULL: a commit is on disk before it returns, so an answer never promises an account
    // that a power cut could take back.
    return execAll(m_db, QStringLiteral("PRAGMA busy_timeout = 10000;"
                                        "PRAGMA synchronous = FULL;"
                                        "PRAGMA foreign_keys = ON"));
}

int Store::schemaVersion()
{
    QSqlQuery query(m_db);
    if (!query.exec(QStringLiteral("PRAGMA user_version")) || !query.next())
        return -1;
    const int version = query.value(0).toInt();
    query.finish();
    return version;
}

bool Store::migrate()
{
    QSqlQuery wal(m_db);
    if (!wal.exec(QStringLiteral("PRAGMA journal_mode = WAL")) || !wal.next() ||
        wal.value(0).toString() != QLatin1String("wal")) {
        qCCritical(lcAccounts) << "the database does not take WAL mode" << m_path;
        return false;
    }
    wal.finish();
    const int version = schemaVersion();
    if (version < 0 || version > kSchemaVersion) {
        qCCritical(lcAccounts) << "database schema version" << version << "is unknown to this server";
        return false;
    }
    for (int step = version; step < kSchemaVersion; ++step) {
        if (!begin())
            return false;
        if (!execAll(m_db, QString::fromUtf8(kMigrations[step])) ||
            !execAll(m_db, QStringLiteral("PRAGMA user_version = %1").arg(step + 1)) || !commit()) {
            rollback();
            return false;
        }
        qCInfo(lcAccounts) << "database schema now at version" << step + 1;
    }
    return true;
}

bool Store::begin()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("BEGIN IMMEDIATE")))
        return true;
    qCCritical(lcAccounts) << "cannot begin a transaction" << query.lastError().text();
    return false;
}

bool Store::commit()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("COMMIT")))
        return true;
    qCCritical(lcAccounts) << "cannot commit" << query.lastError().text();
    return false;
}

void Store::rollback()
{
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK"));
}

std::optional<Store::Account> Store::account(const QString &name, bool *ok)
{
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("SELECT name, password_hash, failures, locked_until_ms FROM accounts WHERE name = ?"));
    query.addBindValue(name);
    *ok = run(query);
    if (!*ok || !query.next())
        return std::nullopt;
    return Account{query.value(0).toString(), query.value(1).toString().toLatin1(), query.value(2).toInt(),
                   query.value(3).toLongLong()};
}

bool Store::insertAccount(const QString &name, const QString &email, const QByteArray &hash, qint64 nowMs)
{
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("INSERT INTO accounts (name, email, password_hash, created_ms) VALUES (?, ?, ?, ?)"));
    query.addBindValue(name);
    query.addBindValue(email);
    query.addBindValue(QString::fromLatin1(hash));
    query.addBindValue(nowMs);
    return run(query);
}

bool Store::setPasswordHash(const QString &name, const QByteArray &hash)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE accounts SET password_hash = ? WHERE name = ?"));
    query.addBindValue(QString::fromLatin1(hash));
    query.addBindValue(name);
    return run(query);
}

bool Store::setFailures(const QString &name, int failures, qint64 lockedUntilMs)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE accounts SET failures = ?, locked_until_ms = ? WHERE name = ?"));
    query.addBindValue(failures);
    query.addBindValue(lockedUntilMs);
    query.addBindValue(name);
    return run(query);
}

std::optional<Store::PendingCode> Store::pendingCode(const QString &emailKey, bool *ok)
{
    QSqlQuery query(m_db);
    query.prepare(
        QStringLiteral("SELECT code, issued_ms, expires_ms, wrong_tries FROM pending_codes WHERE email = ?"));
    query.addBindValue(emailKey);
    *ok = run(query);
    if (!*ok || !query.next())
        return std::nullopt;
    return PendingCode{query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong(),
                       query.value(3).toInt()};
}

bool Store::putPendingCode(const QString &emailKey, const PendingCode &code)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO pending_codes (email, code, issued_ms, expires_ms, "
                                 "wrong_tries) VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(emailKey);
    query.addBindValue(code.code);
    query.addBindValue(code.issuedMs);
    query.addBindValue(code.expiresMs);
    query.addBindValue(code.wrongTries);
    return run(query);
}

bool Store::setWrongTries(const QString &emailKey, int tries)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("UPDATE pending_codes SET wrong_tries = ? WHERE email = ?"));
    query.addBindValue(tries);
    query.addBindValue(emailKey);
    return run(query);
}

bool Store::dropPendingCode(const QString &emailKey)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral("DELETE FROM pending_codes WHERE email = ?"));
    query.addBindValue(emailKey);
    return run(query);
}

bool Store::recordUpload(const Upload &upload)
{
    QSqlQuery query(m_db);
    // A stored name can come back after the operator removed the file it named.
    query.prepare(QStringLiteral("INSERT OR REPLACE INTO uploads (stored_name, uploader, size, sha256, "
                                 "uploaded_ms) VALUES (?, ?, ?, ?, ?)"));
    query.addBindValue(upload.storedName);
    query.addBindValue(upload.uploader);
    query.addBindValue(upload.size);
    query.addBindValue(QString::fromLatin1(upload.sha256Hex));
    query.addBindValue(upload.uploadedMs);
    return run(query);
}

std::optional<Store::Upload> Store::upload(const QString &storedName, bool *ok)
{
    QSqlQuery query(m_db);
    query.prepare(QStringLiteral(
        "SELECT stored_name, uploader, size, sha256, uploaded_ms FROM uploads WHERE stored_name = ?"));
    query.addBindValue(storedName);
    *ok = run(query);
    if (!*ok || !query.next())
        return std::nullopt;
    return Upload{query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(),
                  query.value(3).toString().toLatin1(), query.value(4).toLongLong()};
}

} // namespace tavrel::server
