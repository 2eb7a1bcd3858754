#include "store.h"

#include "logging.h"

#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include <atomic>

namespace tavrel::server {

namespace {

constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kDayMs = 24 * kHourMs;

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

    // Codes belong to an (address, name) pair and every mail is counted; logins are
    // delayed per (name, source) and locked per name instead of per account. Codes and
    // locks pending at the upgrade last minutes; they are dropped, not converted.
    "DROP TABLE pending_codes;"
    "CREATE TABLE pending_codes ("
    " email TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " issued_ms INTEGER NOT NULL,"
    " expires_ms INTEGER NOT NULL,"
    " wrong_tries INTEGER NOT NULL DEFAULT 0,"
    " blocked_until_ms INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (email, name));"
    "CREATE TABLE code_mails ("
    " email TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " sent_ms INTEGER NOT NULL);"
    "CREATE INDEX code_mails_email ON code_mails (email, sent_ms);"
    "CREATE INDEX code_mails_name ON code_mails (name, sent_ms);"
    "CREATE INDEX code_mails_source ON code_mails (source, sent_ms);"
    "CREATE TABLE login_delays ("
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " failures INTEGER NOT NULL,"
    " next_try_ms INTEGER NOT NULL,"
    " last_failure_ms INTEGER NOT NULL,"
    " PRIMARY KEY (name, source));"
    "CREATE TABLE name_failures ("
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " failed_ms INTEGER NOT NULL);"
    "CREATE INDEX name_failures_name ON name_failures (name, failed_ms);"
    "CREATE TABLE name_locks ("
    " name TEXT PRIMARY KEY,"
    " locked_until_ms INTEGER NOT NULL);"
    "ALTER TABLE accounts DROP COLUMN failures;"
    "ALTER TABLE accounts DROP COLUMN locked_until_ms;"
    "CREATE INDEX uploads_uploader ON uploads (uploader);",
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

// Prepares sql, binds values in order and runs it.
bool run(QSqlQuery &query, const char *sql, std::initializer_list<QVariant> values)
{
    if (query.prepare(QString::fromLatin1(sql))) {
        for (const QVariant &value : values)
            query.addBindValue(value);
        if (query.exec())
            return true;
    }
    qCCritical(lcAccounts) << "query failed:" << sql << query.lastError().text();
    return false;
}

// The first column of a query that yields one row, or -1.
qint64 single(QSqlDatabase &db, const char *sql, std::initializer_list<QVariant> values)
{
    QSqlQuery query(db);
    if (!run(query, sql, values) || !query.next())
        return -1;
    return query.value(0).toLongLong();
}

} // namespace

Store::Store(const QString &path)
    : m_connection(QStringLiteral("tavrel-store-") + QString::number(connectionCounter.fetch_add(1)))
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

int Store::currentSchemaVersion()
{
    return kSchemaVersion;
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
            !execAll(m_db, QStringLiteral("PRAGMA user_version = ") + QString::number(step + 1)) ||
            !commit()) {
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
    *ok = run(query, "SELECT name, password_hash FROM accounts WHERE name = ?", {name});
    if (!*ok || !query.next())
        return std::nullopt;
    return Account{query.value(0).toString(), query.value(1).toString().toLatin1()};
}

bool Store::insertAccount(const QString &name, const QString &email, const QByteArray &hash, qint64 nowMs)
{
    QSqlQuery query(m_db);
    return run(query, "INSERT INTO accounts (name, email, password_hash, created_ms) VALUES (?, ?, ?, ?)",
               {name, email, QString::fromLatin1(hash), nowMs});
}

bool Store::setPasswordHash(const QString &name, const QByteArray &hash)
{
    QSqlQuery query(m_db);
    return run(query, "UPDATE accounts SET password_hash = ? WHERE name = ?",
               {QString::fromLatin1(hash), name});
}

std::optional<Store::PendingCode> Store::pendingCode(const QString &emailKey, const QString &nameKey,
                                                     bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query,
              "SELECT code, issued_ms, expires_ms, wrong_tries, blocked_until_ms FROM pending_codes"
              " WHERE email = ? AND name = ?",
              {emailKey, nameKey});
    if (!*ok || !query.next())
        return std::nullopt;
    return PendingCode{query.value(0).toString(), query.value(1).toLongLong(), query.value(2).toLongLong(),
                       query.value(3).toInt(), query.value(4).toLongLong()};
}

bool Store::putPendingCode(const QString &emailKey, const QString &nameKey, const PendingCode &code)
{
    QSqlQuery query(m_db);
    return run(
        query,
        "INSERT OR REPLACE INTO pending_codes (email, name, code, issued_ms, expires_ms, wrong_tries,"
        " blocked_until_ms) VALUES (?, ?, ?, ?, ?, ?, ?)",
        {emailKey, nameKey, code.code, code.issuedMs, code.expiresMs, code.wrongTries, code.blockedUntilMs});
}

bool Store::dropPendingCode(const QString &emailKey, const QString &nameKey)
{
    QSqlQuery query(m_db);
    return run(query, "DELETE FROM pending_codes WHERE email = ? AND name = ?", {emailKey, nameKey});
}

std::optional<Store::CodeMailCounts> Store::codeMailCounts(const QString &emailKey, const QString &nameKey,
                                                           const QString &source, qint64 dayStartMs,
                                                           qint64 hourStartMs)
{
    QSqlQuery query(m_db);
    if (!run(query,
             "SELECT"
             " (SELECT coalesce(max(sent_ms), 0) FROM code_mails WHERE email = ?),"
             " (SELECT coalesce(max(sent_ms), 0) FROM code_mails WHERE name = ?),"
             " (SELECT count(*) FROM code_mails WHERE email = ? AND sent_ms > ?),"
             " (SELECT count(*) FROM code_mails WHERE name = ? AND sent_ms > ?),"
             " (SELECT count(*) FROM code_mails WHERE source = ? AND sent_ms > ?)",
             {emailKey, nameKey, emailKey, dayStartMs, nameKey, dayStartMs, source, hourStartMs}) ||
        !query.next())
        return std::nullopt;
    return CodeMailCounts{query.value(0).toLongLong(), query.value(1).toLongLong(), query.value(2).toInt(),
                          query.value(3).toInt(), query.value(4).toInt()};
}

