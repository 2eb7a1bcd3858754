#pragma once

#include <QObject>

class QSocketNotifier;

namespace tavrel::server {

// Turns SIGINT and SIGTERM, and SIGHUP, into Qt signals delivered by the event loop: the
// handler only writes a byte into a socket pair, which is async-signal-safe.
class TerminationWatcher : public QObject
{
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject *parent = nullptr);
    ~TerminationWatcher() override;

signals:
    void terminationRequested(int signal);
    // SIGHUP: read the TLS certificate and key again.
    void reloadRequested();

private:
    QSocketNotifier *m_notifier = nullptr;
};

} // namespace tavrel::server
