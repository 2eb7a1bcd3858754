#include "tables.h"

#include "logging.h"
#include "names.h"

#include <QDeadlineTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

#include <atomic>

namespace tavrel::server {

namespace {

constexpr qint64 kHourMs = 3600 * 1000;
constexpr qint64 kDayMs = 24 * kHourMs;

// Both backends' step to canonical name keys; the times are 64-bit on both.
constexpr char kAccountKeysStep[] = "ALTER TABLE accounts ADD COLUMN name_key TEXT;"
                                    "ALTER TABLE accounts ADD COLUMN skeleton TEXT;"
                                    "CREATE TABLE accounts_set_aside ("
                                    " name TEXT NOT NULL,"
                                    " email TEXT NOT NULL,"
                                    " password_hash TEXT NOT NULL,"
                                    " created_ms BIGINT NOT NULL,"
                                    " kept_name TEXT NOT NULL);"
                                    "CREATE TABLE login_sources ("
                                    " name TEXT NOT NULL,"
                                    " source TEXT NOT NULL,"
                                    " last_ms BIGINT NOT NULL,"
                                    " PRIMARY KEY (name, source));"
                                    "CREATE INDEX name_failures_source ON name_failures (source, failed_ms);";

// Each step brings a SQLite schema from version index to index + 1.
const char *const kSqliteMigrations[] = {
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

    // One name, one account, on every backend: names are matched through their canonical
    // key, and new ones are compared by their skeletons. The keys are filled in by
    // fillNameKeys, which sets colliding accounts aside. Logins are remembered per source,
    // and failures counted per source.
    kAccountKeysStep,
};

// The same for PostgreSQL, which started from SQLite's version 2: the same tables, with
// 64-bit times, names matched without regard to case as SQLite's NOCASE does, a column
// named as SQLite's implicit rowid, and the uploaded files themselves.
const char *const kPostgresMigrations[] = {
    "CREATE COLLATION IF NOT EXISTS nocase (provider = icu, locale = 'und-u-ks-level2', deterministic = "
    "false);"
    "CREATE TABLE accounts ("
    " name TEXT COLLATE nocase PRIMARY KEY,"
    " email TEXT NOT NULL,"
    " password_hash TEXT NOT NULL,"
    " created_ms BIGINT NOT NULL);"
    "CREATE TABLE pending_codes ("
    " email TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " code TEXT NOT NULL,"
    " issued_ms BIGINT NOT NULL,"
    " expires_ms BIGINT NOT NULL,"
    " wrong_tries INTEGER NOT NULL DEFAULT 0,"
    " blocked_until_ms BIGINT NOT NULL DEFAULT 0,"
    " PRIMARY KEY (email, name));"
    "CREATE TABLE code_mails ("
    " rowid BIGSERIAL PRIMARY KEY,"
    " email TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " sent_ms BIGINT NOT NULL);"
    "CREATE INDEX code_mails_email ON code_mails (email, sent_ms);"
    "CREATE INDEX code_mails_name ON code_mails (name, sent_ms);"
    "CREATE INDEX code_mails_source ON code_mails (source, sent_ms);"
    "CREATE TABLE login_delays ("
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " failures INTEGER NOT NULL,"
    " next_try_ms BIGINT NOT NULL,"
    " last_failure_ms BIGINT NOT NULL,"
    " PRIMARY KEY (name, source));"
    "CREATE TABLE name_failures ("
    " name TEXT NOT NULL,"
    " source TEXT NOT NULL,"
    " failed_ms BIGINT NOT NULL);"
    "CREATE INDEX name_failures_name ON name_failures (name, failed_ms);"
    "CREATE TABLE name_locks ("
    " name TEXT PRIMARY KEY,"
    " locked_until_ms BIGINT NOT NULL);"
    "CREATE TABLE uploads ("
    " stored_name TEXT PRIMARY KEY,"
    " uploader TEXT NOT NULL,"
    " size BIGINT NOT NULL,"
    " sha256 TEXT NOT NULL,"
    " uploaded_ms BIGINT NOT NULL,"
    " contents BYTEA);"
    "CREATE INDEX uploads_uploader ON uploads (uploader);",

    kAccountKeysStep,

