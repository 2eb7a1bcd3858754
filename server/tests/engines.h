#pragma once

// Real PostgreSQL and Redis servers, and tavrel-server processes, for the tests: each on a
// free loopback port in a temporary folder, ended by the kernel if the test program dies.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <csignal>
#include <memory>

// Why the engine cannot run here, or empty.
QString postgresMissing();
QString redisMissing();
quint16 freeLoopbackPort();

class RedisServer
{
public:
    ~RedisServer();
    bool start(QString *error);
    // Ends it at once, as a crash would; start() brings it back on the same port, empty.
    void kill();
    // SIGSTOP or SIGCONT: the connections stay, nothing is answered.
    void pause(bool paused);
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    quint16 port() const { return m_port; }
    QString url() const { return QStringLiteral("redis://127.0.0.1:%1").arg(m_port); }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// tavrel-server on a free loopback port with a data folder of its own.
class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &arguments)
        : m_arguments(arguments)
    {}
    ~ServerProcess() { kill(); }
    // Starts it and waits until it accepts connections.
    bool start(QString *error);
    void kill(); // SIGKILL
    bool stop(); // SIGTERM, and the wait
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    quint16 port() const { return m_port; }
    QString dataDir() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QStringList m_arguments;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// The exit code and output of a tavrel-server run that must refuse its options.
int runServer(const QStringList &arguments, QString *output);

// A database cluster of its own, run as the postgres user when the tests run as root.
class PostgresCluster
{
public:
    ~PostgresCluster() { shutDown(SIGQUIT); }
    bool start(QString *error);
    bool isRunning() const { return m_process && m_process->state() != QProcess::NotRunning; }
    // Stops it and starts it again on the same port and data; every connection breaks.
    bool restart(QString *error)
    {
        shutDown(SIGINT);
        return launch(error);
    }
    // A new, empty database owned by role(), and its URL.
    QString createDatabase(const QString &name, QString *error);
    QString passwordFile() const { return m_passwordFile; }
    static QString role() { return QStringLiteral("tavrel"); }
    static QString password() { return QStringLiteral("loopback-only test password"); }

private:
    bool launch(QString *error);
    void shutDown(int signal);
    bool psql(const QString &command, QString *error);

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_passwordFile;
};
