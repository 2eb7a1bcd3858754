#pragma once

#include <QFutureWatcher>
#include <QObject>
#include <QPromise>
#include <QThreadPool>

#include <memory>
#include <optional>

// Runs job() on a thread of pool and hands its result to done on owner's thread; done gets
// nothing when the job never ran. The job must hold no pointer to owner: the result comes
// through a watcher that is owner's child, and a watcher destroyed with owner receives
// nothing more, so done never runs once owner is gone.
template<typename Result, typename Job, typename Done>
void runOffThread(QObject *owner, QThreadPool *pool, Job job, Done done)
{
    auto promise = std::make_shared<QPromise<Result>>();
    auto *watcher = new QFutureWatcher<Result>(owner);
    QObject::connect(watcher, &QFutureWatcherBase::finished, owner, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(watcher->future().resultCount() > 0 ? std::optional<Result>(watcher->result()) : std::nullopt);
    });
    watcher->setFuture(promise->future());
    pool->start([promise, job = std::move(job)] {
        promise->start();
        promise->addResult(job());
        promise->finish();
    });
}
