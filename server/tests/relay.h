#pragma once

// A real SMTP relay for the mail tests: smtprelay.py (aiosmtpd) run by Debian's own Python on
// a loopback port, with a throw-away certificate. Its events ("auth ok alice", "refused x@y",
// "accepted 1") arrive on its standard output; what it accepted is in its store folder.

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
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
            QStringLiteral("req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 "
                           "-subj /CN=localhost -addext subjectAltName=IP:127.0.0.1,DNS:localhost")
                    .split(u' ') +
                QStringList{QStringLiteral("-keyout"), dir + QStringLiteral("/key.pem"),
                            QStringLiteral("-out"), dir + QStringLiteral("/cert.pem")});
        return openssl.waitForFinished(30000) && openssl.exitStatus() == QProcess::NormalExit &&
               openssl.exitCode() == 0;
    }

    // A loopback port nobody listens on right now.
    static quint16 freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
    }

    ~Relay()
    {
        // It ends when its standard input closes.
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

    bool start(const Options &options, const QString &certDir)
    {
        QStringList arguments = QStringList{QStringLiteral("-W"),      QStringLiteral("ignore"),
                                            QStringLiteral("-u"),      QStringLiteral(TAVREL_SMTP_RELAY),
                                            QStringLiteral("--store"), m_store.path(),
                                            QStringLiteral("--cert"),  certDir}
                                << QStringLiteral("--port") << QString::number(options.port)
                                << QStringLiteral("--tls") << options.tls;
        if (!options.user.isEmpty())
            arguments << QStringLiteral("--user") << options.user << QStringLiteral("--password")
                      << options.password;
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine())
                m_events.append(QString::fromUtf8(m_process.readLine()).trimmed());
        });
        m_process.setStandardErrorFile(QProcess::nullDevice());
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

    // The events so far that start with prefix.
    QStringList events(const QString &prefix) const
    {
        return m_events.filter(QRegularExpression(u'^' + QRegularExpression::escape(prefix)));
    }

    // The mails accepted: the count, and each one's message and envelope (sender, recipients).
    int accepted() const { return int(QDir(m_store.path()).entryList({QStringLiteral("*.eml")}).size()); }
    QByteArray message(int n) const { return read(QStringLiteral("/%1.eml").arg(n)); }
    QStringList envelope(int n) const
    {
        return QString::fromUtf8(read(QStringLiteral("/%1.env").arg(n))).split(u'\n', Qt::SkipEmptyParts);
    }

    quint16 port = 0;

private:
    QByteArray read(const QString &name) const
    {
        QFile file(m_store.path() + name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QProcess m_process;
    QStringList m_events;
    QTemporaryDir m_store;
};
