#pragma once

#include "dbconnection.h"

#include <QThreadStorage>

namespace tavrel::server {

class Store;

// The database connections of worker threads: Qt SQL connections belong to the thread that
// opened them, so each worker opens its own at its first job, and it closes when the thread
// ends. A WorkQueue asks here for the connection of the thread it runs a job on; the queue
// must go first, since it joins its threads when it goes.
class ThreadStores
{
public:
    explicit ThreadStores(const StoreLocation &location);
    ~ThreadStores();

    // The calling thread's connection, or null when it cannot be opened.
    Store *forThisThread();
    const StoreLocation &location() const { return m_location; }

private:
    StoreLocation m_location;
    QThreadStorage<Store *> m_stores;
};

} // namespace tavrel::server
