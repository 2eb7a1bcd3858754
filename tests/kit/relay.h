#pragma once

// A real SMTP relay for the mail tests: smtprelay.py (aiosmtpd) run by Debian's own Python on
// a loopback port, serving the server.pem of a TestCertificates folder. Its events ("auth ok alice", "refused
// x@y", "accepted 1") arrive on its standard output; what it accepted is in its store folder.

#include "files.h"

#include <QDir>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

class Relay
{
public:
    ~Relay()
    {
        // It ends when its standard input closes.
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(2000);
    }

    // tls: starttls, implicit or none; no user: no login; port 0: any free one.
    bool start(const QString &certDir, const QString &tls, const QString &user, const QString &password,
               quint16 port = 0)
    {
        QStringList arguments{QStringLiteral("-W"),      QStringLiteral("ignore"),
                              QStringLiteral("-u"),      QStringLiteral(TAVREL_SMTP_RELAY),
                              QStringLiteral("--store"), m_store.path(),
                              QStringLiteral("--cert"),  certDir,
                              QStringLiteral("--port"),  QString::number(port),
                              QStringLiteral("--tls"),   tls};
        if (!user.isEmpty())
            arguments << QStringLiteral("--user") << user << QStringLiteral("--password") << password;
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, [this] {
            while (m_process.canReadLine())
                m_events.append(QString::fromUtf8(m_process.readLine()).trimmed());
        });
        m_process.setStandardErrorFile(QProcess::nullDevice());
        m_process.start(QStringLiteral(TAVREL_SYSTEM_PYTHON), arguments);
        if (!QTest::qWaitFor(
                [this] { return !m_events.isEmpty() || m_process.state() == QProcess::NotRunning; }, 20000) ||
            !m_events.value(0).startsWith(QStringLiteral("ready ")))
            return false;
        this->port = quint16(m_events.takeFirst().mid(6).toUInt());
        return this->port != 0;
    }

    // The events so far that start with prefix.
    QStringList events(const QString &prefix) const
    {
        return m_events.filter(QRegularExpression(u'^' + QRegularExpression::escape(prefix)));
    }

    // The mails accepted: the count, and each one's message and envelope (sender, recipients).
    int accepted() const { return int(QDir(m_store.path()).entryList({QStringLiteral("*.eml")}).size()); }
    QByteArray message(int n) const { return contents(m_store.filePath(QStringLiteral("%1.eml").arg(n))); }
    QStringList envelope(int n) const
    {
        return QString::fromUtf8(contents(m_store.filePath(QStringLiteral("%1.env").arg(n))))
            .split(u'\n', Qt::SkipEmptyParts);
    }

    quint16 port = 0;

private:
    QProcess m_process;
    QStringList m_events;
    QTemporaryDir m_store;
};
