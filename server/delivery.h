#pragma once

#include <QString>

namespace tavrel::server {

// Gets a verification code to the owner of a mail address. Called from worker threads.
class CodeDelivery
{
public:
    virtual ~CodeDelivery() = default;
    virtual bool deliver(const QString &email, const QString &userName, const QString &code,
                         int validMinutes) = 0;
};

// Writes each mail as an RFC 5322 message (a .eml file) into a folder, for a mail
// transfer agent or a person to pick up.
class OutboxDelivery : public CodeDelivery
{
public:
    explicit OutboxDelivery(const QString &dir);
    bool deliver(const QString &email, const QString &userName, const QString &code,
                 int validMinutes) override;

    // The mail itself, CRLF line ends, UTF-8 body.
    static QByteArray composeMail(const QString &email, const QString &userName, const QString &code,
                                  int validMinutes);

private:
    QString m_dir;
};

} // namespace tavrel::server
