#include "eventdispatcher.h"

#include "logging.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QThread>
#include <QVarLengthArray>

#ifdef Q_OS_LINUX
#include <cerrno>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>
#endif

namespace tavrel::server {

#ifndef Q_OS_LINUX

void installEventDispatcher() {}

#else

void installEventDispatcher()
{
    auto *dispatcher = new EpollEventDispatcher;
    if (!dispatcher->isValid()) {
        qCWarning(lcServer) << "epoll unavailable, the event loop stays on Qt's own dispatcher";
        delete dispatcher;
        return;
    }
    QCoreApplication::setEventDispatcher(dispatcher);
}

namespace {

constexpr qint64 kNsPerMs = 1000 * 1000;
// Ready descriptors taken per turn. More wait for the next turn: level-triggered epoll
// reports them again, after the ones just taken, so no connection starves.
constexpr int kMaxEvents = 256;

qint64 nowNs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000 * kNsPerMs + now.tv_nsec;
}

timespec toTimespec(qint64 ns)
{
    return {time_t(ns / (1000 * kNsPerMs)), long(ns % (1000 * kNsPerMs))};
}

} // namespace

EpollEventDispatcher::EpollEventDispatcher(QObject *parent)
    : QAbstractEventDispatcher(parent)
    , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC))
{
    if (m_epoll < 0 || m_wakeFd < 0)
        return;
    epoll_event event = {};
    event.events = EPOLLIN;
    event.data.fd = m_wakeFd;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wakeFd, &event) < 0) {
        ::close(m_wakeFd);
        m_wakeFd = -1;
    }
}

EpollEventDispatcher::~EpollEventDispatcher()
{
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
    if (m_epoll >= 0)
        ::close(m_epoll);
}

bool EpollEventDispatcher::isValid() const
{
    return m_epoll >= 0 && m_wakeFd >= 0;
}

bool EpollEventDispatcher::processEvents(QEventLoop::ProcessEventsFlags flags)
{
    m_interrupted.store(false);
    emit awake();
    takeWakeUp();
    QCoreApplication::sendPostedEvents();

    const bool withSockets = !(flags & QEventLoop::ExcludeSocketNotifiers);
    const bool withTimers = !(flags & QEventLoop::X11ExcludeTimers);
    const bool canWait =
        (flags & QEventLoop::WaitForMoreEvents) && !m_interrupted.load() && !m_wakeUpPending.load();
    if (canWait)
        emit aboutToBlock();
    if (m_interrupted.load())
        return false;
    qint64 timeoutNs = withTimers ? nextTimeoutNs() : -1;
    // aboutToBlock() may have posted something.
    if (!canWait || m_wakeUpPending.load())
        timeoutNs = 0;
    wait(timeoutNs, withSockets);

    int activated = 0;
    if (withSockets)
        activated += activateNotifiers();
    if (withTimers)
        activated += activateTimers();
    return activated > 0;
}

void EpollEventDispatcher::takeWakeUp()
{
    if (!m_wakeUpPending.exchange(false))
        return;
    if (m_wakeFdWritten.exchange(false))
        drainWakeFd();
}

void EpollEventDispatcher::drainWakeFd()
{
    eventfd_t count;
    [[maybe_unused]] const int result = eventfd_read(m_wakeFd, &count);
}

void EpollEventDispatcher::wait(qint64 timeoutNs, bool withSockets)
{
    if (withSockets && m_alwaysReady > 0)
        timeoutNs = 0;
    timespec timeout = toTimespec(qMax<qint64>(timeoutNs, 0));
    if (!withSockets) {
        pollfd wake = {m_wakeFd, POLLIN, 0};
        if (ppoll(&wake, 1, timeoutNs < 0 ? nullptr : &timeout, nullptr) > 0) {
            m_wakeFdWritten.store(false);
            drainWakeFd();
        }
        return;
    }

    epoll_event events[kMaxEvents];
    int count = -1;
    if (m_hasWait2) {
        count = epoll_pwait2(m_epoll, events, kMaxEvents, timeoutNs < 0 ? nullptr : &timeout, nullptr);
        if (count < 0 && errno == ENOSYS)
            m_hasWait2 = false;
    }
    if (!m_hasWait2) {
        // Kernels before 5.11 wait in whole milliseconds: round up, so that a timer is never
        // woken for before it is due and the loop does not spin until it is.
        const qint64 ms = timeoutNs < 0 ? -1 : (timeoutNs + kNsPerMs - 1) / kNsPerMs;
        count = epoll_wait(m_epoll, events, kMaxEvents, int(qMin<qint64>(ms, INT_MAX)));
    }
    for (int i = 0; i < count; ++i) {
        if (events[i].data.fd == m_wakeFd) {
            m_wakeFdWritten.store(false);
            drainWakeFd();
        } else {
            markReady(events[i].data.fd, events[i].events);
        }
    }
    if (m_alwaysReady > 0) {
        for (size_t fd = 0; fd < m_descriptors.size(); ++fd) {
            if (m_descriptors[fd].alwaysReady)
                markReady(int(fd), m_descriptors[fd].events);
        }
    }
}

