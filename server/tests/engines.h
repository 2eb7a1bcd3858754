#pragma once

// Real PostgreSQL and Redis servers for the tests: each private to one test program, on a
// free loopback port, in a temporary folder, and gone when the object is. A child that
// outlives a crashed test is ended by the kernel (PR_SET_PDEATHSIG), not left running.

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

#include <memory>

// The reason the engine cannot run here (its programs are missing), or empty.
QString postgresMissing();
QString redisMissing();

// A free TCP port on 127.0.0.1 at the time of asking.
quint16 freeLoopbackPort();

class RedisServer
{
public:
    RedisServer();
    ~RedisServer();

    bool start(QString *error);
    // Ends it at once, as a crash would; start() brings it back on the same port, empty.
    void kill();
    // Stops (SIGSTOP) or resumes (SIGCONT) it: the connections stay, nothing is answered.
    void pause(bool paused);
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString url() const;

private:
    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// A tavrel-server process (the installed binary, built beside the tests) on a free loopback
// port with a data folder of its own, so that a test can kill it as a crash would.
class ServerProcess
{
public:
    explicit ServerProcess(const QStringList &arguments);
    ~ServerProcess();

    // Starts it and waits until it accepts connections.
    bool start(QString *error);
    // SIGKILL: no goodbye to anyone.
    void kill();
    // SIGTERM, and the wait for it to end.
    bool stop();
    bool isRunning() const;

    quint16 port() const { return m_port; }
    QString dataDir() const { return m_dir.path(); }
    QString log() const;

private:
    QTemporaryDir m_dir;
    QStringList m_arguments;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
};

// The exit code and what a tavrel-server run printed, for options it must refuse.
int runServer(const QStringList &arguments, QString *output, const QProcessEnvironment &environment = {});

// A database cluster of its own, run as the postgres system user when the tests run as root
// (initdb refuses root). Clients log in over TCP with a password.
class PostgresCluster
{
public:
    PostgresCluster();
    ~PostgresCluster();

    bool start(QString *error);
    bool isRunning() const;
    quint16 port() const { return m_port; }
    // Stops it and starts it again on the same port and data; every client connection
    // breaks.
    bool restart(QString *error);

    // A new, empty database owned by the role the servers use, and the URL that reaches it.
    QString createDatabase(const QString &name, QString *error);
    // The role's password, alone in a file, for --database-password-file.
    QString passwordFile() const { return m_passwordFile; }
    static QString role() { return QStringLiteral("tavrel"); }
    static QString password() { return QStringLiteral("loopback-only test password"); }

private:
    bool launch(QString *error);
    void shutDown(int signal);
    bool runAsOwner(const QString &program, const QStringList &arguments, QString *error);
    QStringList asOwner(const QString &program, const QStringList &arguments) const;

    QTemporaryDir m_dir;
    std::unique_ptr<QProcess> m_process;
    quint16 m_port = 0;
    QString m_passwordFile;
    QStringList m_admin; // psql arguments for the administrator, up to the command
};
