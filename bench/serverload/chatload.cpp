#include "chatload.h"

#include "clock.h"
#include "eventwait.h"
#include "loadline.h"
#include "measure.h"
#include "protocol.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QHash>

#include <algorithm>
#include <cmath>
#include <limits>
#include <unistd.h>

namespace bench {

namespace {

constexpr qint64 kSecondUs = 1000 * 1000;
// A login that has no answer after this long is given up. Logins queue for hashing at the
// server, so this is long: the wait in the queue is part of what is measured.
constexpr qint64 kLoginTimeoutUs = 120 * kSecondUs;
constexpr int kMaxNotes = 12;
constexpr int kMaxNotesOfAKind = 3;

enum LoginOutcome { LoginOk, LoginRefused, LoginFailed, LoginAbandoned };

} // namespace

ChatLoad::ChatLoad(const LoadSettings &settings, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_cpu(settings.processes + QList<QPair<QString, qint64>>{{kBenchItself, qint64(getpid())}})
{
    m_tick.setTimerType(Qt::PreciseTimer);
    m_tick.setInterval(1);
    connect(&m_tick, &QTimer::timeout, this, &ChatLoad::tick);
}

void ChatLoad::misframe(const char *what, std::string_view sample)
{
    ++m_result.misframed;
    noteSample(what, sample);
}

void ChatLoad::noteSample(const char *what, std::string_view sample)
{
    QString shown = QString::fromUtf8(sample.data(), int(std::min<size_t>(sample.size(), 120)));
    shown.replace(u'\n', QStringLiteral("\\n"));
    note(QLatin1String(what), QLatin1String(what) + QStringLiteral(": ") + shown);
}

void ChatLoad::misframe(const char *what, const QByteArray &sample)
{
    misframe(what, std::string_view(sample.constData(), size_t(sample.size())));
}

void ChatLoad::note(const QString &kind, const QString &text)
{
    int &count = m_noteCounts[kind];
    if (count < kMaxNotesOfAKind && m_result.notes.size() < kMaxNotes) {
        ++count;
        m_result.notes.append(text);
    }
}

LoadResult ChatLoad::run(const QList<Session *> &clients, int loginRate)
{
    m_clients = clients;
    m_n = int(clients.size());
    m_loginRate = m_settings.loginPool.isEmpty() ? 0 : loginRate;
    m_result = LoadResult();
    m_result.clients = m_n;
    m_noteCounts.clear();
    m_result.loginRate = m_loginRate;
    m_names.clear();
    m_sent.assign(size_t(m_n), {});
    m_lastSeq.assign(size_t(m_n) * size_t(m_n), -1);
    m_latency.clear();
    m_shown.clear();
    m_cross.clear();
    m_loginLatency.clear();
    m_nextEvent = 0;
    m_nextLogin = 0;
    m_windowOpen = false;
    m_sendingDone = false;
    const qint64 expectedLines = qint64(m_n) * m_settings.measureS;
    m_latency.reserve(size_t(expectedLines * m_n));
    m_shown.reserve(size_t(expectedLines * m_n));

    qint64 lateGapsBefore = 0;
    qint64 earlyBefore = 0;
    for (Session *client : clients) {
        lateGapsBefore += client->lateGaps;
        earlyBefore += client->earlyMessages;
        client->closestEarlyUs = std::numeric_limits<qint64>::max();
    }
    for (Session *client : clients) {
        m_names.push_back(client->name().toStdString());
        client->onMessage = [this](Session *s, const QByteArray &message, qint64 arrivalUs) {
            receive(s, message, arrivalUs);
        };
        client->onClosed = [this](Session *s) {
            ++m_result.sessionsDropped;
            note(QStringLiteral("disconnected"), QStringLiteral("%1 was disconnected").arg(s->name()));
        };
    }

    m_t0 = nowUs() + 200 * 1000;
    m_windowStart = m_t0 + m_settings.warmupS * kSecondUs;
    m_windowEnd = m_windowStart + m_settings.measureS * kSecondUs;
    m_tick.start();

    const int sendingMs = int((m_windowEnd - nowUs()) / 1000);
    waitUntil([this] { return m_sendingDone; }, sendingMs + 10 * 1000);
    const qint64 expected = m_result.linesSent * m_n;
    waitUntil([&] { return m_result.delivered >= expected && m_logins.empty(); }, m_settings.drainS * 1000);
    m_tick.stop();

    for (LoginAttempt *attempt : std::vector<LoginAttempt *>(m_logins))
        endLogin(attempt, LoginAbandoned, 0);
    qint64 closestEarlyUs = std::numeric_limits<qint64>::max();
    for (Session *client : clients) {
        client->onMessage = nullptr;
        client->onClosed = nullptr;
        m_result.lateGaps += client->lateGaps;
        m_result.earlyMessages += client->earlyMessages;
        closestEarlyUs = std::min(closestEarlyUs, client->closestEarlyUs);
    }
    if (closestEarlyUs != std::numeric_limits<qint64>::max())
        m_result.closestEarlyMs = closestEarlyUs / 1000.0;
    m_result.lateGaps -= lateGapsBefore;
    m_result.earlyMessages -= earlyBefore;

    m_result.expected = expected;
    for (const auto &lines : m_sent)
        for (const Sent &line : lines)
            if (line.measured)
                m_result.lost += std::max(0, m_n - line.deliveries);
    m_result.latencyMs = percentiles(std::move(m_latency));
    m_result.shownMs = percentiles(std::move(m_shown));
    m_result.crossMs = percentiles(std::move(m_cross));
    m_result.loginMs = percentiles(std::move(m_loginLatency));
    m_latency = {};
    m_shown = {};
    m_cross = {};
    m_loginLatency = {};
    return m_result;
}

void ChatLoad::tick()
{
    const qint64 now = nowUs();
    sendDue(now);
    if (m_loginRate > 0)
        startDueLogins(now);
    expireLogins(now);
}

void ChatLoad::sendDue(qint64 now)
{
    while (!m_sendingDone) {
        const qint64 due = m_t0 + m_nextEvent * kSecondUs / m_n;
        if (due > now)
            break;
        if (!m_windowOpen && due >= m_windowStart) {
            m_windowOpen = true;
            m_windowStartedUs = nowUs();
            m_cpu.start();
        }
        if (due >= m_windowEnd) {
            const double seconds = double(nowUs() - m_windowStartedUs) / kSecondUs;
            m_result.seconds = seconds;
            for (const CpuWindow::Use &use : m_cpu.stop(seconds)) {
                if (use.name == kBenchItself) {
                    m_result.benchCpu = use.all;
                    continue;
                }
                m_result.processCpu.append({use.name, use.all});
                if (isServer(use.name) && use.all >= 0) {
                    m_result.serverCpu = std::max(0.0, m_result.serverCpu) + use.all;
                    m_result.serverMainCpu = std::max(0.0, m_result.serverMainCpu) + use.main;
                }
            }
            m_result.load1 = loadAverage();
            m_sendingDone = true;
            break;
        }
        const int sender = int(m_nextEvent % m_n);
        const int seq = int(m_nextEvent / m_n);
        ++m_nextEvent;
        Session *client = m_clients.at(sender);
        Sent line;
        line.us = nowUs();
        line.measured = due >= m_windowStart && client->isConnected() && !m_settings.quiet;
        if (line.measured) {
            ++m_result.linesSent;
            m_result.maxSendLagMs = std::max(m_result.maxSendLagMs, double(line.us - due) / 1000.0);
        }
        m_sent[size_t(sender)].push_back(line);
        if (client->isConnected() && !m_settings.quiet)
            client->send(tavrel::kChatPrefix + loadLineText(sender, seq, line.us, m_settings.lineBytes));
    }
}

void ChatLoad::startDueLogins(qint64 now)
{
    while (true) {
        const qint64 due = m_t0 + m_nextLogin * kSecondUs / m_loginRate;
        if (due > now || due >= m_windowEnd)
            return;
        const QString name = m_settings.loginPool.at(int(m_nextLogin % m_settings.loginPool.size()));
        ++m_nextLogin;
        auto *attempt = new LoginAttempt;
        attempt->session = new Session(-1, name, this);
        if (m_settings.perAddress > 0) {
            // Each attempt from the next address, round the same small set of them.
            const int n = int(m_nextLogin % 250);
            attempt->session->setSource(QHostAddress(QStringLiteral("127.3.0.%1").arg(1 + n)));
        }
        attempt->startUs = now;
        attempt->measured = due >= m_windowStart;
        if (attempt->measured)
            ++m_result.loginsStarted;
        m_logins.push_back(attempt);
        Session *session = attempt->session;
        session->onConnected = [this, attempt](Session *s) {
            attempt->sentUs = nowUs();
            s->send(tavrel::loginMessage(s->name(), m_settings.loginDigest));
        };
        session->onMessage = [this, attempt](Session *, const QByteArray &message, qint64 arrivalUs) {
            if (!message.startsWith('l'))
                return; // chat lines and user lists that reach a fresh session
            const QByteArray answer = message.mid(2);
            if (answer != tavrel::loginSuccessAnswer() && answer.startsWith(tavrel::loginSuccessAnswer()))
                misframe("login answer joined to the next message", answer);
            endLogin(attempt, answer.startsWith(tavrel::loginSuccessAnswer()) ? LoginOk : LoginRefused,
                     arrivalUs);
        };
        session->onClosed = [this, attempt](Session *) { endLogin(attempt, LoginFailed, 0); };
        const int instance = int(m_nextLogin % m_settings.ports.size());
        session->setServer(instance, m_settings.ports.at(instance));
        session->open(m_settings.host);
    }
}

void ChatLoad::expireLogins(qint64 now)
{
    for (LoginAttempt *attempt : std::vector<LoginAttempt *>(m_logins))
        if (now - attempt->startUs > kLoginTimeoutUs)
            endLogin(attempt, LoginAbandoned, 0);
}

void ChatLoad::endLogin(LoginAttempt *attempt, int outcome, qint64 answerUs)
{
    const auto it = std::find(m_logins.begin(), m_logins.end(), attempt);
    if (it == m_logins.end())
        return;
    m_logins.erase(it);
    // Answers count by when they arrive, so the figures say how many logins the server got
    // through while the window was open, whenever they were asked for.
    const bool inWindow = m_windowOpen && !m_sendingDone;
    if (outcome == LoginAbandoned) {
        ++m_result.loginsAbandoned;
    } else if (inWindow) {
        if (outcome == LoginOk)
            ++m_result.loginsOk;
        else if (outcome == LoginRefused)
            ++m_result.loginsRefused;
        else
            ++m_result.loginsFailed;
        if (outcome != LoginFailed)
            m_loginLatency.push_back(qint32(answerUs - attempt->sentUs));
    }
    Session *session = attempt->session;
    session->onMessage = nullptr;
    session->onClosed = nullptr;
    session->onConnected = nullptr;
    session->close();
    session->deleteLater();
    delete attempt;
}

void ChatLoad::receive(Session *receiver, const QByteArray &message, qint64 arrivalUs)
{
    const qint64 shownUs = nowUs();
    if (message.isEmpty())
        return;
    switch (message.at(0)) {
    case 'c':
        receiveChat(receiver->index(), message, arrivalUs, shownUs);
        break;
    case 'o': {
        if (m_windowOpen && !m_sendingDone) {
            ++m_result.userLists;
            m_result.userListBytes += message.size();
        }
        // Chat lines that ran into a user list are still delivered, though shown wrongly.
        const int stamp = message.indexOf(": @@");
        const int chat = stamp < 0 ? -1 : message.lastIndexOf("c,", stamp);
        if (chat > 0) {
            misframe("user list joined to chat lines", message.mid(chat - 10, 60));
            receiveChat(receiver->index(), message.mid(chat), arrivalUs, shownUs);
        }
        break;
    }
    default:
        misframe("unexpected message", message);
        break;
    }
}

void ChatLoad::receiveChat(int receiver, const QByteArray &message, qint64 arrivalUs, qint64 shownUs)
{
    const ChatReading reading = readChatMessage(message);
    m_result.foreign += reading.foreign;
    for (const std::string_view line : reading.otherLines)
        note(QStringLiteral("other"),
             QStringLiteral("other chat line: ") +
                 QString::fromUtf8(line.data(), int(std::min<size_t>(line.size(), 80))));
    m_result.misframed += reading.misframed;
    for (const std::string_view problem : reading.problems)
        noteSample("misframed", problem);
    for (const Stamp &stamp : reading.stamps) {
        if (!record(receiver, stamp, arrivalUs, shownUs))
            ++m_result.stale; // a late line of an earlier run
    }
}

bool ChatLoad::record(int receiver, const Stamp &stamp, qint64 arrivalUs, qint64 shownUs)
{
    if (stamp.sender < 0 || stamp.sender >= m_n || stamp.seq < 0 ||
        stamp.seq >= qint64(m_sent[size_t(stamp.sender)].size()))
        return false;
    Sent &sent = m_sent[size_t(stamp.sender)][size_t(stamp.seq)];
    if (sent.us != stamp.us || (!stamp.name.empty() && stamp.name != m_names[size_t(stamp.sender)]))
        return false;

    int &last = m_lastSeq[size_t(receiver) * size_t(m_n) + size_t(stamp.sender)];
    if (stamp.seq <= last) {
        ++m_result.duplicates;
        return true;
    }
    last = int(stamp.seq);
    ++sent.deliveries;
    if (sent.measured) {
        ++m_result.delivered;
        m_latency.push_back(qint32(arrivalUs - stamp.us));
        m_shown.push_back(qint32(shownUs - stamp.us));
        if (m_clients.at(receiver)->instance() != m_clients.at(int(stamp.sender))->instance())
            m_cross.push_back(qint32(arrivalUs - stamp.us));
    }
    return true;
}

} // namespace bench
