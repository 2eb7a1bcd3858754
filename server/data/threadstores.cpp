#include "threadstores.h"

#include "tables.h"

#include <memory>

#ifdef Q_OS_LINUX
#include <sys/resource.h>
#include <unistd.h>
#endif

namespace tavrel::server {

ThreadStores::ThreadStores(const StoreLocation &location)
    : m_location(location)
{}

ThreadStores::~ThreadStores() = default;

Store *ThreadStores::forThisThread()
{
    if (m_stores.hasLocalData())
        return m_stores.localData();
#ifdef Q_OS_LINUX
    // Hashing must not starve the thread that relays chat; nice values are per thread here.
    setpriority(PRIO_PROCESS, id_t(gettid()), 10);
#endif
    auto store = std::make_unique<Store>(m_location);
    if (!store->open())
        return nullptr;
    m_stores.setLocalData(store.get());
    return store.release();
}

} // namespace tavrel::server
