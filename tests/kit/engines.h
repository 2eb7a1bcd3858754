#pragma once

// Real PostgreSQL and Redis servers, and tavrel-server processes, for the tests: each on a
// free loopback port in a temporary folder, ended by the kernel if the test program dies.

#include <QProcess>
#include <QTemporaryDir>

#include <csignal>
#include <functional>
#include <memory>

// A file only its owner may read or write, as the server wants its secrets.
bool writeSecret(const QString &path, const QByteArray &bytes);

// Redis settings that turn the default user off and let this user do only what the bus
// needs, on its own keys and channels (the ACL the README gives).
QStringList busAcl(const QString &user, const QString &password);

// Why the engine cannot run here, or empty.
QString postgresMissing();
QString redisMissing();
quint16 freeLoopbackPort();

class Daemon
{
public:
    ~Daemon() { kill(); }
    void kill(); // SIGKILL, as a crash would
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    quint16 port() const { return m_port; }

protected:
    // Starts command, its output appended to log, and waits until ready() holds; on failure
    // the error names the command and the log's tail.
    bool spawn(const QStringList &command, const QString &log, int ms, const std::function<bool()> &ready,
               QString *error, int deathSignal = SIGKILL);

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = freeLoopbackPort();
};

class RedisServer : public Daemon
{
public:
    // Settings beyond the defaults, as redis-server's arguments ("--requirepass", "pw").
    explicit RedisServer(const QStringList &settings = {})
        : m_settings(settings)
    {}
    // After kill(), it comes back on the same port, empty.
    bool start(QString *error);
    // SIGSTOP or SIGCONT: the connections stay, nothing is answered.
    void pause(bool paused);
    QString url() const { return QStringLiteral("redis://127.0.0.1:%1").arg(m_port); }

private:
    QStringList m_settings;
};

// tavrel-server with a data folder of its own, hashing passwords at the cost its arguments
// give, or else at its own.
class ServerProcess : public Daemon
{
public:
    explicit ServerProcess(const QStringList &arguments)
        : m_arguments(arguments)
    {}
    // Starts it and waits until it listens.
    bool start(QString *error);
    void stop(); // SIGTERM, and the wait
    QString dataDir() const { return m_dir.filePath(QStringLiteral("data")); }

private:
    QStringList m_arguments;
    QString m_log;
};

// A database cluster of its own, run as the postgres user when the tests run as root.
class PostgresCluster : public Daemon
{
public:
    ~PostgresCluster() { shutDown(SIGQUIT); }
    bool start(QString *error);
    // Stops it, or stops it and starts it again on the same port and data; every
    // connection breaks.
    void stop() { shutDown(SIGINT); }
    bool restart(QString *error)
    {
        stop();
        return launch(error);
    }
    // A new, empty database owned by role(), and its URL.
    QString createDatabase(const QString &name, QString *error);
    QString passwordFile() const { return m_dir.filePath(QStringLiteral("password")); }
    static QString role() { return QStringLiteral("tavrel"); }
    static QString password() { return QStringLiteral("loopback-only test password"); }

private:
    bool launch(QString *error);
    void shutDown(int signal);
    bool psql(const QString &command, QString *error);
};
