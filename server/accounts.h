#pragma once

#include "config.h"
#include "requests.h"

#include <QObject>
#include <QPointer>
#include <QThreadPool>
#include <QThreadStorage>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

namespace tavrel::server {

class CodeDelivery;
class Store;

// Accounts, verification codes and every other database access. The work runs on a pool
// of worker threads, each with its own database connection, because argon2id takes tens
// of milliseconds and a commit waits for the disk: the thread that serves the sockets
// only posts requests and receives the results.
class Accounts : public QObject
{
    Q_OBJECT
public:
    Accounts(const Config &config, CodeDelivery *delivery, QObject *parent = nullptr);
    // Waits for the work in progress, so that nothing committed is cut short.
    ~Accounts() override;

    // Creates or upgrades the database. Call once before anything else.
    bool prepare();
    QString databasePath() const;

    struct LoginResult
    {
        enum Outcome { Ok, Refused, Locked, Failed } outcome = Failed;
        QString name; // as registered
        int lockedMinutes = 0;
    };
    void login(const LoginFields &fields, QObject *context, std::function<void(LoginResult)> done);

    // Answers with the text for the registration answer.
    void registerAccount(const RegistrationFields &fields, QObject *context,
                         std::function<void(QString)> done);

    // Runs work(store) on a worker thread, then done(result) on this object's thread,
    // unless context is gone by then.
    template<typename Result>
    void run(QObject *context, std::function<Result(Store &)> work, std::function<void(Result)> done)
    {
        QPointer<QObject> guard(context);
        ++m_pending;
        m_pool.start([this, guard, work = std::move(work), done = std::move(done)]() mutable {
            Result result = withStore(work);
            --m_pending;
            QMetaObject::invokeMethod(
                this,
                [guard, done = std::move(done), result = std::move(result)]() {
                    if (guard)
                        done(result);
                },
                Qt::QueuedConnection);
        });
    }

    void waitForIdle() { m_pool.waitForDone(); }
    // Jobs queued or running.
    int pendingWork() const { return m_pending; }

private:
    template<typename Result> Result withStore(const std::function<Result(Store &)> &work)
    {
        Store *store = threadStore();
        if (!store)
            return Result{};
        return work(*store);
    }
    Store *threadStore();
    LoginResult doLogin(Store &store, const LoginFields &fields);
    QString doRegister(Store &store, const RegistrationFields &fields);
    QByteArray hash(const QString &digest) const;
    const QByteArray &dummyHash();

    Config m_config;
    CodeDelivery *m_delivery;
    QString m_dbPath;
    // Each worker's connection. Declared before the pool: the pool joins its threads when
    // it goes, and a thread deletes its Store before a join returns, so no connection
    // outlives this object.
    QThreadStorage<Store *> m_stores;
    QThreadPool m_pool;
    std::atomic<int> m_pending{0};
    std::once_flag m_dummyOnce;
    QByteArray m_dummyHash;
};

} // namespace tavrel::server
