#pragma once

#include <QByteArray>
#include <QList>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslError>
#include <QString>

namespace tavrel {

// Whom a window built for TLS believes to be its server. With pins, the server's key must be
// one of them, whoever signed its certificate; otherwise the certificate must be signed by
// one of the authorities, or by one the system trusts when there are none. Either way the
// certificate must be within its dates.
struct TlsPolicy
{
    // TLS at all; fixed when the window is built.
    bool enabled = false;
    // SHA-256 of the DER form of accepted public keys (SubjectPublicKeyInfo).
    QList<QByteArray> pins;
    QList<QSslCertificate> authorities;
};

// The policy the build options chose (TAVREL_TLS, TAVREL_TLS_PIN, TAVREL_TLS_CA).
TlsPolicy builtTlsPolicy();

QSslConfiguration clientTlsConfiguration(const TlsPolicy &policy);

// SHA-256 of the certificate's public key, as pinned.
QByteArray publicKeyPin(const QSslCertificate &certificate);
bool keyAccepted(const TlsPolicy &policy, const QSslCertificate &certificate);

// Of the errors the check of a server's certificate found, those that stand: with a pinned
// key, the certificate need not be signed by anyone or name the address.
QList<QSslError> standingErrors(const TlsPolicy &policy, const QList<QSslError> &errors);

// Why the server's certificate was refused, as the window says it, from the errors that
// stood; a key that is not pinned comes first.
QString certificateProblem(const TlsPolicy &policy, const QSslCertificate &certificate,
                           const QList<QSslError> &errors);
// The one line the window shows when the TLS of the candidate at address fails for why.
QString tlsFailureLine(const QString &address, const QString &why);

} // namespace tavrel
