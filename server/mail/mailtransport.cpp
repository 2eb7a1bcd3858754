#include "mailtransport.h"

#include <QDeadlineTimer>
#include <QProcess>

#include <curl/curl.h>

#include <mutex>

namespace tavrel::server {

namespace {

constexpr long kConnectTimeoutSeconds = 10;
// The longest relay reply kept for the log.
constexpr int kMaxAnswer = 300;

// Printable ASCII only: the reply goes into a log line.
QString cleanAnswer(const QByteArray &raw)
{
    QByteArray text;
    for (const char c : raw.trimmed())
        text += (c >= 0x20 && c < 0x7f) ? c : ' ';
    return QString::fromLatin1(text.simplified().left(kMaxAnswer));
}

// One transfer's state, shared with libcurl's callbacks.
struct Transfer
{
    const QByteArray *mail = nullptr;
    qsizetype offset = 0; // libcurl has read this much; all of it, and it ends the mail with the final dot
    const std::atomic<bool> *cancel = nullptr;
    QByteArray reply;      // the relay's last complete reply
    QByteArray refusal;    // its first reply of 400 or more: the one that stopped the mail
    QByteArray replyLines; // the reply being read
};

size_t readMail(char *buffer, size_t size, size_t count, void *userData)
{
    auto *transfer = static_cast<Transfer *>(userData);
    const qsizetype left = transfer->mail->size() - transfer->offset;
    const size_t chunk = std::min(size * count, size_t(left));
    memcpy(buffer, transfer->mail->constData() + transfer->offset, chunk);
    transfer->offset += qsizetype(chunk);
    return chunk;
}

int onProgress(void *userData, curl_off_t, curl_off_t, curl_off_t, curl_off_t)
{
    return static_cast<Transfer *>(userData)->cancel->load() ? 1 : 0;
}

// Keeps what the relay says. Only its replies: what we send includes the credentials.
int onDebug(CURL *, curl_infotype type, char *data, size_t size, void *userData)
{
    if (type != CURLINFO_HEADER_IN)
        return 0;
    auto *transfer = static_cast<Transfer *>(userData);
    const QByteArray line(data, qsizetype(size));
    transfer->replyLines += line;
    // "250-..." continues a reply, "250 ..." ends it.
    if (line.size() < 4 || line.at(3) != '-') {
        transfer->reply = std::exchange(transfer->replyLines, QByteArray());
        transfer->reply.replace("\r\n", " ");
        if (transfer->refusal.isEmpty() && transfer->reply.at(0) >= '4')
            transfer->refusal = transfer->reply;
    }
    return 0;
}

void initCurlOnce()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

std::unique_ptr<MailTransport> MailTransport::create(const MailConfig &config)
{
    switch (config.transport) {
    case MailConfig::Transport::Outbox:
        return nullptr;
    case MailConfig::Transport::Sendmail:
        return std::make_unique<SendmailTransport>(config);
    case MailConfig::Transport::Smtp:
        return std::make_unique<SmtpTransport>(config);
    }
    return nullptr;
}

SmtpTransport::SmtpTransport(const MailConfig &config)
    : m_config(config)
{
    initCurlOnce();
}

MailResult SmtpTransport::send(const QByteArray &mail, const QByteArray &recipient,
                               const std::atomic<bool> &cancel)
{
    Transfer transfer;
    transfer.mail = &mail;
    transfer.cancel = &cancel;

    const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    if (!curl)
        return {MailResult::Temporary, QStringLiteral("libcurl cannot start a transfer")};
    const QByteArray url = m_config.relayUrl.toUtf8();
    const QByteArray from = '<' + m_config.envelopeFrom + '>';
    const QByteArray to = '<' + recipient + '>';
    const QByteArray user = m_config.user.toUtf8();
    const QByteArray caFile = m_config.caFile.toLocal8Bit();
    const std::unique_ptr<curl_slist, decltype(&curl_slist_free_all)> recipients(
        curl_slist_append(nullptr, to.constData()), curl_slist_free_all);

    CURL *c = curl.get();
    curl_easy_setopt(c, CURLOPT_URL, url.constData());
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "smtp,smtps");
    curl_easy_setopt(c, CURLOPT_MAIL_FROM, from.constData());
    curl_easy_setopt(c, CURLOPT_MAIL_RCPT, recipients.get());
    curl_easy_setopt(c, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(c, CURLOPT_READFUNCTION, readMail);
    curl_easy_setopt(c, CURLOPT_READDATA, &transfer);
    curl_easy_setopt(c, CURLOPT_INFILESIZE_LARGE, curl_off_t(mail.size()));
    // Neither a password nor a code travels in the clear: the relay must offer STARTTLS,
    // since "try" would let anyone on the way strip the offer from its answer. Only an
    // operator who says so may send codes to a relay without it, and never a password.
    const bool plaintext = m_config.insecurePlaintext && user.isEmpty();
    curl_easy_setopt(c, CURLOPT_USE_SSL, long(plaintext ? CURLUSESSL_TRY : CURLUSESSL_ALL));
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!caFile.isEmpty())
        curl_easy_setopt(c, CURLOPT_CAINFO, caFile.constData());
    if (!user.isEmpty()) {
        curl_easy_setopt(c, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(c, CURLOPT_PASSWORD, m_config.password.constData());
    }
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
    curl_easy_setopt(c, CURLOPT_TIMEOUT, long(m_config.attemptTimeoutSeconds));
    curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, onProgress);
    curl_easy_setopt(c, CURLOPT_XFERINFODATA, &transfer);
    curl_easy_setopt(c, CURLOPT_VERBOSE, 1L);
    curl_easy_setopt(c, CURLOPT_DEBUGFUNCTION, onDebug);
    curl_easy_setopt(c, CURLOPT_DEBUGDATA, &transfer);

