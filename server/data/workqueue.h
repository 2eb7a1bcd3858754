#pragma once

#include <QObject>
#include <QPointer>
#include <QThreadPool>

#include <functional>

namespace tavrel::server {

class Store;

// Work that must not run on the thread serving the sockets (password hashing, commits that
// wait for the disk, file storage), on a pool of threads of its own with a bounded number
// of jobs. A full queue refuses new jobs at once, so that the caller can answer "busy"
// instead of letting a flood of one kind of request delay every other.
class WorkQueue : public QObject
{
    Q_OBJECT
public:
    // storeForThread gives the calling worker thread's database connection, or null when it
    // cannot be opened.
    WorkQueue(int threads, int maxJobs, std::function<Store *()> storeForThread, QObject *parent = nullptr);
    // Waits for the jobs in progress, so that nothing committed is cut short.
    ~WorkQueue() override;

    // Runs work(store) on a worker, then done(result) on this object's thread unless
    // context is gone by then; without a store the result is a default Result. Returns
    // false, running nothing, when maxJobs jobs are queued, running or awaiting their
    // done() and bounded is set.
    template<typename Result>
    bool tryRun(QObject *context, std::function<Result(Store &)> work, std::function<void(Result)> done,
                bool bounded = true)
    {
        if (bounded && m_jobs >= m_maxJobs)
            return false;
        ++m_jobs;
        QPointer<QObject> guard(context);
        m_pool.start([this, guard, work = std::move(work), done = std::move(done)]() mutable {
            Store *store = m_storeForThread();
            Result result = store ? work(*store) : Result{};
            QMetaObject::invokeMethod(
                this,
                [this, guard, done = std::move(done), result = std::move(result)]() {
                    if (guard)
                        done(result);
                    jobFinished();
                },
                Qt::QueuedConnection);
        });
        return true;
    }

    // Jobs started and not yet answered.
    int jobs() const { return m_jobs; }
    int threads() const { return m_pool.maxThreadCount(); }

private:
    void jobFinished();

    std::function<Store *()> m_storeForThread;
    int m_maxJobs;
    int m_jobs = 0;
    QThreadPool m_pool;
};

} // namespace tavrel::server
