#pragma once

#include "files.h"

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

// Certificates for one test, made by tlscerts.sh in a folder of their own and signed by the
// build's test authority, which the TLS build of the window trusts: server (for 127.0.0.1),
// expired (its key, out of date), renewed (another key) and stranger (self-signed). Each
// comes as NAME.pem with NAME.key (expired has server.key) and NAME.pin.
class TestCertificates
{
public:
    // False, with the script's output in error(), when openssl failed.
    bool make()
    {
        QProcess script;
        script.setProcessChannelMode(QProcess::MergedChannels);
        script.start(QStringLiteral(TAVREL_TLS_CERTS_SCRIPT),
                     {QStringLiteral("server"), m_dir.path(), QStringLiteral(TAVREL_TEST_AUTHORITY)});
        const bool made = m_dir.isValid() && script.waitForFinished(60000) &&
                          script.exitStatus() == QProcess::NormalExit && script.exitCode() == 0;
        m_error = QString::fromLocal8Bit(script.readAll());
        return made;
    }
    QString error() const { return m_error; }

    QString path(const QString &file = QString()) const { return m_dir.filePath(file); }
    QString authority() const { return QStringLiteral(TAVREL_TEST_AUTHORITY "/ca.pem"); }
    // The SHA-256 of NAME's public key, as openssl computed it.
    QByteArray pin(const QString &name) const
    {
        return QByteArray::fromHex(contents(path(name + QStringLiteral(".pin"))).trimmed());
    }
    // tavrel-server's options to serve NAME.
    QStringList serverOptions(const QString &name = QStringLiteral("server")) const
    {
        const QString key = name == u"expired" ? QStringLiteral("server") : name;
        return {QStringLiteral("--tls-cert"), path(name + QStringLiteral(".pem")),
                QStringLiteral("--tls-key"), path(key + QStringLiteral(".key"))};
    }

private:
    QTemporaryDir m_dir;
    QString m_error;
};
