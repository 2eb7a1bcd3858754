#pragma once

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QTimerEvent>

// A single-shot timer that QTimer::singleShot started on this thread and that has not fired
// yet: a test can read its type, and fire it at once instead of waiting for it.
struct PendingTimer
{
    QObject *timer;
    Qt::TimerType type;

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
    for (QObject *child : dispatcher->children()) {
        if (qstrcmp(child->metaObject()->className(), "QSingleShotTimer") != 0)
            continue;
        for (const auto &info : dispatcher->registeredTimers(child)) {
            if (info.interval == interval)
                found.append({child, info.timerType});
        }
    }
    return found;
}
