#pragma once

#include "config.h"

#include <QHash>
#include <QObject>
#include <QTcpServer>

#include <memory>

class QLockFile;

namespace tavrel::server {

class Accounts;
class Bus;
class FileStore;
class MailQueue;
class MetricsEndpoint;
class OutboxDelivery;
class Session;
struct MetricsGauges;

// The chat server: accepts connections, answers logins and registrations, relays chat to
// everyone logged in, keeps the user list current, and stores and hands out files.
// Everything here runs on one thread; only the work of Accounts runs elsewhere.
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
    // Closes every connection and waits for the database work in progress.
    void stop();

    QString dataDir() const { return m_config.dataDir; }
    int sessionCount() const { return int(m_sessions.size()); }

private:
    void accept();
    void dispatch(Session *session, const QByteArray &message);
    void onClosed(Session *session);
    void handleLogin(Session *session, const QByteArray &message);
    void handleRegistration(Session *session, const QByteArray &message);
    void handleChat(Session *session, const QByteArray &message);
    // Uploads and requests need a login and a token of the session's action budget; a
    // refusal is told to the session.
    bool admitFileAction(Session *session);
    void handleUpload(Session *session, const QByteArray &message);
    void handleFileRequest(Session *session, const QByteArray &message);
    void loggedIn(Session *session, const QString &name);
    // To the sessions of every instance.
    void relay(const QByteArray &message);
    // To this instance's sessions.
    void broadcast(const QByteArray &message);
    QStringList userNames() const;
    void broadcastUserList();
    void onRemoteUsersChanged();
    void onSuperseded(const QString &name);
    MetricsGauges gauges() const;

    Config m_config;
    QTcpServer m_listener;
    std::unique_ptr<QLockFile> m_lock;
    std::unique_ptr<MailQueue> m_mailQueue;
    std::unique_ptr<OutboxDelivery> m_delivery;
    std::unique_ptr<FileStore> m_files;
    std::unique_ptr<Accounts> m_accounts;
    std::unique_ptr<Bus> m_bus;
    std::unique_ptr<MetricsEndpoint> m_metrics;
    QList<Session *> m_sessions;
    QHash<QString, int> m_perAddress;
    QHash<QString, Session *> m_online; // by name as registered
    QStringList m_listSent;
};

} // namespace tavrel::server
