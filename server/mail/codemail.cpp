#include "codemail.h"

#include "logging.h"
#include "metrics.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>

#include <sodium.h>

namespace tavrel::server {

namespace {

QString randomHex(int bytes)
{
    QByteArray raw(bytes, Qt::Uninitialized);
    randombytes_buf(raw.data(), size_t(raw.size()));
    return QString::fromLatin1(raw.toHex());
}

// RFC 2047 encoded word, for the one header that is not ASCII.
QByteArray encodedWord(const QString &text)
{
    return "=?UTF-8?B?" + text.toUtf8().toBase64() + "?=";
}

} // namespace

OutboxMailer::OutboxMailer(const QString &dir, const QByteArray &from, std::function<void()> queued)
    : m_dir(dir)
    , m_from(from)
    , m_queued(std::move(queued))
{}

QByteArray OutboxMailer::composeMail(const QString &email, const QString &code, int validMinutes,
                                     const QByteArray &from)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    QByteArray mail;
    mail += "From: " + from + "\r\n";
    mail += "To: <" + email.toUtf8() + ">\r\n";
    mail += "Subject: " + encodedWord(QStringLiteral("Tavrel 注册验证码")) + "\r\n";
    mail += "Date: " + now.toString(Qt::RFC2822Date).toLatin1() + "\r\n";
    mail += "Message-ID: <" + randomHex(12).toLatin1() + "@tavrel.invalid>\r\n";
    mail += "MIME-Version: 1.0\r\n";
    mail += "Content-Type: text/plain; charset=UTF-8\r\n";
    mail += "Content-Transfer-Encoding: 8bit\r\n";
    mail += "\r\n";
    mail += QStringLiteral("你好：\r\n\r\n").toUtf8();
    mail += QStringLiteral("你正在注册 Tavrel 账号。你的验证码是：\r\n\r\n").toUtf8();
    mail += QStringLiteral("验证码：%1\r\n\r\n").arg(code).toUtf8();
    mail += QStringLiteral("验证码%1分钟内有效。如果不是你本人操作，请忽略这封邮件。\r\n")
                .arg(validMinutes)
                .toUtf8();
    return mail;
}

bool OutboxMailer::send(const QString &email, const QString &code, int validMinutes)
{
    if (!QDir().mkpath(m_dir)) {
        qCCritical(lcAccounts) << "cannot create the outbox" << m_dir;
        metrics().codesFailed++;
        return false;
    }
    const QString name = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmsszzz")) +
                         QLatin1Char('-') + randomHex(4) + QStringLiteral(".eml");
    const QString path = QDir(m_dir).filePath(name);
    // The mail appears under its name only once it is complete.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(composeMail(email, code, validMinutes, m_from)) < 0 ||
        !file.commit()) {
        qCCritical(lcAccounts) << "cannot write the mail" << path << file.errorString();
        metrics().codesFailed++;
        return false;
    }
    qCInfo(lcAccounts).noquote() << "verification code mail for" << email << "written to" << path;
    if (m_queued)
        m_queued();
    else
        metrics().codesSent++;
    return true;
}

} // namespace tavrel::server