void EpollEventDispatcher::markReady(int fd, quint32 events)
{
    if (fd < 0 || size_t(fd) >= m_descriptors.size())
        return;
    Descriptor &descriptor = m_descriptors[fd];
    const auto add = [&](QSocketNotifier::Type type) {
        QSocketNotifier *notifier = descriptor.notifiers[type];
        if (!notifier || descriptor.pending[type])
            return;
        descriptor.pending[type] = true;
        m_pending.push_back({notifier, fd, type});
    };
    // A hang-up or an error is news to the reader and to the writer alike, whichever of them
    // waits: without it a socket whose peer vanished would stay open for good, and the kernel
    // reports both conditions whether they were asked for or not, so the loop would spin.
    const bool broken = events & (EPOLLERR | EPOLLHUP);
    if (events & EPOLLIN || broken)
        add(QSocketNotifier::Read);
    if (events & EPOLLOUT || broken)
        add(QSocketNotifier::Write);
    if (events & EPOLLPRI || (broken && !descriptor.notifiers[QSocketNotifier::Read] &&
                              !descriptor.notifiers[QSocketNotifier::Write]))
        add(QSocketNotifier::Exception);
}

int EpollEventDispatcher::activateNotifiers()
{
    int activated = 0;
    // A nested event loop in a handler takes from the same list and may empty it.
    while (m_pendingHead < m_pending.size()) {
        const Activation activation = m_pending[m_pendingHead++];
        if (!activation.notifier)
            continue;
        m_descriptors[activation.fd].pending[activation.type] = false;
        QEvent event(QEvent::SockAct);
        QCoreApplication::sendEvent(activation.notifier, &event);
        ++activated;
    }
    m_pending.clear();
    m_pendingHead = 0;
    return activated;
}

void EpollEventDispatcher::registerSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    if (fd < 0)
        return;
    if (size_t(fd) >= m_descriptors.size())
        m_descriptors.resize(size_t(fd) + 1);
    Descriptor &descriptor = m_descriptors[fd];
    if (descriptor.notifiers[type] && descriptor.notifiers[type] != notifier) {
        qCWarning(lcServer) << "a second socket notifier of type" << type << "for descriptor" << fd;
        dropPending(descriptor, type);
    }
    descriptor.notifiers[type] = notifier;
    updateDescriptor(fd, descriptor);
}

void EpollEventDispatcher::unregisterSocketNotifier(QSocketNotifier *notifier)
{
    const int fd = int(notifier->socket());
    const int type = notifier->type();
    if (fd < 0 || size_t(fd) >= m_descriptors.size())
        return;
    Descriptor &descriptor = m_descriptors[fd];
    if (descriptor.notifiers[type] != notifier)
        return;
    dropPending(descriptor, type);
    descriptor.notifiers[type] = nullptr;
    updateDescriptor(fd, descriptor);
}

void EpollEventDispatcher::dropPending(Descriptor &descriptor, int type)
{
    if (!descriptor.pending[type])
        return;
    descriptor.pending[type] = false;
    for (size_t i = m_pendingHead; i < m_pending.size(); ++i) {
        if (m_pending[i].notifier == descriptor.notifiers[type])
            m_pending[i].notifier = nullptr;
    }
}

void EpollEventDispatcher::updateDescriptor(int fd, Descriptor &descriptor)
{
    quint32 wanted = 0;
    if (descriptor.notifiers[QSocketNotifier::Read])
        wanted |= EPOLLIN;
    if (descriptor.notifiers[QSocketNotifier::Write])
        wanted |= EPOLLOUT;
    if (descriptor.notifiers[QSocketNotifier::Exception])
        wanted |= EPOLLPRI;
    if (descriptor.alwaysReady) {
        if (!wanted) {
            descriptor.alwaysReady = false;
            --m_alwaysReady;
        }
        descriptor.events = wanted;
        return;
    }
    if (wanted == descriptor.events)
        return;
    epoll_event event = {};
    event.events = wanted;
    event.data.fd = fd;
    const int operation = !descriptor.events ? EPOLL_CTL_ADD : wanted ? EPOLL_CTL_MOD : EPOLL_CTL_DEL;
    descriptor.events = wanted;
    if (epoll_ctl(m_epoll, operation, fd, &event) == 0 || operation == EPOLL_CTL_DEL)
        return;
    // The kernel drops a closed descriptor from the set by itself, so a number closed and
    // opened again behind a notifier's back may be missing (or present) unlike the table says.
    if (errno == ENOENT && epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &event) == 0)
        return;
    if (errno == EEXIST && epoll_ctl(m_epoll, EPOLL_CTL_MOD, fd, &event) == 0)
        return;
    if (errno == EPERM) {
        descriptor.alwaysReady = true;
        ++m_alwaysReady;
        return;
    }
    qCWarning(lcServer) << "cannot watch descriptor" << fd << ":" << qt_error_string(errno);
}

