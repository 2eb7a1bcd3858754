#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QList>
#include <QTimerEvent>

// The single-shot timers that QTimer::singleShot has started on this thread and that have
// not fired yet. Lets a test see a long timer's interval and type, and fire it at once
// instead of waiting for it.
struct PendingTimer
{
    QObject *timer = nullptr;
    int interval = 0;
    Qt::TimerType type = Qt::CoarseTimer;

    void fire() const
    {
        QTimerEvent event(0);
        QCoreApplication::sendEvent(timer, &event);
    }
};

inline QList<PendingTimer> pendingSingleShots(int interval)
{
    QList<PendingTimer> found;
    QAbstractEventDispatcher *dispatcher = QAbstractEventDispatcher::instance();
    const QObjectList children = dispatcher->children();
    for (QObject *child : children) {
        if (qstrcmp(child->metaObject()->className(), "QSingleShotTimer") != 0)
            continue;
        const auto timers = dispatcher->registeredTimers(child);
        for (const auto &info : timers) {
            if (info.interval == interval)
                found.append({child, info.interval, info.timerType});
        }
    }
    return found;
}
