#include "loginload.h"

#include "clock.h"
#include "eventwait.h"
#include "protocol.h"

#include <QRegularExpression>

namespace bench {

LoginLoad::LoginLoad(const QHostAddress &host, const QString &digest,
                     const QList<QPair<QString, qint64>> &processes, bool spray, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_digest(digest)
    , m_cpu(processes)
    , m_spray(spray)
{}

void LoginLoad::start(Session *session)
{
    auto sentUs = std::make_shared<qint64>(0);
    session->onConnected = [this, sentUs](Session *s) {
        *sentUs = nowUs();
        s->send(
            tavrel::loginMessage(m_spray ? QStringLiteral("spray%1").arg(m_sprayed++) : s->name(), m_digest));
    };
    session->onMessage = [this, sentUs](Session *s, const QByteArray &message, qint64 arrivalUs) {
        if (!message.startsWith('l'))
            return;
        if (m_measuring) {
            if (message.mid(2).startsWith(tavrel::loginSuccessAnswer())) {
                ++m_result.ok;
            } else {
                ++m_result.refused;
                static const QRegularExpression number(QStringLiteral("\\d+"));
                ++m_result.others[tavrel::textField(message).replace(number, QStringLiteral("N"))];
            }
            m_answerUs.push_back(qint32(std::min<qint64>(arrivalUs - *sentUs, INT32_MAX)));
        }
        // Logged out by closing, and in again at once.
        s->close();
        if (!m_stopping)
            s->open(m_host);
    };
    session->onClosed = [this](Session *s) {
        if (m_measuring)
            ++m_result.lost;
        if (!m_stopping)
            s->open(m_host);
    };
    session->open(m_host);
}

LoginLoadResult LoginLoad::run(const QList<Session *> &sessions, int warmupS, int measureS)
{
    m_result = LoginLoadResult();
    m_result.clients = int(sessions.size());
    m_answerUs.clear();
    m_stopping = false;
    for (Session *session : sessions)
        start(session);
    waitUntil([] { return false; }, warmupS * 1000);
    m_measuring = true;
    m_cpu.start();
    const qint64 startUs = nowUs();
    waitUntil([] { return false; }, measureS * 1000);
    m_measuring = false;
    m_result.seconds = double(nowUs() - startUs) / 1e6;
    m_result.cpu = m_cpu.stop(m_result.seconds);
    m_result.load1 = loadAverage();
    m_stopping = true;
    for (Session *session : sessions) {
        session->onMessage = nullptr;
        session->onConnected = nullptr;
        session->onClosed = nullptr;
        session->close();
    }
    m_result.answerMs = percentiles(std::move(m_answerUs));
    return m_result;
}

} // namespace bench
