#pragma once

#include <QAbstractEventDispatcher>

#include <QHash>

#include <atomic>
#include <map>
#include <utility>
#include <vector>

namespace tavrel::server {

// Makes the calling thread's next event loop run on EpollEventDispatcher where there is one
// (Linux); elsewhere Qt's own dispatcher stays. Call it before the application object exists.
void installEventDispatcher();

#ifdef Q_OS_LINUX

// The main thread's event loop on epoll. Qt's own Linux dispatcher (glib's) hands the kernel
// every socket on each turn, so its cost grows with connections times turns; with 200 clients
// paced every 12 ms that poll was a quarter of the server's CPU. Here each descriptor is
// registered once and a turn costs one epoll_pwait2 whatever the number of connections.
//
// What it keeps of Qt's dispatchers, which the server and QAbstractSocket rely on:
// - notifiers are level-triggered; a hang-up or error wakes the read and the write notifier,
//   or a vanished peer would never be noticed; a notifier disabled or deleted while another
//   one's activation runs is not activated afterwards, in this turn or an outer one;
// - a timer fires on the millisecond it is due, its next expiry counts from the previous one
//   and skips periods missed while the loop was busy; a timer registered while timers fire
//   waits for the next pass; a timer does not fire again inside its own handler's nested loop;
// - posted events are sent at the start of every turn; wakeUp() may come from any thread.
class EpollEventDispatcher : public QAbstractEventDispatcher
{
    Q_OBJECT
public:
    explicit EpollEventDispatcher(QObject *parent = nullptr);
    ~EpollEventDispatcher() override;

    // False when the kernel refused the epoll set or the wake-up descriptor.
    bool isValid() const;

    bool processEvents(QEventLoop::ProcessEventsFlags flags) override;

    void registerSocketNotifier(QSocketNotifier *notifier) override;
    void unregisterSocketNotifier(QSocketNotifier *notifier) override;

    void registerTimer(int timerId, qint64 interval, Qt::TimerType timerType, QObject *object) override;
    bool unregisterTimer(int timerId) override;
    bool unregisterTimers(QObject *object) override;
    QList<TimerInfo> registeredTimers(QObject *object) const override;
    int remainingTime(int timerId) override;

    void wakeUp() override;
    void interrupt() override;

private:
    // One epoll entry per descriptor: its events are the union of its enabled notifiers.
    struct Descriptor
    {
        QSocketNotifier *notifiers[3] = {};
        // Set while the notifier waits in m_pending, so that removing it finds it there.
        bool pending[3] = {};
        quint32 events = 0;
        // epoll refuses regular files; poll() calls them always ready, and so does this.
        bool alwaysReady = false;
    };
    struct Activation
    {
        QSocketNotifier *notifier;
        int fd;
        int type;
    };
    struct Timer
    {
        QObject *object;
        qint64 intervalMs;
        Qt::TimerType type;
        qint64 expiryNs;
        // Tells a timer from a later one under the same id, once a handler has run.
        quint64 serial;
        bool firing = false;
    };
    using TimerQueue = std::map<std::pair<qint64, quint64>, int>;

    void updateDescriptor(int fd, Descriptor &descriptor);
    // Takes a notifier out of this turn's ready list.
    void dropPending(Descriptor &descriptor, int type);
    void takeWakeUp();
    void drainWakeFd();
    void wait(qint64 timeoutNs, bool withSockets);
    void markReady(int fd, quint32 events);
    int activateNotifiers();
    int activateTimers();
    qint64 nextTimeoutNs() const;
    void schedule(int timerId, Timer &timer, qint64 expiryNs);

    int m_epoll = -1;
    int m_wakeFd = -1;
    // Set by wakeUp() until a turn starts, so that a burst of posted events writes the
    // descriptor once; m_wakeFdWritten says whether it was written at all.
    std::atomic<bool> m_wakeUpPending{false};
    std::atomic<bool> m_wakeFdWritten{false};
    std::atomic<bool> m_interrupted{false};
    std::vector<Descriptor> m_descriptors;
    int m_alwaysReady = 0;
    // Ready notifiers of this turn; nested loops take from the same list, so none runs twice.
    std::vector<Activation> m_pending;
    size_t m_pendingHead = 0;
    QHash<int, Timer> m_timers;
    TimerQueue m_queue;
    quint64 m_nextSerial = 0;
    bool m_hasWait2 = true;
};

#endif

} // namespace tavrel::server
