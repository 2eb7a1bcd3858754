#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QSqlDatabase;

namespace tavrel::server {

// The PostgreSQL database several instances share: postgresql://user@host[:port]/name,
// with libpq's connection parameters as query items (?sslmode=verify-full). The password
// never comes in the URL, where every user of the machine could read it in the process
// list: it is read from a file of its own, or libpq finds it in PGPASSFILE or ~/.pgpass.
struct DatabaseAddress
{
    QString host;
    int port = 5432;
    QString user;
    QString name;
    QString password;       // empty: libpq looks for one
    QString connectOptions; // for QSqlDatabase::setConnectOptions
};

// passwordFile may be empty. On failure error says why, for the operator.
std::optional<DatabaseAddress> parseDatabaseUrl(const QString &url, const QString &passwordFile,
                                                QString *error);

// Where the server keeps its tables: a SQLite file of its own, or a PostgreSQL database
// shared with other instances.
struct StoreLocation
{
    QString sqlitePath; // when there is no postgres
    std::optional<DatabaseAddress> postgres;
    QString describe() const;
};

// Adds a connection under connectionName, opens it and applies what every connection
// needs. On failure error says why.
bool openDatabase(QSqlDatabase *db, const QString &connectionName, const StoreLocation &where,
                  QString *error);
// Opens a connection made by openDatabase again, as after the server restarted.
bool reopenDatabase(QSqlDatabase &db, bool postgres, QString *error);

// Begins a transaction that writes. Writers that touch the same things queue instead of
// interleaving: in SQLite all of them, by taking the write lock up front; in PostgreSQL
// those that share a lock key, by taking one transaction-scoped advisory lock per key (in
// one order, so that two cannot wait for each other). What a transaction read under its
// keys stays true until it commits, so a limit checked and counted in one transaction
// holds across instances, while writers of unrelated names and sources run side by side.
bool beginWriting(QSqlDatabase &db, bool postgres, const QStringList &lockKeys, QString *error);
// The key writers take that have nothing narrower: they queue with each other only.
inline const QString kAllWriters = QStringLiteral("*");
inline bool beginWriting(QSqlDatabase &db, bool postgres, QString *error)
{
    return beginWriting(db, postgres, {kAllWriters}, error);
}

// The version of the schema a database has (0: none yet), or -1 when it cannot be read.
int schemaVersion(QSqlDatabase &db, bool postgres);
// Records the version, inside the transaction that brought the schema to it.
bool setSchemaVersion(QSqlDatabase &db, bool postgres, int version);

} // namespace tavrel::server