qint64 Store::recordCodeMail(const QString &emailKey, const QString &nameKey, const QString &source,
                             qint64 nowMs)
{
    QSqlQuery query(m_db);
    if (!run(query, "INSERT INTO code_mails (email, name, source, sent_ms) VALUES (?, ?, ?, ?)",
             {emailKey, nameKey, source, nowMs}))
        return -1;
    return query.lastInsertId().toLongLong();
}

bool Store::dropCodeMail(qint64 id)
{
    QSqlQuery query(m_db);
    return run(query, "DELETE FROM code_mails WHERE rowid = ?", {id});
}

std::optional<Store::LoginGate> Store::loginGate(const QString &nameKey, const QString &source, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query,
              "SELECT"
              " (SELECT coalesce(max(failures), 0) FROM login_delays WHERE name = ? AND source = ?),"
              " (SELECT coalesce(max(next_try_ms), 0) FROM login_delays WHERE name = ? AND source = ?),"
              " (SELECT coalesce(max(locked_until_ms), 0) FROM name_locks WHERE name = ?)",
              {nameKey, source, nameKey, source, nameKey}) &&
          query.next();
    if (!*ok)
        return std::nullopt;
    return LoginGate{query.value(0).toInt(), query.value(1).toLongLong(), query.value(2).toLongLong()};
}

bool Store::setLoginDelay(const QString &nameKey, const QString &source, int failures, qint64 nextTryMs,
                          qint64 nowMs)
{
    QSqlQuery query(m_db);
    return run(query,
               "INSERT OR REPLACE INTO login_delays (name, source, failures, next_try_ms, last_failure_ms)"
               " VALUES (?, ?, ?, ?, ?)",
               {nameKey, source, failures, nextTryMs, nowMs});
}

int Store::addNameFailure(const QString &nameKey, const QString &source, qint64 nowMs, qint64 sinceMs,
                          int perSource)
{
    QSqlQuery query(m_db);
    if (!run(query, "INSERT INTO name_failures (name, source, failed_ms) VALUES (?, ?, ?)",
             {nameKey, source, nowMs}))
        return -1;
    return int(single(m_db,
                      "SELECT coalesce(sum(min(n, ?)), 0) FROM (SELECT count(*) AS n FROM name_failures"
                      " WHERE name = ? AND failed_ms > ? GROUP BY source)",
                      {perSource, nameKey, sinceMs}));
}

bool Store::lockName(const QString &nameKey, qint64 untilMs)
{
    QSqlQuery lock(m_db);
    QSqlQuery forget(m_db);
    // The count starts again when the lock ends.
    return run(lock, "INSERT OR REPLACE INTO name_locks (name, locked_until_ms) VALUES (?, ?)",
               {nameKey, untilMs}) &&
           run(forget, "DELETE FROM name_failures WHERE name = ?", {nameKey});
}

bool Store::clearLoginDelay(const QString &nameKey, const QString &source)
{
    QSqlQuery query(m_db);
    return run(query, "DELETE FROM login_delays WHERE name = ? AND source = ?", {nameKey, source});
}

bool Store::recordUpload(const Upload &upload)
{
    QSqlQuery query(m_db);
    // A stored name can come back after the operator removed the file it named.
    return run(query,
               "INSERT OR REPLACE INTO uploads (stored_name, uploader, size, sha256, uploaded_ms)"
               " VALUES (?, ?, ?, ?, ?)",
               {upload.storedName, upload.uploader, upload.size, QString::fromLatin1(upload.sha256Hex),
                upload.uploadedMs});
}

std::optional<Store::Upload> Store::upload(const QString &storedName, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query,
              "SELECT stored_name, uploader, size, sha256, uploaded_ms FROM uploads WHERE stored_name = ?",
              {storedName});
    if (!*ok || !query.next())
        return std::nullopt;
    return Upload{query.value(0).toString(), query.value(1).toString(), query.value(2).toLongLong(),
                  query.value(3).toString().toLatin1(), query.value(4).toLongLong()};
}

qint64 Store::uploadedBytes(const QString &uploader)
{
    return single(m_db, "SELECT coalesce(sum(size), 0) FROM uploads WHERE uploader = ?", {uploader});
}

bool Store::purge(qint64 nowMs)
{
    if (!begin())
        return false;
    QSqlQuery codes(m_db), mails(m_db), delays(m_db), failures(m_db), locks(m_db);
    // A used-up code stays while it blocks its pair.
    if (!run(codes, "DELETE FROM pending_codes WHERE expires_ms <= ? AND blocked_until_ms <= ?",
             {nowMs, nowMs}) ||
        !run(mails, "DELETE FROM code_mails WHERE sent_ms <= ?", {nowMs - kDayMs}) ||
        !run(delays, "DELETE FROM login_delays WHERE last_failure_ms <= ? AND next_try_ms <= ?",
             {nowMs - kHourMs, nowMs}) ||
        !run(failures, "DELETE FROM name_failures WHERE failed_ms <= ?", {nowMs - kHourMs}) ||
        !run(locks, "DELETE FROM name_locks WHERE locked_until_ms <= ?", {nowMs}) || !commit()) {
        rollback();
        return false;
    }
    return true;
}

} // namespace tavrel::server
