#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>

#include <optional>

namespace tavrel::server {

// One connection to the server's SQLite database. Qt SQL connections belong to the thread
// that opened them, so every worker thread opens its own Store.
class Store
{
public:
    explicit Store(const QString &path);
    ~Store();
    Store(const Store &) = delete;
    Store &operator=(const Store &) = delete;

    // Opens the file and sets the per-connection pragmas.
    bool open();
    // Brings the schema up to date; run once, before the workers start.
    bool migrate();
    QString path() const { return m_path; }

    // BEGIN IMMEDIATE: a transaction that writes takes the write lock up front, so two
    // writers queue on the busy timeout instead of failing when one upgrades its read lock.
    bool begin();
    bool commit();
    void rollback();

    struct Account
    {
        QString name; // as registered
        QByteArray passwordHash;
        int failures = 0;
        qint64 lockedUntilMs = 0;
    };
    // nullopt with ok == true: no such account.
    std::optional<Account> account(const QString &name, bool *ok);
    bool insertAccount(const QString &name, const QString &email, const QByteArray &hash, qint64 nowMs);
    bool setPasswordHash(const QString &name, const QByteArray &hash);
    bool setFailures(const QString &name, int failures, qint64 lockedUntilMs);

    struct PendingCode
    {
        QString code;
        qint64 issuedMs = 0;
        qint64 expiresMs = 0;
        int wrongTries = 0;
    };
    std::optional<PendingCode> pendingCode(const QString &emailKey, bool *ok);
    bool putPendingCode(const QString &emailKey, const PendingCode &code);
    bool setWrongTries(const QString &emailKey, int tries);
    bool dropPendingCode(const QString &emailKey);

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

    int schemaVersion();

private:
    QSqlDatabase m_db;
    QString m_connection;
    QString m_path;
};

} // namespace tavrel::server
