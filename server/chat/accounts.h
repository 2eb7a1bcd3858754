#pragma once

#include "config.h"
#include "dbconnection.h"
#include "requests.h"
#include "tables.h"
#include "threadstores.h"
#include "workqueue.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QPointer>

#include <functional>
#include <mutex>

namespace tavrel::server {

class CodeMailer;

// The key under which limits count a user name, and under which it is one account: its
// canonical form (see canonicalName).
QString nameKey(const QString &name);

// Logins, registrations and verification codes. The work runs on worker threads, each with
// its own database connection, because argon2id takes tens of milliseconds and a commit
// waits for the disk: the thread that serves the sockets only posts requests and receives
// the results. Uploads and file requests have a queue of their own (Uploads), so that
// neither kind can hold up the other.
class Accounts : public QObject
{
    Q_OBJECT
public:
    Accounts(const Config &config, CodeMailer *mailer, QObject *parent = nullptr);
    ~Accounts() override;

    // Creates or upgrades the database and forgets expired codes. Call once before
    // anything else.
    bool prepare();
    // Where the configuration puts the tables; the configuration is checked already.
    static StoreLocation storeLocation(const Config &config);

    struct LoginResult
    {
        enum Outcome { Ok, Refused, Throttled, Locked, Failed } outcome = Failed;
        QString name;    // as registered
        int waitSeconds; // Throttled: until the next try; Locked: until the lock ends
    };
    // Each returns false, doing nothing, when the account queue is full or holds the
    // source's share of it.
    bool login(const LoginFields &fields, const QString &source, QObject *context,
               std::function<void(LoginResult)> done);
    // Answers with the text for the registration answer; empty on an internal failure.
    bool registerAccount(const RegistrationFields &fields, const QString &source, QObject *context,
                         std::function<void(QString)> done);
    // Forgets what no limit needs any more (see Store::purge); runs whatever the queue holds.
    void purge();

    WorkQueue &accountQueue() { return m_accountQueue; }

private:
    // Runs work on an account worker when the source's turn comes (see admit).
    template<typename Result>
    bool runFor(const QString &source, QObject *context, std::function<Result(Store &)> work,
                std::function<void(Result)> done)
    {
        QPointer<QObject> guard(context);
        return admit(source, context,
                     [this, source, guard, work = std::move(work), done = std::move(done)]() mutable {
                         m_accountQueue.tryRun<Result>(
                             this, std::move(work),
                             [this, source, guard, done = std::move(done)](Result result) {
                                 finished(source);
                                 if (guard)
                                     done(std::move(result));
                             },
                             false);
                     });
    }
    // Queues start() for when a worker is free and the source's turn has come, unless the
    // source holds its share of the queue or the queue is full. A job whose context is gone
    // by then (the connection closed) is dropped unstarted.
    bool admit(const QString &source, QObject *context, std::function<void()> start);
    void startWaiting();
    void release(const QString &source);
    void finished(const QString &source);

    // The seconds the source must wait when it has used up its failures, else nullopt.
    std::optional<int> sourceRefusal(const Store::LoginGate &gate, qint64 now) const;
    static QString nameTakenAnswer(Store &store, const QString &name, bool *ok);
    LoginResult doLogin(Store &store, const LoginFields &fields, const QString &source);
    QString doRegister(Store &store, const RegistrationFields &fields, const QString &source);
    QString sendCode(Store &store, const RegistrationFields &fields, const QString &emailKey,
                     const QString &nameKey, const QString &source,
                     const std::optional<Store::PendingCode> &pending, qint64 now);
    QByteArray hash(const QString &digest) const;
    const QByteArray &dummyHash();

    Config m_config;
    CodeMailer *m_mailer;
    std::once_flag m_dummyOnce;
    QByteArray m_dummyHash;
    // Each worker's connection. Declared before the queue: a queue joins its threads when
    // it goes, and a thread deletes its Store before a join returns, so no connection
    // outlives this object.
    ThreadStores m_stores;
    // The account jobs by source: those waiting for a worker, in order, and how many each
    // source holds (waiting or running). m_fresh lists the sources whose waiting job came
    // when they held none, m_turns the others with jobs waiting, each the next first.
    struct Waiting
    {
        QPointer<QObject> context;
        std::function<void()> start;
    };
    struct SourceJobs
    {
        QList<Waiting> waiting;
        int held = 0;
    };
    QHash<QString, SourceJobs> m_sources;
    QStringList m_fresh;
    QStringList m_turns;
    int m_held = 0;
    int m_running = 0;
    WorkQueue m_accountQueue;
};

} // namespace tavrel::server
