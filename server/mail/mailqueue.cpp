#include "mailqueue.h"

#include "logging.h"
#include "mailtransport.h"
#include "metrics.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace tavrel::server {

namespace {

const QString kSending = QStringLiteral("sending");
const QString kSent = QStringLiteral("sent");
const QString kFailed = QStringLiteral("failed");
// How often settled mails are looked at besides when another one settles, so that they go
// within an hour of their time even when no code is asked for.
constexpr int kPurgeIntervalMs = 3600 * 1000;

// Makes a rename in dir survive a power cut before anything depends on it.
void syncDirectory(const QString &dir)
{
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(dir);
#endif
}

// The address in the To: header of a mail the server wrote: "To: <address>".
QByteArray recipientOf(const QByteArray &mail)
{
    const qsizetype headerEnd = mail.indexOf("\r\n\r\n");
    const QByteArray head = "\r\n" + mail.left(headerEnd < 0 ? 0 : headerEnd + 2);
    const qsizetype at = head.indexOf("\r\nTo: <");
    if (at < 0)
        return QByteArray();
    const qsizetype start = at + 7;
    const qsizetype end = head.indexOf(">\r\n", start);
    return end < 0 ? QByteArray() : head.mid(start, end - start);
}

} // namespace

class MailQueue::Worker : public QObject
{
public:
    Worker(const QDir &outbox, const MailConfig &config, const std::atomic<bool> &cancel)
        : m_outbox(outbox)
        , m_config(config)
        , m_transport(MailTransport::create(config))
        , m_cancel(cancel)
        , m_timer(this)
        , m_purgeTimer(this)
    {
        m_timer.setSingleShot(true);
        connect(&m_timer, &QTimer::timeout, this, &Worker::scan);
        connect(&m_purgeTimer, &QTimer::timeout, this, &Worker::purge);
    }

    // On the mail thread, before anything else.
    void start()
    {
        recover();
        purge();
        m_purgeTimer.start(kPurgeIntervalMs);
        scan();
    }

    // Removes the mails in sent/ and failed/ written more than keepDays ago: they hold
    // codes and addresses, and no one needs them once a complaint about them is unlikely.
    void purge()
    {
        const QDateTime oldest = QDateTime::currentDateTimeUtc().addDays(-m_config.keepDays);
        for (const QString &folder : {kSent, kFailed}) {
            const QDir settled(m_outbox.filePath(folder));
            for (const QFileInfo &mail : settled.entryInfoList({QStringLiteral("*.eml")}, QDir::Files)) {
                if (mail.lastModified() < oldest && !QFile::remove(mail.filePath()))
                    qCWarning(lcMail).noquote() << "cannot remove" << mail.filePath();
            }
        }
    }

    void recover()
    {
        const QDir sending(m_outbox.filePath(kSending));
        for (const QString &name : sending.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name)) {
            qCWarning(lcMail).noquote()
                << QStringLiteral("mail %1 was being handed to the relay when the server "
                                  "stopped; it may have been accepted, so it is not sent "
                                  "again (moved to failed/)")
                       .arg(name);
            move(kSending, name, kFailed);
            metrics().codesFailed++;
        }
    }

    void scan()
    {
        qint64 nextDue = std::numeric_limits<qint64>::max();
        const QStringList names = waiting();
        for (const QString &name : names) {
            if (m_cancel)
                return;
            const auto retry = m_retries.constFind(name);
            if (retry != m_retries.cend() && retry->notBeforeMs > now()) {
                nextDue = std::min(nextDue, retry->notBeforeMs);
                continue;
            }
            const qint64 due = handOver(name);
            if (due > 0)
                nextDue = std::min(nextDue, due);
        }
        const QStringList left = waiting();
        metrics().mailQueue = int(left.size());
        for (auto it = m_retries.begin(); it != m_retries.end();)
            it = left.contains(it.key()) ? std::next(it) : m_retries.erase(it);
        if (nextDue != std::numeric_limits<qint64>::max())
            m_timer.start(int(std::clamp<qint64>(nextDue - now(), 0, m_config.maxRetryMs)));
    }

