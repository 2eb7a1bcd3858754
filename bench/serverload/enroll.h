#pragma once

#include "outbox.h"
#include "session.h"

#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

namespace bench {

// The identity of a load user: the address its code is mailed to and its password.
QString emailFor(const QString &name);

// Brings sessions to the logged-in state the way a real user gets there: it asks for a
// verification code, reads it from the outbox, registers with it and logs in. When no
// code comes (the name is taken: the account is left from an earlier run) it just logs in.
class Enroller : public QObject
{
    Q_OBJECT
public:
    Enroller(const QHostAddress &host, Outbox *outbox, const QString &digest, QObject *parent = nullptr);

    // Logs every session in, at most `parallel` at a time. The first keepOpen sessions stay
    // logged in afterwards; the others are closed as soon as they got there. With
    // registering false the sessions only log in. Returns false when a session did not
    // make it within timeoutMs; failures() says why.
    bool run(const QList<Session *> &sessions, int keepOpen, bool registering, int parallel, int timeoutMs);

    const QStringList &failures() const { return m_failures; }
    int registered() const { return m_registered; }
    // Login answers that arrived joined to the message after them.
    int gluedAnswers() const { return m_gluedAnswers; }

private:
    enum class Stage { Register, AwaitCode, RegisterWithCode, Login, Done, Failed };
    struct Job
    {
        Session *session = nullptr;
        Stage stage = Stage::Login;
        bool keepOpen = false;
        qint64 codeWaitStartUs = 0;
        QString lastRegistrationAnswer;
    };

    void start(Job *job);
    void handle(Job *job, const QByteArray &message);
    void fail(Job *job, const QString &why);
    void finish(Job *job);
    void pollCodes();
    void sendSpaced(Session *session, const QByteArray &message);

    QHostAddress m_host;
    Outbox *m_outbox;
    QString m_digest;
    bool m_registering = true;
    QList<Job *> m_waiting;
    QList<Job *> m_active;
    int m_finished = 0;
    int m_registered = 0;
    int m_gluedAnswers = 0;
    QStringList m_failures;
};

} // namespace bench
