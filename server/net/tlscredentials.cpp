#include "tlscredentials.h"

#include <QFile>
#include <QFileInfo>
#include <QSslCertificate>
#include <QSslKey>

#include <QScopeGuard>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <memory>

namespace tavrel::server {

namespace {

// A key with a passphrase would make OpenSSL ask for one on the terminal.
extern "C" int noPassphrase(char *, int, int, void *)
{
    return 0;
}

bool readWhole(const QString &path, QByteArray *bytes, QString *why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    *bytes = file.readAll();
    return true;
}

// Qt's QSslKey must be told the algorithm, and cannot tell whether a key belongs to a
// certificate; OpenSSL, which Qt's TLS runs on here, can do both.
std::optional<QSsl::KeyAlgorithm> matchingKeyAlgorithm(const QSslCertificate &certificate,
                                                       const QByteArray &keyPem, const QString &keyFile,
                                                       QString *why)
{
    // What fails here stays in OpenSSL's error queue of this thread, where Qt takes it for a
    // failure of the next TLS connection it reads from, and closes that.
    const auto clearErrors = qScopeGuard([] { ERR_clear_error(); });
    const std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(keyPem.constData(), int(keyPem.size())), BIO_free);
    const std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr) : nullptr, EVP_PKEY_free);
    if (!key) {
        *why = QStringLiteral("%1 holds no private key in PEM form without a passphrase").arg(keyFile);
        return std::nullopt;
    }
    const QByteArray der = certificate.toDer();
    const auto *at = reinterpret_cast<const unsigned char *>(der.constData());
    const std::unique_ptr<X509, decltype(&X509_free)> x509(d2i_X509(nullptr, &at, long(der.size())),
                                                           X509_free);
    if (!x509 || X509_check_private_key(x509.get(), key.get()) != 1) {
        *why = QStringLiteral("the key in %1 is not the key of the certificate").arg(keyFile);
        return std::nullopt;
    }
    switch (EVP_PKEY_base_id(key.get())) {
    case EVP_PKEY_RSA:
        return QSsl::Rsa;
    case EVP_PKEY_EC:
        return QSsl::Ec;
    default:
        *why = QStringLiteral("the key in %1 is neither RSA nor EC, the kinds Qt serves with").arg(keyFile);
        return std::nullopt;
    }
}

} // namespace

std::optional<TlsCredentials> TlsCredentials::read(const QString &certFile, const QString &keyFile,
                                                   QString *why)
{
    QByteArray certPem;
    QByteArray keyPem;
    if (!readWhole(certFile, &certPem, why) || !readWhole(keyFile, &keyPem, why))
        return std::nullopt;
    if (QFileInfo(keyFile).permissions() & QFileDevice::ReadOther) {
        *why = QStringLiteral("%1 may be read by everyone: chmod o-r it").arg(keyFile);
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromData(certPem, QSsl::Pem);
    if (chain.isEmpty() || chain.first().isNull()) {
        *why = QStringLiteral("%1 holds no certificate in PEM form").arg(certFile);
        return std::nullopt;
    }
    const std::optional<QSsl::KeyAlgorithm> algorithm =
        matchingKeyAlgorithm(chain.first(), keyPem, keyFile, why);
    if (!algorithm)
        return std::nullopt;
    const QSslKey key(keyPem, *algorithm, QSsl::Pem, QSsl::PrivateKey);
    if (key.isNull()) {
        *why = QStringLiteral("Qt cannot use the key in %1").arg(keyFile);
        return std::nullopt;
    }

    TlsCredentials credentials;
    QSslConfiguration &configuration = credentials.m_configuration;
    configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    // Clients are not asked for certificates: they prove who they are by logging in.
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    return credentials;
}

QString TlsCredentials::description() const
{
    const QSslCertificate certificate = m_configuration.localCertificate();
    return QStringLiteral("%1, valid from %2 to %3")
        .arg(certificate.subjectDisplayName(), certificate.effectiveDate().toString(Qt::ISODate),
             certificate.expiryDate().toString(Qt::ISODate));
}

} // namespace tavrel::server