    // Failures are counted before they are known, and taken back by their row.
    "ALTER TABLE name_failures ADD COLUMN rowid BIGSERIAL;",
};

struct Migrations
{
    const char *const *steps;
    int count;
    int keysStep; // the step after whose SQL fillNameKeys runs
};
Migrations migrationsFor(bool postgres)
{
    if (postgres)
        return {kPostgresMigrations, int(std::size(kPostgresMigrations)), 1};
    return {kSqliteMigrations, int(std::size(kSqliteMigrations)), 2};
}

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

// Gives every account its canonical key and skeleton. Of accounts whose names now fold to
// one key, the oldest keeps it; the others move to accounts_set_aside, logged, for the
// operator to settle with their owners.
bool fillNameKeys(QSqlDatabase &db)
{
    QSqlQuery all(db);
    if (!all.exec(QStringLiteral("SELECT name, email, password_hash, created_ms FROM accounts"
                                 " ORDER BY created_ms, name"))) {
        qCCritical(lcAccounts) << "cannot read the accounts:" << all.lastError().text();
        return false;
    }
    QHash<QString, QString> owners; // key to the name that keeps it
    while (all.next()) {
        const QString name = all.value(0).toString();
        const QString key = canonicalName(name);
        QSqlQuery update(db);
        const auto ran = [&](const QString &sql, const QVariantList &values) {
            update.prepare(sql);
            for (const QVariant &value : values)
                update.addBindValue(value);
            if (update.exec())
                return true;
            qCCritical(lcAccounts) << "cannot key the account" << name << update.lastError().text();
            return false;
        };
        const auto owner = owners.constFind(key);
        if (owner == owners.cend()) {
            owners.insert(key, name);
            if (!ran(QStringLiteral("UPDATE accounts SET name_key = ?, skeleton = ? WHERE name = ?"),
                     {key, nameSkeleton(name), name}))
                return false;
            continue;
        }
        qCWarning(lcAccounts) << "the account" << name << "is the same name as the older" << *owner
                              << "and is set aside in accounts_set_aside";
        if (!ran(QStringLiteral("INSERT INTO accounts_set_aside (name, email, password_hash, created_ms,"
                                " kept_name) VALUES (?, ?, ?, ?, ?)"),
                 {name, all.value(1), all.value(2), all.value(3), *owner}) ||
            !ran(QStringLiteral("DELETE FROM accounts WHERE name = ?"), {name}))
            return false;
    }
    return execAll(db, QStringLiteral("CREATE UNIQUE INDEX accounts_name_key ON accounts (name_key);"
                                      "CREATE INDEX accounts_skeleton ON accounts (skeleton)"));
}

} // namespace

Store::Store(const QString &sqlitePath)
    : Store(StoreLocation{sqlitePath, std::nullopt})
{}

Store::Store(const StoreLocation &location)
    : m_connection(QStringLiteral("tavrel-store-") + QString::number(connectionCounter.fetch_add(1)))
    , m_location(location)
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
    return migrationsFor(false).count;
}

bool Store::open()
{
    QString error;
    if (openDatabase(&m_db, m_connection, m_location, &error))
        return true;
    qCCritical(lcAccounts).noquote() << "cannot open the database" << path() << "-" << error;
    return false;
}

int Store::schemaVersion()
{
    return tavrel::server::schemaVersion(m_db, isShared());
}

bool Store::reconnect()
{
    QString error;
    m_inTransaction = false;
    m_broken = !reopenDatabase(m_db, isShared(), &error);
    if (m_broken)
        qCCritical(lcAccounts).noquote() << "cannot reach the database" << path() << "-" << error;
    else
        qCInfo(lcAccounts).noquote() << "connected to the database again";
    return !m_broken;
}

bool Store::run(QSqlQuery &query, const char *sql, std::initializer_list<QVariant> values)
{
    const auto attempt = [&] {
        if (!query.prepare(QString::fromLatin1(sql)))
            return false;
        for (const QVariant &value : values)
            query.addBindValue(value);
        return query.exec();
    };
    if (!m_broken && attempt())
        return true;
    // A statement that fails on a working connection is the caller's to handle; one on a
    // broken connection is run again where nothing can have half happened.
    const bool connectionLost = isShared() && (m_broken || !m_db.isOpen() || !isAlive());
    if (connectionLost && !m_inTransaction && reconnect()) {
        query = QSqlQuery(m_db);
        if (attempt())
            return true;
    } else if (connectionLost) {
        m_broken = true;
    }
    qCCritical(lcAccounts) << "query failed:" << sql << query.lastError().text();
    return false;
}