void EpollEventDispatcher::registerTimer(int timerId, qint64 interval, Qt::TimerType timerType,
                                         QObject *object)
{
    // Whole seconds are what a very coarse timer promises; one that rounds to none still waits one.
    if (timerType == Qt::VeryCoarseTimer && interval > 0)
        interval = qMax<qint64>(1, (interval + 500) / 1000) * 1000;
    Timer timer;
    timer.object = object;
    timer.intervalMs = interval;
    timer.type = timerType;
    timer.serial = ++m_nextSerial;
    timer.expiryNs = -1;
    Timer &stored = m_timers.insert(timerId, timer).value();
    schedule(timerId, stored, nowNs() + interval * kNsPerMs);
}

bool EpollEventDispatcher::unregisterTimer(int timerId)
{
    const auto it = m_timers.find(timerId);
    if (it == m_timers.end())
        return false;
    m_queue.erase({it->expiryNs, it->serial});
    m_timers.erase(it);
    return true;
}

bool EpollEventDispatcher::unregisterTimers(QObject *object)
{
    bool found = false;
    for (auto it = m_timers.begin(); it != m_timers.end();) {
        if (it->object == object) {
            m_queue.erase({it->expiryNs, it->serial});
            it = m_timers.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

QList<QAbstractEventDispatcher::TimerInfo> EpollEventDispatcher::registeredTimers(QObject *object) const
{
    QList<TimerInfo> timers;
    for (auto it = m_timers.cbegin(); it != m_timers.cend(); ++it) {
        if (it->object == object)
            timers.append(TimerInfo(it.key(), int(it->intervalMs), it->type));
    }
    return timers;
}

int EpollEventDispatcher::remainingTime(int timerId)
{
    const auto it = m_timers.constFind(timerId);
    if (it == m_timers.cend())
        return -1;
    const qint64 left = it->expiryNs - nowNs();
    return left <= 0 ? 0 : int((left + kNsPerMs - 1) / kNsPerMs);
}

void EpollEventDispatcher::schedule(int timerId, Timer &timer, qint64 expiryNs)
{
    m_queue.erase({timer.expiryNs, timer.serial});
    timer.expiryNs = expiryNs;
    m_queue.emplace(std::make_pair(expiryNs, timer.serial), timerId);
}

qint64 EpollEventDispatcher::nextTimeoutNs() const
{
    if (m_queue.empty())
        return -1;
    return qMax<qint64>(0, m_queue.begin()->first.first - nowNs());
}

int EpollEventDispatcher::activateTimers()
{
    if (m_queue.empty())
        return 0;
    const qint64 now = nowNs();
    // The timers due when the pass starts. One registered or started again by a handler
    // carries a new serial and waits for the next pass, so that a handler that restarts its
    // own zero timer cannot hold the loop here.
    QVarLengthArray<std::pair<int, quint64>, 64> due;
    for (auto it = m_queue.cbegin(); it != m_queue.cend() && it->first.first <= now; ++it)
        due.append({it->second, it->first.second});

    int activated = 0;
    for (const auto &[timerId, serial] : due) {
        auto it = m_timers.find(timerId);
        if (it == m_timers.end() || it->serial != serial)
            continue;
        // Counted from the expiry, not from now, so that the period does not drift by the
        // time the loop took to get here; periods missed while the loop was busy are skipped.
        qint64 next = now;
        if (it->intervalMs > 0) {
            const qint64 period = it->intervalMs * kNsPerMs;
            next = it->expiryNs + period;
            if (next <= now)
                next += ((now - next) / period + 1) * period;
            // As in Qt's own timer list, a zero timer (work left for an idle turn) does not
            // count as an event processed.
            ++activated;
        }
        schedule(timerId, *it, next);
        // A handler that runs a nested event loop does not get its own timer again inside it.
        if (it->firing)
            continue;
        it->firing = true;
        QTimerEvent event(timerId);
        QCoreApplication::sendEvent(it->object, &event);
        it = m_timers.find(timerId);
        if (it != m_timers.end() && it->serial == serial)
            it->firing = false;
    }
    return activated;
}

void EpollEventDispatcher::wakeUp()
{
    if (m_wakeUpPending.exchange(true))
        return;
    // On the loop's own thread the loop is not waiting: the flag alone keeps the next wait
    // from blocking, and saves a system call per posted event.
    if (QThread::currentThread() == thread())
        return;
    m_wakeFdWritten.store(true);
    eventfd_write(m_wakeFd, 1);
}

void EpollEventDispatcher::interrupt()
{
    m_interrupted.store(true);
    wakeUp();
}

#endif

} // namespace tavrel::server
