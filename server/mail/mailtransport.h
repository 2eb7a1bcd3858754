#pragma once

#include "config.h"

#include <QByteArray>
#include <QString>

#include <atomic>
#include <memory>

namespace tavrel::server {

// What became of one attempt to hand a mail over.
struct MailResult
{
    enum Outcome {
        Accepted,  // the relay took it
        Temporary, // not taken, try again later
        Permanent, // refused for good
        Unknown,   // all of it went out but no answer came back: it may have been taken
    };
    Outcome outcome = Temporary;
    QString answer; // the relay's last reply, or what went wrong, for the log
};

// Hands one mail to the next mail system. Runs on the mail thread; an attempt in progress
// gives up soon after *cancel turns true.
class MailTransport
{
public:
    virtual ~MailTransport() = default;
    virtual MailResult send(const QByteArray &mail, const QByteArray &recipient,
                            const std::atomic<bool> &cancel) = 0;

    // The transport for config.transport; nullptr for the outbox, which needs none.
    static std::unique_ptr<MailTransport> create(const MailConfig &config);
};

// SMTP submission with libcurl: STARTTLS on smtp:// (where the operator allows a relay
// without it, only when offered, and never with a password), TLS from the start on
// smtps://, the relay's certificate checked.
class SmtpTransport : public MailTransport
{
public:
    explicit SmtpTransport(const MailConfig &config);
    MailResult send(const QByteArray &mail, const QByteArray &recipient,
                    const std::atomic<bool> &cancel) override;

private:
    MailConfig m_config;
};

// The sendmail interface every mail system on Linux provides: the mail on standard input,
// recipients from its headers (-t), a lone dot not ending it (-oi).
class SendmailTransport : public MailTransport
{
public:
    explicit SendmailTransport(const MailConfig &config);
    MailResult send(const QByteArray &mail, const QByteArray &recipient,
                    const std::atomic<bool> &cancel) override;

private:
    MailConfig m_config;
};

} // namespace tavrel::server
