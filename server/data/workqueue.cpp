#include "workqueue.h"

namespace tavrel::server {

WorkQueue::WorkQueue(int threads, int maxJobs, std::function<Store *()> storeForThread, QObject *parent)
    : QObject(parent)
    , m_storeForThread(std::move(storeForThread))
    , m_maxJobs(maxJobs)
{
    if (threads > 0)
        m_pool.setMaxThreadCount(threads);
    // Each thread keeps its database connection while it lives; let them live.
    m_pool.setExpiryTimeout(-1);
}

WorkQueue::~WorkQueue()
{
    m_pool.waitForDone();
}

void WorkQueue::jobFinished()
{
    --m_jobs;
}

} // namespace tavrel::server
