#pragma once

#include <QString>

#include <functional>

namespace tavrel::server {

// Gets a verification code to the owner of a mail address. Called from worker threads. The
// mail holds the address, the code and the server's own words only: nothing the requester
// chose (the name they ask for) may go out from the server's address to someone else.
class CodeMailer
{
public:
    virtual ~CodeMailer() = default;
    virtual bool send(const QString &email, const QString &code, int validMinutes) = 0;
};

// Writes each mail as an RFC 5322 message (a .eml file) into the outbox folder. With a
// relay, queued() is called after each, for the mail queue to hand it over; without one the
// mail stays there for a mail transfer agent or a person to pick up.
class OutboxMailer : public CodeMailer
{
public:
    static inline const QByteArray kDefaultFrom = "Tavrel <no-reply@tavrel.invalid>";

    explicit OutboxMailer(const QString &dir, const QByteArray &from = kDefaultFrom,
                          std::function<void()> queued = nullptr);
    bool send(const QString &email, const QString &code, int validMinutes) override;

    // The mail itself, CRLF line ends, UTF-8 body.
    static QByteArray composeMail(const QString &email, const QString &code, int validMinutes,
                                  const QByteArray &from = kDefaultFrom);

private:
    QString m_dir;
    QByteArray m_from;
    std::function<void()> m_queued;
};

} // namespace tavrel::server
