#pragma once

#include "config.h"
#include "connectioncaps.h"
#include "tlscredentials.h"

#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QTcpServer>
#include <QTimer>

#include <memory>

class QLockFile;
class QSocketNotifier;

namespace tavrel::server {

class Accounts;
class Bus;
class FileStore;
class MailQueue;
class MetricsEndpoint;
class OutboxMailer;
class Session;
struct SessionSettings;
class ThreadStores;
class WorkQueue;
struct MetricsGauges;

// Raises the soft limit on open descriptors to the hard one; returns the soft limit now
// in force, or -1 when the system has none.
qlonglong raiseDescriptorLimit();

// The connections a descriptor limit leaves room for: each may hold a file it is being
// sent besides its socket, and reserve descriptors stay for the database, the files being
// stored, the listener and the rest.
int connectionsWithin(qlonglong descriptorLimit, int reserve);

// The chat server: accepts connections, answers logins and registrations, relays chat to
// everyone logged in, keeps the user list current, and stores and hands out files.
// Everything here runs on one thread; only the work of the account and file workers runs
// elsewhere.
class Server : public QObject
{
    Q_OBJECT
public:
    explicit Server(const Config &config, QObject *parent = nullptr);
    ~Server() override;

    // Why this configuration cannot run, for the operator; empty when it can.
    static QString configurationError(const Config &config);

    // Prepares the data folder and the database, joins the bus and starts listening.
    bool start();
    quint16 port() const;
    // Where the metrics are served; 0 when they are not.
    quint16 metricsPort() const;
    // Reads the TLS certificate and key again, for the connections to come; the open ones
    // keep theirs. When they cannot serve, says why and keeps the ones in use. False then,
    // and without TLS.
    bool reloadTls();
    // Stops at once: closes every connection and waits for the database work in progress.
    void stop();
    // Stops gracefully: takes no new connection, handles the messages still arriving,
    // finishes the work in progress and sends its answers, lets every session receive
    // what waits for it, and closes; at most drainMs in all. Emits drained() when done.
    // A second call stops at once.
    void shutdown(int drainMs);

    int sessionCount() const { return int(m_sessions.size()); }

signals:
    void drained();

private:
    void acceptPending();
    void pauseAccepting(int error);
    void admit(QTcpSocket *socket);
    void dispatch(Session *session, const QByteArray &message);
    void onClosed(Session *session);
    void handleLogin(Session *session, const QByteArray &message);
    void handleRegistration(Session *session, const QByteArray &message);
    void handleChat(Session *session, const QByteArray &message);
    // Uploads and requests need a login, a token of the session's action budget and no
    // file work of the session in progress; a refusal is told to the session.
    bool admitFileAction(Session *session);
    void handleUpload(Session *session, const QByteArray &message);
    void handleFileRequest(Session *session, const QByteArray &message);
    void loggedIn(Session *session, const QString &name);
    // To the sessions of every instance.
    void relay(const QByteArray &message);
    // To this instance's sessions.
    void broadcast(const QByteArray &message);
    QStringList userNames() const;
    // To each of this instance's sessions: everyone online at any instance but its own user.
    void broadcastUserList();
    void onRemoteUsersChanged();
    void onSuperseded(const QString &name);
    void drainStep();
    void finishShutdown();
    MetricsGauges gauges() const;

    Config m_config;
    std::shared_ptr<const SessionSettings> m_sessionSettings;
    std::optional<TlsCredentials> m_tls;
    QTcpServer m_listener;
    QSocketNotifier *m_acceptNotifier = nullptr;
    QTimer m_acceptPause;
    QElapsedTimer m_acceptPauseReported;
    int m_acceptPausesUnreported = 0;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<MailQueue> m_mailQueue;
    std::unique_ptr<OutboxMailer> m_codeMailer;
    std::unique_ptr<FileStore> m_files;
    std::unique_ptr<Accounts> m_accounts;
    // The file workers, each with its connection; the queue goes first (see ThreadStores).
    std::unique_ptr<ThreadStores> m_fileStores;
    std::unique_ptr<WorkQueue> m_fileQueue;
    std::unique_ptr<Bus> m_bus;
    std::unique_ptr<MetricsEndpoint> m_metrics;
    QTimer m_purge;
    QList<Session *> m_sessions;
    ConnectionCaps m_caps;
    QSet<Session *> m_unauthenticated;  // counted by m_caps as not logged in
    QHash<QString, Session *> m_online; // by name as registered
    QStringList m_listSent;

    enum class Drain { No, Gathering, Working, Closing, Done } m_drain = Drain::No;
    QElapsedTimer m_drainClock;
    int m_drainMs = 0;
    QTimer m_drainTimer;
};

} // namespace tavrel::server
