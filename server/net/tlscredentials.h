#pragma once

#include <QDateTime>
#include <QSslConfiguration>
#include <QString>

#include <optional>

namespace tavrel::server {

// The certificate chain and private key that TLS connections are served with, read from PEM
// files: at start, and again on SIGHUP, when a renewal has replaced them. Each connection
// keeps the credentials it began its handshake with.
class TlsCredentials
{
public:
    // Reads certFile (the server's certificate first, then the chain up to its authority, as
    // certbot's fullchain.pem has it) and keyFile (an RSA or EC key without a passphrase).
    // Nothing, and why in *why, when they cannot serve: a file missing or unreadable, no
    // certificate in it, a key readable by everyone, or a key that is not the certificate's.
    static std::optional<TlsCredentials> read(const QString &certFile, const QString &keyFile, QString *why);

    // What a connection that starts a handshake is given.
    QSslConfiguration configuration() const { return m_configuration; }
    QDateTime expiry() const { return m_configuration.localCertificate().expiryDate(); }
    // The certificate's subject and dates, for the log.
    QString description() const;

private:
    QSslConfiguration m_configuration;
};

} // namespace tavrel::server
