#pragma once

#include "config.h"

#include <QString>

namespace tavrel::server {

// Readers of the option values that are more than a number or a name, into a Config. Each
// returns false and says why in *why (for a message that names the option) when the text
// will not do.

// An IP address to listen on.
bool readListen(const QString &text, Config &config, QString *why);

// outbox, sendmail, smtp://host[:port] (587 when left out) or smtps://host[:port] (465).
bool readMailTarget(const QString &text, Config &config, QString *why);

// "address" or "Display Name <address>".
bool readMailFrom(const QString &text, Config &config, QString *why);

// A file that holds a secret on its first line. Refused when anyone but its owner may read
// or change it, or when it is empty.
bool readSecretFile(const QString &path, QByteArray *secret, QString *why);

// Where metrics are served: ADDRESS:PORT, with an IPv6 address in brackets: 127.0.0.1:9100,
// [::1]:9100.
bool readMetrics(const QString &text, Config &config, QString *why);

// A size in bytes: digits with an optional binary K, M or G ("20M", "1G", "4096").
bool readSize(const QString &text, qint64 *bytes, QString *why);
// The form readSize reads, with the largest unit that divides the size.
QString sizeText(qint64 bytes);

// What must stay free on the data disk: a share ("5%"), a size ("1G") or both ("5%,1G").
// What is left out is no limit.
bool readFreeDisk(const QString &text, Config &config, QString *why);

} // namespace tavrel::server