qint64 Store::single(const char *sql, std::initializer_list<QVariant> values)
{
    QSqlQuery query(m_db);
    if (!run(query, sql, values) || !query.next())
        return -1;
    return query.value(0).toLongLong();
}

bool Store::isAlive()
{
    QSqlQuery probe(m_db);
    return probe.exec(QStringLiteral("SELECT 1")) && probe.next();
}

bool Store::enterWalMode()
{
    // Switching the journal needs the file to itself, and SQLite answers "locked" at once,
    // without its busy wait, while another instance opening the same file holds it for a
    // moment. So the switch is tried again for as long as a busy writer would wait.
    QDeadlineTimer deadline(kWalSwitchWaitMs);
    QString error;
    for (;;) {
        QSqlQuery wal(m_db);
        if (wal.exec(QStringLiteral("PRAGMA journal_mode = WAL")) && wal.next()) {
            const QString mode = wal.value(0).toString();
            if (mode == QLatin1String("wal"))
                return true;
            error = QStringLiteral("journal mode stays ") + mode;
        } else {
            error = wal.lastError().text();
        }
        if (deadline.hasExpired())
            break;
        QThread::msleep(kWalSwitchRetryMs);
    }
    qCCritical(lcAccounts) << "the database does not take WAL mode" << path() << error;
    return false;
}

bool Store::migrate(int upToVersion)
{
    const bool postgres = isShared();
    if (!postgres && !enterWalMode())
        return false;
    Migrations migrations = migrationsFor(postgres);
    if (upToVersion >= 0)
        migrations.count = std::min(migrations.count, upToVersion);
    // Each step reads the version inside its transaction: instances that start together
    // take their turns, and the later ones find the work done.
    for (int step = 0;; ++step) {
        if (!begin())
            return false;
        const int version = schemaVersion();
        if (version < 0 || version > migrations.count) {
            rollback();
            qCCritical(lcAccounts) << "database schema version" << version << "is unknown to this server";
            return false;
        }
        if (version == migrations.count) {
            rollback();
            return true;
        }
        if (!execAll(m_db, QString::fromUtf8(migrations.steps[version])) ||
            (version == migrations.keysStep && !fillNameKeys(m_db)) ||
            !setSchemaVersion(m_db, postgres, version + 1) || !commit()) {
            rollback();
            return false;
        }
        qCInfo(lcAccounts) << "database schema now at version" << version + 1;
    }
}

bool Store::begin()
{
    return begin({kAllWriters});
}

bool Store::begin(const QStringList &lockKeys, Commit commit)
{
    if (m_broken && !reconnect())
        return false;
    QString error;
    if (!beginWriting(m_db, isShared(), lockKeys, &error) &&
        !(isShared() && reconnect() && beginWriting(m_db, true, lockKeys, &error))) {
        qCCritical(lcAccounts).noquote() << "cannot begin a transaction:" << error;
        return false;
    }
    m_inTransaction = true;
    if (commit == Commit::Quick && isShared()) {
        QSqlQuery quick(m_db);
        if (!quick.exec(QStringLiteral("SET LOCAL synchronous_commit = off"))) {
            qCCritical(lcAccounts) << "cannot begin a transaction:" << quick.lastError().text();
            rollback();
            return false;
        }
    }
    return true;
}

bool Store::commit()
{
    QSqlQuery query(m_db);
    if (query.exec(QStringLiteral("COMMIT"))) {
        m_inTransaction = false;
        return true;
    }
    qCCritical(lcAccounts) << "cannot commit" << query.lastError().text();
    return false;
}

void Store::rollback()
{
    QSqlQuery query(m_db);
    query.exec(QStringLiteral("ROLLBACK"));
    m_inTransaction = false;
}

std::optional<Store::Account> Store::account(const QString &name, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query, "SELECT name, password_hash FROM accounts WHERE name_key = ?", {canonicalName(name)});
    if (!*ok || !query.next())
        return std::nullopt;
    return Account{query.value(0).toString(), query.value(1).toString().toLatin1()};
}

