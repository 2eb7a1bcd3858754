#pragma once

// A real SMTP relay for the mail tests: smtprelay.py (aiosmtpd) run by Debian's own Python,
// on a loopback port, with a throw-away certificate. Its events ("auth ok alice",
// "refused x@y", "accepted 1") arrive on its standard output; what it accepted is in its
// store folder.

#include <QDir>
#include <QProcess>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

class Relay
{
public:
    struct Options
    {
        QString tls = QStringLiteral("starttls"); // starttls, implicit or none
        QString user;
        QString password;
        quint16 port = 0; // 0: any free one
    };

    // A self-signed certificate for 127.0.0.1 in dir: cert.pem and key.pem.
    static bool makeCertificate(const QString &dir)
    {
        QProcess openssl;
        openssl.start(
            QStringLiteral("openssl"),
            {QStringLiteral("req"), QStringLiteral("-x509"), QStringLiteral("-newkey"), QStringLiteral("ec"),
             QStringLiteral("-pkeyopt"), QStringLiteral("ec_paramgen_curve:prime256v1"),
             QStringLiteral("-nodes"), QStringLiteral("-days"), QStringLiteral("2"), QStringLiteral("-subj"),
             QStringLiteral("/CN=localhost"), QStringLiteral("-addext"),
             QStringLiteral("subjectAltName=IP:127.0.0.1,DNS:localhost"), QStringLiteral("-keyout"),
             dir + QStringLiteral("/key.pem"), QStringLiteral("-out"), dir + QStringLiteral("/cert.pem")});
        return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    }

    // A loopback port nobody listens on right now.
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    ~Relay() { stop(); }

    bool start(const Options &options, const QString &certDir)
    {
        m_store = std::make_unique<QTemporaryDir>();
        QStringList arguments{QStringLiteral("-W"),      QStringLiteral("ignore"),
                              QStringLiteral("-u"),      QStringLiteral(TAVREL_SMTP_RELAY),
                              QStringLiteral("--port"),  QString::number(options.port),
                              QStringLiteral("--store"), m_store->path(),
                              QStringLiteral("--tls"),   options.tls,
                              QStringLiteral("--cert"),  certDir + QStringLiteral("/cert.pem"),
                              QStringLiteral("--key"),   certDir + QStringLiteral("/key.pem")};
        if (!options.user.isEmpty())
            arguments +=
                {QStringLiteral("--user"), options.user, QStringLiteral("--password"), options.password};
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.setStandardErrorFile(QProcess::nullDevice());
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine())
                m_events.append(QString::fromUtf8(m_process.readLine()).trimmed());
        });
        m_process.start(QStringLiteral(TAVREL_SYSTEM_PYTHON), arguments);
        if (!QTest::qWaitFor(
                [this] { return !m_events.isEmpty() || m_process.state() == QProcess::NotRunning; }, 20000) ||
            !m_events.value(0).startsWith(QStringLiteral("ready "))) {
            qWarning("the SMTP relay did not start");
            return false;
        }
        port = quint16(m_events.takeFirst().mid(6).toUInt());
        return port != 0;
    }

    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(2000);
        }
    }

    // The events so far that start with prefix.
    QStringList events(const QString &prefix = QString()) const
    {
        QStringList found;
        for (const QString &event : m_events) {
            if (event.startsWith(prefix))
                found.append(event);
        }
        return found;
    }

    // The mails accepted, in order: the message, and its envelope (sender, recipients).
    int accepted() const { return int(QDir(m_store->path()).entryList({QStringLiteral("*.eml")}).size()); }
    QByteArray message(int n) const { return read(QStringLiteral("/%1.eml").arg(n)); }
    QStringList envelope(int n) const
    {
        return QString::fromUtf8(read(QStringLiteral("/%1.env").arg(n))).split(u'\n', Qt::SkipEmptyParts);
    }

    quint16 port = 0;

private:
    QByteArray read(const QString &name) const
    {
        QFile file(m_store->path() + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QProcess m_process;
    QStringList m_events;
    std::unique_ptr<QTemporaryDir> m_store;
};
