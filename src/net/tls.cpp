#include "tls.h"

#include "serveraddresses.h"

#include <QCryptographicHash>
#include <QSslKey>

namespace tavrel {

namespace {

// Signed by no one the system knows, or for another address: what a pinned key makes moot.
bool onlyAboutTrust(QSslError::SslError error)
{
    switch (error) {
    case QSslError::SelfSignedCertificate:
    case QSslError::SelfSignedCertificateInChain:
    case QSslError::UnableToGetLocalIssuerCertificate:
    case QSslError::UnableToGetIssuerCertificate:
    case QSslError::UnableToVerifyFirstCertificate:
    case QSslError::CertificateUntrusted:
    case QSslError::HostNameMismatch:
        return true;
    default:
        return false;
    }
}

bool has(const QList<QSslError> &errors, std::initializer_list<QSslError::SslError> kinds)
{
    return std::any_of(errors.begin(), errors.end(), [&](const QSslError &e) {
        return std::find(kinds.begin(), kinds.end(), e.error()) != kinds.end();
    });
}

} // namespace

TlsPolicy builtTlsPolicy()
{
    TlsPolicy policy;
    policy.enabled = TAVREL_TLS;
    for (const QByteArray &pin : QByteArray(TAVREL_TLS_PINS).split(';')) {
        if (!pin.isEmpty())
            policy.pins.append(QByteArray::fromHex(pin));
    }
    if (TAVREL_TLS_CA)
        policy.authorities = QSslCertificate::fromPath(QStringLiteral(":/tavrel/tls-ca.pem"));
    return policy;
}

QSslConfiguration clientTlsConfiguration(const TlsPolicy &policy)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setProtocol(QSsl::TlsV1_2OrLater);
    configuration.setPeerVerifyMode(QSslSocket::VerifyPeer);
    if (!policy.authorities.isEmpty())
        configuration.setCaCertificates(policy.authorities);
    return configuration;
}

QByteArray publicKeyPin(const QSslCertificate &certificate)
{
    return QCryptographicHash::hash(certificate.publicKey().toDer(), QCryptographicHash::Sha256);
}

bool keyAccepted(const TlsPolicy &policy, const QSslCertificate &certificate)
{
    return policy.pins.isEmpty() ||
           (!certificate.isNull() && policy.pins.contains(publicKeyPin(certificate)));
}

QList<QSslError> standingErrors(const TlsPolicy &policy, const QList<QSslError> &errors)
{
    if (policy.pins.isEmpty())
        return errors;
    QList<QSslError> standing;
    for (const QSslError &error : errors) {
        if (!onlyAboutTrust(error.error()))
            standing.append(error);
    }
    return standing;
}

QString certificateProblem(const TlsPolicy &policy, const QSslCertificate &certificate,
                           const QList<QSslError> &errors)
{
    if (!keyAccepted(policy, certificate))
        return QStringLiteral("服务器的密钥不是本程序认可的密钥");
    if (has(errors, {QSslError::CertificateExpired}))
        return QStringLiteral("服务器的证书已过期");
    if (has(errors, {QSslError::CertificateNotYetValid}))
        return QStringLiteral("服务器的证书尚未生效");
    if (has(errors, {QSslError::SelfSignedCertificate, QSslError::SelfSignedCertificateInChain,
                     QSslError::UnableToGetLocalIssuerCertificate, QSslError::UnableToGetIssuerCertificate,
                     QSslError::UnableToVerifyFirstCertificate, QSslError::CertificateUntrusted}))
        return QStringLiteral("服务器的证书不是可信的机构签发的");
    if (has(errors, {QSslError::HostNameMismatch}))
        return QStringLiteral("服务器的证书不是这个地址的");
    return QStringLiteral("服务器的证书无效（%1）")
        .arg(errors.isEmpty() ? QString() : errors.first().errorString());
}

QString tlsFailureLine(const QString &address, const QString &why)
{
    return QStringLiteral("加密连接失败（%1）：%2").arg(address, why);
}

} // namespace tavrel