private:
    struct Retry
    {
        int attempts = 0;
        qint64 notBeforeMs = 0;
    };

    static qint64 now() { return QDateTime::currentMSecsSinceEpoch(); }

    QStringList waiting() const
    {
        return m_outbox.entryList({QStringLiteral("*.eml")}, QDir::Files, QDir::Name);
    }

    bool move(const QString &from, const QString &name, const QString &to)
    {
        const QString source =
            from.isEmpty() ? m_outbox.filePath(name) : m_outbox.filePath(from + u'/' + name);
        const QString target = to.isEmpty() ? m_outbox.filePath(name) : m_outbox.filePath(to + u'/' + name);
        if (!QFile::rename(source, target)) {
            qCCritical(lcMail).noquote() << "cannot move" << source << "to" << target;
            return false;
        }
        syncDirectory(QFileInfo(target).path());
        return true;
    }

    // One attempt at one waiting mail. Returns when to try it again, 0 for never.
    qint64 handOver(const QString &name)
    {
        const qint64 writtenMs = QFileInfo(m_outbox.filePath(name)).lastModified().toMSecsSinceEpoch();
        if (!move(QString(), name, kSending))
            return 0;
        QFile file(m_outbox.filePath(kSending + u'/' + name));
        const QByteArray mail = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
        file.close();
        const QByteArray recipient = recipientOf(mail);
        Retry &retry = m_retries[name];
        ++retry.attempts;

        MailResult result;
        QElapsedTimer took;
        took.start();
        if (recipient.isEmpty())
            result = {MailResult::Permanent, QStringLiteral("no recipient in the mail")};
        else
            result = m_transport->send(mail, recipient, m_cancel);

        switch (result.outcome) {
        case MailResult::Accepted:
            move(kSending, name, kSent);
            purge();
            metrics().codesSent++;
            qCInfo(lcMail).noquote() << QStringLiteral("mail %1 accepted at attempt %2, %3 ms after it was "
                                                       "written (the relay took %4 ms): %5")
                                            .arg(name, QString::number(retry.attempts),
                                                 QString::number(now() - writtenMs),
                                                 QString::number(took.elapsed()), result.answer);
            return 0;
        case MailResult::Permanent:
            move(kSending, name, kFailed);
            purge();
            metrics().codesFailed++;
            qCWarning(lcMail).noquote()
                << QStringLiteral("mail %1 refused, moved to failed/: %2").arg(name, result.answer);
            return 0;
        case MailResult::Unknown:
            move(kSending, name, kFailed);
            purge();
            metrics().codesFailed++;
            qCWarning(lcMail).noquote()
                << QStringLiteral("mail %1 went out whole but the relay did not answer; it "
                                  "may have been accepted, so it is not sent again "
                                  "(moved to failed/): %2")
                       .arg(name, result.answer);
            return 0;
        case MailResult::Temporary:
            break;
        }
        if (!move(kSending, name, QString()))
            return 0;
        if (m_cancel) // cut short by the server stopping: no failure of the relay's
            return 0;
        metrics().mailRetries++;
        const qint64 giveUpAt = writtenMs + m_config.giveUpMs;
        if (now() >= giveUpAt) {
            move(QString(), name, kFailed);
            purge();
            metrics().codesFailed++;
            qCWarning(lcMail).noquote()
                << QStringLiteral("mail %1 not accepted after %2 attempts, moved to failed/; last answer: %3")
                       .arg(name, QString::number(retry.attempts), result.answer);
            return 0;
        }
        const qint64 backoff = std::min<qint64>(
            qint64(m_config.firstRetryMs) << std::min(retry.attempts - 1, 20), m_config.maxRetryMs);
        retry.notBeforeMs = std::min(now() + backoff, giveUpAt);
        qCWarning(lcMail).noquote() << QStringLiteral("mail %1 not accepted at attempt %2, next in %3 s: %4")
                                           .arg(name, QString::number(retry.attempts),
                                                QString::number(double(retry.notBeforeMs - now()) / 1000.0,
                                                                'f', 1),
                                                result.answer);
        return retry.notBeforeMs;
    }

    QDir m_outbox;
    MailConfig m_config;
    std::unique_ptr<MailTransport> m_transport;
    const std::atomic<bool> &m_cancel;
    QTimer m_timer;
    QTimer m_purgeTimer;
    QHash<QString, Retry> m_retries;
};

MailQueue::MailQueue(const QString &outboxDir, const MailConfig &config)
    : m_outbox(outboxDir)
    , m_config(config)
{
    m_thread.setObjectName(QStringLiteral("mail"));
}

MailQueue::~MailQueue()
{
    stop();
}

bool MailQueue::start()
{
    for (const QString &sub : {kSending, kSent, kFailed}) {
        if (!m_outbox.mkpath(sub)) {
            qCCritical(lcMail) << "cannot create" << m_outbox.filePath(sub);
            return false;
        }
    }
    m_cancel = false;
    m_worker = new Worker(m_outbox, m_config, m_cancel);
    m_worker->moveToThread(&m_thread);
    QObject::connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(m_worker, &Worker::start);
    return true;
}

void MailQueue::stop()
{
    if (!m_worker)
        return;
    m_cancel = true;
    m_thread.quit();
    m_thread.wait();
    m_worker = nullptr;
}

void MailQueue::wake()
{
    if (m_worker)
        QMetaObject::invokeMethod(m_worker, &Worker::scan);
}

} // namespace tavrel::server