std::optional<QString> Store::accountLike(const QString &name, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query, "SELECT name FROM accounts WHERE skeleton = ? LIMIT 1", {nameSkeleton(name)});
    if (!*ok || !query.next())
        return std::nullopt;
    return query.value(0).toString();
}

bool Store::insertAccount(const QString &name, const QString &email, const QByteArray &hash, qint64 nowMs)
{
    QSqlQuery query(m_db);
    return run(query,
               "INSERT INTO accounts (name, name_key, skeleton, email, password_hash, created_ms)"
               " VALUES (?, ?, ?, ?, ?, ?)",
               {name, canonicalName(name), nameSkeleton(name), email, QString::fromLatin1(hash), nowMs});
}

bool Store::setPasswordHash(const QString &name, const QByteArray &hash)
{
    QSqlQuery query(m_db);
    return run(query, "UPDATE accounts SET password_hash = ? WHERE name_key = ?",
               {QString::fromLatin1(hash), canonicalName(name)});
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
        "INSERT INTO pending_codes (email, name, code, issued_ms, expires_ms, wrong_tries,"
        " blocked_until_ms) VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT (email, name) DO UPDATE SET"
        " code = excluded.code, issued_ms = excluded.issued_ms, expires_ms = excluded.expires_ms,"
        " wrong_tries = excluded.wrong_tries, blocked_until_ms = excluded.blocked_until_ms",
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
    return single("INSERT INTO code_mails (email, name, source, sent_ms) VALUES (?, ?, ?, ?) RETURNING rowid",
                  {emailKey, nameKey, source, nowMs});
}

bool Store::dropCodeMail(qint64 id)
{
    QSqlQuery query(m_db);
    return run(query, "DELETE FROM code_mails WHERE rowid = ?", {id});
}

std::optional<Store::LoginGate> Store::loginGate(const QString &nameKey, const QString &source,
                                                 qint64 sinceMs, qint64 knownSinceMs, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query,
              "SELECT"
              " (SELECT coalesce(max(failures), 0) FROM login_delays WHERE name = ? AND source = ?),"
              " (SELECT coalesce(max(next_try_ms), 0) FROM login_delays WHERE name = ? AND source = ?),"
              " (SELECT coalesce(max(locked_until_ms), 0) FROM name_locks WHERE name = ?),"
              " (SELECT count(*) FROM name_failures WHERE source = ? AND failed_ms > ?),"
              " (SELECT coalesce(min(failed_ms), 0) FROM name_failures WHERE source = ? AND failed_ms > ?),"
              " (SELECT count(*) FROM login_sources WHERE name = ? AND source = ? AND last_ms > ?)",
              {nameKey, source, nameKey, source, nameKey, source, sinceMs, source, sinceMs, nameKey, source,
               knownSinceMs}) &&
          query.next();
    if (!*ok)
        return std::nullopt;
    return LoginGate{query.value(0).toInt(), query.value(1).toLongLong(), query.value(2).toLongLong(),
                     query.value(3).toInt(), query.value(4).toLongLong(), query.value(5).toInt() > 0};
}

bool Store::setLoginDelay(const QString &nameKey, const QString &source, int failures, qint64 nextTryMs,
                          qint64 nowMs)
{
    QSqlQuery query(m_db);
    return run(
        query,
        "INSERT INTO login_delays (name, source, failures, next_try_ms, last_failure_ms)"
        " VALUES (?, ?, ?, ?, ?) ON CONFLICT (name, source) DO UPDATE SET failures = excluded.failures,"
        " next_try_ms = excluded.next_try_ms, last_failure_ms = excluded.last_failure_ms",
        {nameKey, source, failures, nextTryMs, nowMs});
}

qint64 Store::addFailure(const QString &nameKey, const QString &source, qint64 nowMs)
{
    return single("INSERT INTO name_failures (name, source, failed_ms) VALUES (?, ?, ?) RETURNING rowid",
                  {nameKey, source, nowMs});
}

bool Store::dropFailure(qint64 id)
{
    QSqlQuery query(m_db);
    return run(query, "DELETE FROM name_failures WHERE rowid = ?", {id});
}

