#include "enroll.h"

#include "clock.h"
#include "eventwait.h"
#include "protocol.h"

#include <QTimer>

namespace bench {

namespace {

// Two messages on one connection must be further apart than the server's quiet gap, or
// it reads them as one.
constexpr qint64 kMessageSpacingUs = 3 * tavrel::kQuietGapMs * 1000;
// The server writes the mail before it answers; a code that is not there shortly after the
// answer is not coming.
constexpr qint64 kCodeWaitUs = 2 * 1000 * 1000;

} // namespace

QString emailFor(const QString &name)
{
    return name + QStringLiteral("@example.org");
}

Enroller::Enroller(const QHostAddress &host, Outbox *outbox, const QString &digest, QObject *parent)
    : QObject(parent)
    , m_host(host)
    , m_outbox(outbox)
    , m_digest(digest)
{}

bool Enroller::run(const QList<Session *> &sessions, int keepOpen, bool registering, int parallel,
                   int timeoutMs)
{
    m_registering = registering;
    m_failures.clear();
    m_finished = 0;
    std::vector<std::unique_ptr<Job>> jobs;
    for (Session *session : sessions) {
        jobs.push_back(std::make_unique<Job>());
        jobs.back()->session = session;
        jobs.back()->keepOpen = int(jobs.size()) <= keepOpen;
        m_waiting.append(jobs.back().get());
    }
    const int total = int(jobs.size());
    while (m_active.size() < parallel && !m_waiting.isEmpty())
        start(m_waiting.takeFirst());

    QTimer codePoll;
    codePoll.setInterval(50);
    connect(&codePoll, &QTimer::timeout, this, &Enroller::pollCodes);
    codePoll.start();
    const bool done = waitUntil([&] { return m_finished == total; }, timeoutMs);
    codePoll.stop();

    for (Job *job : std::as_const(m_active)) {
        fail(job, QStringLiteral("timed out"));
        job->session->close();
    }
    for (const auto &job : jobs) {
        job->session->onMessage = nullptr;
        job->session->onConnected = nullptr;
        job->session->onClosed = nullptr;
    }
    m_active.clear();
    m_waiting.clear();
    return done && m_failures.isEmpty();
}

void Enroller::start(Job *job)
{
    m_active.append(job);
    Session *session = job->session;
    session->onConnected = [this, job](Session *s) {
        if (m_registering) {
            job->stage = Stage::Register;
            sendSpaced(s, tavrel::registrationMessage(s->name(), emailFor(s->name()), QString(), m_digest));
        } else {
            job->stage = Stage::Login;
            sendSpaced(s, tavrel::loginMessage(s->name(), m_digest));
        }
    };
    session->onMessage = [this, job](Session *, const QByteArray &message, qint64) { handle(job, message); };
    session->onClosed = [this, job](Session *) { fail(job, QStringLiteral("connection closed")); };
    if (session->isConnected())
        session->onConnected(session);
    else
        session->open(m_host);
}

void Enroller::sendSpaced(Session *session, const QByteArray &message)
{
    const qint64 waitUs = kMessageSpacingUs - session->usSinceLastSend();
    if (waitUs <= 0) {
        session->send(message);
        return;
    }
    QTimer::singleShot(int(waitUs / 1000) + 1, session, [session, message] { session->send(message); });
}

void Enroller::handle(Job *job, const QByteArray &message)
{
    if (message.isEmpty())
        return;
    Session *s = job->session;
    const char kind = message.at(0);
    const QString answer = tavrel::textField(message);
    if (kind == 'r')
        job->lastRegistrationAnswer = answer;
    switch (job->stage) {
    case Stage::Login:
        if (kind != 'l')
            return; // user lists and chat lines of users already in
        if (message.mid(2) == tavrel::loginSuccessAnswer()) {
            s->loggedIn = true;
            finish(job);
        } else if (message.mid(2).startsWith(tavrel::loginSuccessAnswer())) {
            // The answer ran into the next message (the user list): the server did not keep
            // the gap, or this process read too late to tell them apart. The login itself
            // worked, so go on, but say so.
            ++m_gluedAnswers;
            s->loggedIn = true;
            finish(job);
        } else {
            fail(job, QStringLiteral("login refused: ") + answer + QStringLiteral(" (after: ") +
                          job->lastRegistrationAnswer + u')');
        }
        return;
    case Stage::Register:
        if (kind != 'r')
            return;
        job->stage = Stage::AwaitCode;
        job->codeWaitStartUs = nowUs();
        pollCodes();
        return;
    case Stage::RegisterWithCode:
        if (kind != 'r')
            return;
        ++m_registered;
        job->stage = Stage::Login;
        sendSpaced(s, tavrel::loginMessage(s->name(), m_digest));
        return;
    default:
        return;
    }
}

void Enroller::pollCodes()
{
    for (Job *job : std::as_const(m_active)) {
        if (job->stage != Stage::AwaitCode)
            continue;
        const QString code = m_outbox->codeFor(emailFor(job->session->name()));
        if (!code.isEmpty()) {
            job->stage = Stage::RegisterWithCode;
            sendSpaced(job->session,
                       tavrel::registrationMessage(job->session->name(), emailFor(job->session->name()), code,
                                                   m_digest));
        } else if (nowUs() - job->codeWaitStartUs > kCodeWaitUs) {
            job->stage = Stage::Login;
            sendSpaced(job->session, tavrel::loginMessage(job->session->name(), m_digest));
        }
    }
}

void Enroller::fail(Job *job, const QString &why)
{
    if (job->stage == Stage::Done || job->stage == Stage::Failed)
        return;
    job->stage = Stage::Failed;
    m_failures.append(job->session->name() + QStringLiteral(": ") + why);
    m_active.removeOne(job);
    ++m_finished;
    if (!m_waiting.isEmpty())
        start(m_waiting.takeFirst());
}

void Enroller::finish(Job *job)
{
    job->stage = Stage::Done;
    if (!job->keepOpen)
        job->session->close();
    m_active.removeOne(job);
    ++m_finished;
    if (!m_waiting.isEmpty())
        start(m_waiting.takeFirst());
}

} // namespace bench
