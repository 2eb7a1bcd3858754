#pragma once

#include <QString>

#include <optional>

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

} // namespace tavrel::server