    const CURLcode result = curl_easy_perform(c);
    const QString reply = cleanAnswer(transfer.refusal.isEmpty() ? transfer.reply : transfer.refusal);
    const QString answer = reply.isEmpty() ? QString::fromLatin1(curl_easy_strerror(result))
                                           : reply + QStringLiteral(" (") +
                                                 QString::fromLatin1(curl_easy_strerror(result)) + u')';
    if (result == CURLE_OK)
        return {MailResult::Accepted, reply};
    // A refusal of the mail itself is final. One of the credentials is the operator's to
    // mend, and the mail waits for that.
    const int code = transfer.refusal.left(3).toInt();
    const bool credentials =
        result == CURLE_LOGIN_DENIED || code == 530 || code == 534 || code == 535 || code == 538;
    if (code >= 500 && !credentials)
        return {MailResult::Permanent, answer};
    if (code >= 400)
        return {MailResult::Temporary, answer};
    // No reply to the end of the mail: the relay may have taken it, and sending it again
    // could deliver it twice.
    if (transfer.offset == mail.size())
        return {MailResult::Unknown, answer};
    return {MailResult::Temporary, answer};
}

SendmailTransport::SendmailTransport(const MailConfig &config)
    : m_config(config)
{}

MailResult SendmailTransport::send(const QByteArray &mail, const QByteArray &,
                                   const std::atomic<bool> &cancel)
{
    // sysexits.h: the mail system cannot take it now, but may later.
    constexpr int kTempFail = 75;
    constexpr int kUnavailable = 69;
    constexpr int kOsError = 71;
    constexpr int kIoError = 74;

    QProcess sendmail;
    sendmail.start(m_config.sendmailPath, {QStringLiteral("-t"), QStringLiteral("-oi"), QStringLiteral("-f"),
                                           QString::fromUtf8(m_config.envelopeFrom)});
    if (!sendmail.waitForStarted(5000))
        return {MailResult::Temporary,
                QStringLiteral("cannot start %1: %2").arg(m_config.sendmailPath, sendmail.errorString())};
    // sendmail reads lines in the local convention.
    QByteArray local = mail;
    local.replace("\r\n", "\n");
    sendmail.write(local);
    sendmail.closeWriteChannel();
    QDeadlineTimer deadline(std::chrono::seconds(m_config.attemptTimeoutSeconds));
    while (!sendmail.waitForFinished(100)) {
        if (sendmail.state() == QProcess::NotRunning)
            break;
        if (cancel || deadline.hasExpired()) {
            sendmail.kill();
            sendmail.waitForFinished(1000);
            return {MailResult::Unknown, QStringLiteral("sendmail did not finish")};
        }
    }
    const QString said = cleanAnswer(sendmail.readAllStandardError());
    if (sendmail.exitStatus() != QProcess::NormalExit)
        return {MailResult::Unknown, QStringLiteral("sendmail crashed ") + said};
    const int status = sendmail.exitCode();
    const QString answer =
        QStringLiteral("sendmail exit status %1 %2").arg(QString::number(status), said).trimmed();
    if (status == 0)
        return {MailResult::Accepted, answer};
    if (status == kTempFail || status == kUnavailable || status == kOsError || status == kIoError)
        return {MailResult::Temporary, answer};
    return {MailResult::Permanent, answer};
}

} // namespace tavrel::server
