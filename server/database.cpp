#include "database.h"

#include <QFile>
#include <QRegularExpression>
#include <QUrl>
#include <QUrlQuery>

namespace tavrel::server {

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
        QFile file(passwordFile);
        if (!file.open(QIODevice::ReadOnly)) {
            *error = QStringLiteral("cannot read the database password from ") + passwordFile +
                     QStringLiteral(": ") + file.errorString();
            return std::nullopt;
        }
        // The first line, without its line end: files written by echo end in one.
        address.password = QString::fromUtf8(file.readLine(4096)).remove(u'\n').remove(u'\r');
        if (address.password.isEmpty()) {
            *error = QStringLiteral("the database password file is empty: ") + passwordFile;
            return std::nullopt;
        }
    }
    return address;
}

} // namespace tavrel::server
