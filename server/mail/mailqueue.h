#pragma once

#include "config.h"

#include <QDir>
#include <QHash>
#include <QObject>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <memory>

namespace tavrel::server {

class MailTransport;

// Hands the mails of the outbox folder to the relay, on a thread of its own so that a slow
// relay never holds up a socket. A mail's file says where it stands:
//
//   outbox/NAME.eml          waiting: never tried, or to be tried again after a backoff
//   outbox/sending/NAME.eml  being handed over right now
//   outbox/sent/NAME.eml     the relay accepted it
//   outbox/failed/NAME.eml   refused for good, not accepted within MailConfig::giveUpMs, or
//                            possibly accepted but unconfirmed
//
// Mails in sent/ and failed/ are removed MailConfig::keepDays after they were written.
//
// No mail goes out twice: a mail enters sending/ (and the rename reaches the disk) before
// the relay hears of it, and leaves only once the relay has answered. A mail found in
// sending/ at start was being handed over when the server died: the relay may have
// accepted it, so it goes to failed/ with a warning rather than out again. The same holds
// for a mail that went out whole but got no answer. Either way its owner asks for a new
// code, which beats two mails with the same code.
class MailQueue
{
public:
    MailQueue(const QString &outboxDir, const MailConfig &config);
    ~MailQueue();

    // Creates the folders, settles what a previous run left in sending/, and starts
    // handing over what waits.
    bool start();
    // Gives up the attempt in progress (leaving it to the next start if it had begun to go
    // out) and ends the thread.
    void stop();
    // A new mail waits in the outbox. Any thread.
    void wake();

private:
    class Worker;

    QDir m_outbox;
    MailConfig m_config;
    QThread m_thread;
    Worker *m_worker = nullptr;
    std::atomic<bool> m_cancel{false};
};

} // namespace tavrel::server