int Store::nameFailures(const QString &nameKey, qint64 sinceMs, int perSource)
{
    return int(
        single("SELECT CAST(coalesce(sum(CASE WHEN n < ? THEN n ELSE ? END), 0) AS BIGINT) FROM"
               " (SELECT count(*) AS n FROM name_failures WHERE name = ? AND failed_ms > ? GROUP BY source)"
               " AS per_source",
               {perSource, perSource, nameKey, sinceMs}));
}

bool Store::rememberSource(const QString &nameKey, const QString &source, qint64 nowMs)
{
    QSqlQuery query(m_db);
    return run(query,
               "INSERT INTO login_sources (name, source, last_ms) VALUES (?, ?, ?)"
               " ON CONFLICT (name, source) DO UPDATE SET last_ms = excluded.last_ms",
               {nameKey, source, nowMs});
}

bool Store::lockName(const QString &nameKey, qint64 untilMs)
{
    QSqlQuery lock(m_db);
    QSqlQuery forget(m_db);
    // The count starts again when the lock ends.
    return run(lock,
               "INSERT INTO name_locks (name, locked_until_ms) VALUES (?, ?)"
               " ON CONFLICT (name) DO UPDATE SET locked_until_ms = excluded.locked_until_ms",
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
               "INSERT INTO uploads (stored_name, uploader, size, sha256, uploaded_ms) VALUES (?, ?, ?, ?, ?)"
               " ON CONFLICT (stored_name) DO UPDATE SET uploader = excluded.uploader, size = excluded.size,"
               " sha256 = excluded.sha256, uploaded_ms = excluded.uploaded_ms",
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
    return single("SELECT CAST(coalesce(sum(size), 0) AS BIGINT) FROM uploads WHERE uploader = ?",
                  {uploader});
}

bool Store::insertUploadWithContents(const Upload &upload, const QByteArray &contents, bool *taken)
{
    QSqlQuery query(m_db);
    *taken = false;
    if (!run(query,
             "INSERT INTO uploads (stored_name, uploader, size, sha256, uploaded_ms, contents)"
             " VALUES (?, ?, ?, ?, ?, ?) ON CONFLICT (stored_name) DO NOTHING RETURNING size",
             {upload.storedName, upload.uploader, upload.size, QString::fromLatin1(upload.sha256Hex),
              upload.uploadedMs, contents}))
        return false;
    *taken = !query.next();
    return !*taken;
}

std::optional<QByteArray> Store::uploadContents(const QString &storedName, bool *ok)
{
    QSqlQuery query(m_db);
    *ok = run(query, "SELECT contents FROM uploads WHERE stored_name = ? AND contents IS NOT NULL",
              {storedName});
    if (!*ok || !query.next())
        return std::nullopt;
    // An empty file is an empty array, not a null one.
    const QByteArray contents = query.value(0).toByteArray();
    return contents.isNull() ? QByteArray("") : contents;
}

bool Store::purge(qint64 nowMs, qint64 sourcesBeforeMs)
{
    // Only what has run out goes: no limit a transaction holds can change, so no lock.
    if (!begin({}))
        return false;
    QSqlQuery codes(m_db), mails(m_db), delays(m_db), failures(m_db), locks(m_db), sources(m_db);
    // A used-up code stays while it blocks its pair.
    if (!run(codes, "DELETE FROM pending_codes WHERE expires_ms <= ? AND blocked_until_ms <= ?",
             {nowMs, nowMs}) ||
        !run(mails, "DELETE FROM code_mails WHERE sent_ms <= ?", {nowMs - kDayMs}) ||
        !run(delays, "DELETE FROM login_delays WHERE last_failure_ms <= ? AND next_try_ms <= ?",
             {nowMs - kHourMs, nowMs}) ||
        !run(failures, "DELETE FROM name_failures WHERE failed_ms <= ?", {nowMs - kHourMs}) ||
        !run(locks, "DELETE FROM name_locks WHERE locked_until_ms <= ?", {nowMs}) ||
        !run(sources, "DELETE FROM login_sources WHERE last_ms <= ?", {sourcesBeforeMs}) || !commit()) {
        rollback();
        return false;
    }
    return true;
}

} // namespace tavrel::server
