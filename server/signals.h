#pragma once

#include <QObject>

class QSocketNotifier;

namespace tavrel::server {

// Turns SIGINT and SIGTERM into a Qt signal delivered by the event loop: the handler only
// writes a byte into a socket pair, which is async-signal-safe.
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested(int signal);

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace tavrel::server
