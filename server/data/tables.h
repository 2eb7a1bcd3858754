#pragma once

#include "dbconnection.h"

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>

#include <optional>

namespace tavrel::server {

// One connection to the server's database: SQLite, or PostgreSQL shared with other
// instances. Qt SQL connections belong to the thread that opened them, so every worker
// thread opens its own Store. Both backends take the same queries; only the schema's
// migrations and the way a writing transaction begins are their own.
//
// Every limit that must hold for all server processes sharing the database lives here,
// not in one process's memory: verification codes and their mail counts, login delays and
// locks, upload totals. Callers read and update them inside one transaction.
class Store
{
public:
    explicit Store(const QString &sqlitePath);
    explicit Store(const StoreLocation &location);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens the connection and applies the settings every connection needs.
    bool open();
    // Brings the schema up to date (or to upToVersion); run once, before the workers start.
    bool migrate(int upToVersion = -1);
    QString path() const { return m_location.describe(); }
    bool isShared() const { return m_location.postgres.has_value(); }
    int schemaVersion();
    static int currentSchemaVersion();

    // Begins a transaction that writes; writers of the same lock keys queue rather than
    // interleave, across instances too (see beginWriting). Without keys, it waits for the
    // other writers without keys only.
    bool begin();
    // Durable: COMMIT returns once the transaction is on disk. Quick: once it is visible to
    // every other connection, and on disk a moment later (PostgreSQL's asynchronous commit;
    // SQLite commits durably either way). For what a crash may lose without harm.
    enum class Commit { Durable, Quick };
    bool begin(const QStringList &lockKeys, Commit commit = Commit::Durable);
    bool commit();
    void rollback();

    struct Account
    {
        QString name; // as registered
        QByteArray passwordHash;
    };
    // The account whose name has the same canonical key; nullopt with ok == true: none.
    std::optional<Account> account(const QString &name, bool *ok);
    // The name of an account that looks like this name (the same skeleton), if any.
    std::optional<QString> accountLike(const QString &name, bool *ok);
    // False when the name's canonical key is taken.
    bool insertAccount(const QString &name, const QString &email, const QByteArray &hash, qint64 nowMs);
    bool setPasswordHash(const QString &name, const QByteArray &hash);

    // Verification codes, one per (address, name) pair, keyed by their folded forms.
    struct PendingCode
    {
        QString code;
        qint64 issuedMs = 0;
        qint64 expiresMs = 0;
        int wrongTries = 0;
        // Set when the tries are used up: no new code for the pair before then.
        qint64 blockedUntilMs = 0;
    };
    std::optional<PendingCode> pendingCode(const QString &emailKey, const QString &nameKey, bool *ok);
    bool putPendingCode(const QString &emailKey, const QString &nameKey, const PendingCode &code);
    bool dropPendingCode(const QString &emailKey, const QString &nameKey);

    // What the mails sent so far allow.
    struct CodeMailCounts
    {
        qint64 lastToEmailMs = 0; // 0: none
        qint64 lastForNameMs = 0;
        int toEmailSince = 0; // since the dayStart given
        int forNameSince = 0;
        int fromSourceSince = 0; // since the hourStart given
    };
    std::optional<CodeMailCounts> codeMailCounts(const QString &emailKey, const QString &nameKey,
                                                 const QString &source, qint64 dayStartMs,
                                                 qint64 hourStartMs);
    // Returns the row's id, for taking it back when the mail cannot be sent; -1 on failure.
    qint64 recordCodeMail(const QString &emailKey, const QString &nameKey, const QString &source,
                          qint64 nowMs);
    bool dropCodeMail(qint64 id);

    // Failed logins.
    struct LoginGate
    {
        int failures = 0;         // of this name from this source, in a row
        qint64 nextTryMs = 0;     // when this source may try this name again
        qint64 lockedUntilMs = 0; // when the name may be tried again from anywhere
        int sourceFailures = 0;   // of any name from this source, since the sinceMs given
        qint64 oldestSourceFailureMs = 0;
        bool knownSource = false; // the name logged in from this source since knownSinceMs
    };
    std::optional<LoginGate> loginGate(const QString &nameKey, const QString &source, qint64 sinceMs,
                                       qint64 knownSinceMs, bool *ok);
    bool setLoginDelay(const QString &nameKey, const QString &source, int failures, qint64 nextTryMs,
                       qint64 nowMs);
    // Counts a failed try of the name (empty: of no name) from the source, before it is known
    // to fail; returns its id, for dropping it when it succeeds, or -1 on failure.
    qint64 addFailure(const QString &nameKey, const QString &source, qint64 nowMs);
    bool dropFailure(qint64 id);
    // How many failures the name had since sinceMs, counting at most perSource from each
    // source; -1 on failure.
    int nameFailures(const QString &nameKey, qint64 sinceMs, int perSource);
    bool lockName(const QString &nameKey, qint64 untilMs);
    // After a successful login the source's delays start again. The name's count stays: an
    // owner who logs in now and then must not keep a spread-out guessing from locking it.
    bool clearLoginDelay(const QString &nameKey, const QString &source);
    // The name logged in from the source.
    bool rememberSource(const QString &nameKey, const QString &source, qint64 nowMs);

    struct Upload
    {
        QString storedName;
        QString uploader;
        qint64 size = 0;
        QByteArray sha256Hex;
        qint64 uploadedMs = 0;
    };
    bool recordUpload(const Upload &upload);
    std::optional<Upload> upload(const QString &storedName, bool *ok);
    // A shared database holds the uploaded files too. Adds one under a name not yet taken:
    // false with *taken set when another upload has it.
    bool insertUploadWithContents(const Upload &upload, const QByteArray &contents, bool *taken);
    // The contents of an upload kept in the database; nullopt with ok == true: none.
    std::optional<QByteArray> uploadContents(const QString &storedName, bool *ok);
    // Bytes the user uploaded in all; -1 on failure.
    qint64 uploadedBytes(const QString &uploader);

    // Forgets what no limit needs any more: expired codes, mails older than a day, login
    // failures older than an hour, ended locks, sources of logins older than sourcesBeforeMs.
    bool purge(qint64 nowMs, qint64 sourcesBeforeMs);

private:
    // Prepares sql, binds values in order and runs it. A PostgreSQL connection that broke
    // (the database restarted) is opened again: at once, and the statement run again, when
    // no transaction was open; else at the next begin().
    bool run(QSqlQuery &query, const char *sql, std::initializer_list<QVariant> values);
    // The first column of a query that yields one row, or -1.
    qint64 single(const char *sql, std::initializer_list<QVariant> values);
    bool isAlive();
    bool reconnect();
    // Puts a SQLite file into write-ahead logging, waiting out other instances that open it.
    bool enterWalMode();

    // As long as the busy timeout: an instance waits this long for another to let go.
    static constexpr int kWalSwitchWaitMs = 10000;
    static constexpr int kWalSwitchRetryMs = 20;

    QSqlDatabase m_db;
    QString m_connection;
    StoreLocation m_location;
    bool m_inTransaction = false;
    bool m_broken = false;
};

} // namespace tavrel::server
