#include "engines.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <csignal>
#include <pwd.h>
#include <sys/prctl.h>
#include <unistd.h>

namespace {

const QString kOwner = QStringLiteral("postgres");
const QString kAdmin = QStringLiteral("admin");

// Debian keeps the server programs per major version, outside PATH.
QString postgresBin()
{
    const QStringList versions =
        QDir(QStringLiteral("/usr/lib/postgresql")).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (auto it = versions.crbegin(); it != versions.crend(); ++it) {
        const QString bin = QStringLiteral("/usr/lib/postgresql/%1/bin").arg(*it);
        if (QFileInfo(bin + QStringLiteral("/postgres")).isExecutable() &&
            QFileInfo(bin + QStringLiteral("/initdb")).isExecutable())
            return bin;
    }
    return QString();
}

bool runningAsRoot()
{
    return ::geteuid() == 0;
}

// Ends the child with the test program, whatever way that ends.
void endWithParent(QProcess &process, int signal)
{
    process.setChildProcessModifier([signal] { ::prctl(PR_SET_PDEATHSIG, signal); });
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size() &&
           file.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}

QString tail(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    return QString::fromLocal8Bit(file.readAll().right(2000));
}

} // namespace

QString postgresMissing()
{
    if (postgresBin().isEmpty())
        return QStringLiteral("PostgreSQL is not installed (Debian: apt-get install postgresql)");
    if (runningAsRoot() &&
        (!::getpwnam("postgres") || QStandardPaths::findExecutable(QStringLiteral("runuser")).isEmpty()))
        return QStringLiteral("running as root needs the postgres system user and runuser");
    return QString();
}

QString redisMissing()
{
    if (QStandardPaths::findExecutable(QStringLiteral("redis-server")).isEmpty())
        return QStringLiteral("redis-server is not installed (Debian: apt-get install redis-server)");
    return QString();
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

RedisServer::RedisServer() = default;

RedisServer::~RedisServer()
{
    if (isRunning()) {
        pause(false);
        kill();
    }
}

QString RedisServer::url() const
{
    return QStringLiteral("redis://127.0.0.1:%1").arg(m_port);
}

bool RedisServer::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool RedisServer::start(QString *error)
{
    if (m_port == 0)
        m_port = freeLoopbackPort();
    m_process = std::make_unique<QProcess>();
    m_process->setProgram(QStringLiteral("redis-server"));
    m_process->setArguments({QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--bind"),
                             QStringLiteral("127.0.0.1"), QStringLiteral("--save"), QString(),
                             QStringLiteral("--appendonly"), QStringLiteral("no"), QStringLiteral("--dir"),
                             m_dir.path(), QStringLiteral("--daemonize"), QStringLiteral("no")});
    const QString log = m_dir.filePath(QStringLiteral("redis.log"));
    m_process->setStandardOutputFile(log, QIODevice::Append);
    m_process->setStandardErrorFile(log, QIODevice::Append);
    endWithParent(*m_process, SIGKILL);
    m_process->start();
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("redis-server did not start: ") + m_process->errorString();
        return false;
    }
    for (QDeadlineTimer deadline(10000); !deadline.hasExpired(); QThread::msleep(20)) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(500) && probe.write("PING\r\n") > 0 && probe.waitForReadyRead(500) &&
            probe.readAll().startsWith("+PONG"))
            return true;
        if (m_process->state() == QProcess::NotRunning)
            break;
    }
    *error = QStringLiteral("redis-server did not answer on port %1: %2").arg(m_port).arg(tail(log));
    return false;
}

void RedisServer::kill()
{
    if (!m_process)
        return;
    m_process->kill();
    m_process->waitForFinished(5000);
}

void RedisServer::pause(bool paused)
{
    if (!isRunning())
        return;
    const qint64 pid = m_process->processId();
    ::kill(pid_t(pid), paused ? SIGSTOP : SIGCONT);
    // The signal takes effect a moment later; until then the server may still answer.
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    for (QDeadlineTimer deadline(2000); paused && !deadline.hasExpired(); QThread::msleep(1)) {
        if (!stat.open(QIODevice::ReadOnly))
            break;
        const QByteArray fields = stat.readAll();
        stat.close();
        if (fields.mid(fields.lastIndexOf(')') + 2, 1) == "T")
            break;
    }
}

ServerProcess::ServerProcess(const QStringList &arguments)
    : m_arguments(arguments)
{}

ServerProcess::~ServerProcess()
{
    if (isRunning())
        kill();
}

bool ServerProcess::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QString ServerProcess::log() const
{
    return tail(m_dir.filePath(QStringLiteral("server.log")));
}

bool ServerProcess::start(QString *error)
{
    if (m_port == 0)
        m_port = freeLoopbackPort();
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(m_dir.filePath(QStringLiteral("server.log")), QIODevice::Append);
    endWithParent(*m_process, SIGKILL);
    m_process->start(QStringLiteral(TAVREL_SERVER_BINARY),
                     QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                 QStringLiteral("--port"), QString::number(m_port), QStringLiteral("--data"),
                                 m_dir.filePath(QStringLiteral("data"))} +
                         m_arguments);
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("tavrel-server did not start: ") + m_process->errorString();
        return false;
    }
    for (QDeadlineTimer deadline(20000); !deadline.hasExpired() && isRunning(); QThread::msleep(20)) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, m_port);
        if (probe.waitForConnected(500))
            return true;
    }
    *error = QStringLiteral("tavrel-server did not listen on port %1: %2").arg(m_port).arg(log());
    return false;
}

void ServerProcess::kill()
{
    if (!isRunning())
        return;
    m_process->kill();
    m_process->waitForFinished(5000);
}

bool ServerProcess::stop()
{
    if (!isRunning())
        return true;
    m_process->terminate();
    if (m_process->waitForFinished(15000))
        return m_process->exitStatus() == QProcess::NormalExit;
    kill();
    return false;
}

int runServer(const QStringList &arguments, QString *output, const QProcessEnvironment &environment)
{
    QTemporaryDir dir;
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!environment.isEmpty())
        process.setProcessEnvironment(environment);
    endWithParent(process, SIGKILL);
    process.start(QStringLiteral(TAVREL_SERVER_BINARY),
                  QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                              QStringLiteral("--port"), QString::number(freeLoopbackPort()),
                              QStringLiteral("--data"), dir.path()} +
                      arguments);
    // A server that starts after all is stopped: the caller expected a refusal.
    if (!process.waitForFinished(10000)) {
        process.kill();
        process.waitForFinished(5000);
        *output = QString::fromLocal8Bit(process.readAll());
        return -1;
    }
    *output = QString::fromLocal8Bit(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

PostgresCluster::PostgresCluster() = default;

PostgresCluster::~PostgresCluster()
{
    shutDown(SIGQUIT);
}

bool PostgresCluster::isRunning() const
{
    return m_process && m_process->state() != QProcess::NotRunning;
}

QStringList PostgresCluster::asOwner(const QString &program, const QStringList &arguments) const
{
    const QString path = postgresBin() + u'/' + program;
    if (!runningAsRoot())
        return QStringList{path} + arguments;
    return QStringList{QStringLiteral("runuser"), QStringLiteral("-u"), kOwner, QStringLiteral("--"), path} +
           arguments;
}

bool PostgresCluster::runAsOwner(const QString &program, const QStringList &arguments, QString *error)
{
    const QStringList command = asOwner(program, arguments);
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    endWithParent(process, SIGKILL);
    process.start(command.first(), command.mid(1));
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        *error =
            program + QStringLiteral(" failed: ") + QString::fromLocal8Bit(process.readAll()).right(2000);
        return false;
    }
    return true;
}

bool PostgresCluster::start(QString *error)
{
    if (!m_dir.isValid()) {
        *error = QStringLiteral("no temporary folder");
        return false;
    }
    const QString dir = m_dir.path();
    const QString adminPassword = m_dir.filePath(QStringLiteral("admin-password"));
    m_passwordFile = m_dir.filePath(QStringLiteral("password"));
    if (!writeFile(adminPassword, password().toUtf8()) ||
        !writeFile(m_passwordFile, password().toUtf8() + '\n')) {
        *error = QStringLiteral("cannot write the password files");
        return false;
    }
    if (runningAsRoot()) {
        const passwd *owner = ::getpwnam("postgres");
        if (!owner || ::chown(QFile::encodeName(dir).constData(), owner->pw_uid, owner->pw_gid) != 0 ||
            ::chown(QFile::encodeName(adminPassword).constData(), owner->pw_uid, owner->pw_gid) != 0) {
            *error = QStringLiteral("cannot hand the cluster folder to the postgres user");
            return false;
        }
    }
    const QString data = m_dir.filePath(QStringLiteral("data"));
    // Clients log in with a password over TCP; only the tests' own setup uses the socket.
    if (!runAsOwner(QStringLiteral("initdb"),
                    {QStringLiteral("-D"), data, QStringLiteral("-U"), kAdmin,
                     QStringLiteral("--pwfile=") + adminPassword, QStringLiteral("--auth-host=scram-sha-256"),
                     QStringLiteral("--auth-local=trust"), QStringLiteral("-E"), QStringLiteral("UTF8"),
                     QStringLiteral("--locale=C"), QStringLiteral("--no-sync")},
                    error))
        return false;

    m_port = freeLoopbackPort();
    if (!launch(error))
        return false;
    return runAsOwner(
        QStringLiteral("psql"),
        m_admin + QStringList{QStringLiteral("CREATE ROLE %1 LOGIN PASSWORD '%2'").arg(role(), password())},
        error);
}

void PostgresCluster::shutDown(int signal)
{
    if (!isRunning())
        return;
    // Straight to the postmaster: runuser sits between it and us.
    QFile pidFile(m_dir.filePath(QStringLiteral("data/postmaster.pid")));
    if (pidFile.open(QIODevice::ReadOnly)) {
        const qint64 pid = pidFile.readLine().trimmed().toLongLong();
        if (pid > 0)
            ::kill(pid_t(pid), signal);
    }
    if (!m_process->waitForFinished(10000)) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool PostgresCluster::restart(QString *error)
{
    // Fast shutdown: what was committed stays, which with fsync off an immediate one
    // would not promise.
    shutDown(SIGINT);
    return launch(error);
}

bool PostgresCluster::launch(QString *error)
{
    const QString dir = m_dir.path();
    const QString data = m_dir.filePath(QStringLiteral("data"));
    // Durability is not what these tests are about; speed is.
    const QStringList command = asOwner(
        QStringLiteral("postgres"),
        {QStringLiteral("-D"), data, QStringLiteral("-p"), QString::number(m_port), QStringLiteral("-k"), dir,
         QStringLiteral("-c"), QStringLiteral("listen_addresses=127.0.0.1"), QStringLiteral("-c"),
         QStringLiteral("fsync=off"), QStringLiteral("-c"), QStringLiteral("synchronous_commit=off"),
         QStringLiteral("-c"), QStringLiteral("full_page_writes=off")});
    const QString log = m_dir.filePath(QStringLiteral("postgres.log"));
    m_process = std::make_unique<QProcess>();
    m_process->setStandardOutputFile(log);
    m_process->setStandardErrorFile(log);
    // runuser passes SIGTERM on to the postmaster, which then shuts down.
    endWithParent(*m_process, SIGTERM);
    m_process->start(command.first(), command.mid(1));
    if (!m_process->waitForStarted(5000)) {
        *error = QStringLiteral("postgres did not start: ") + m_process->errorString();
        return false;
    }
    const QStringList probe{QStringLiteral("-h"),   dir,
                            QStringLiteral("-p"),   QString::number(m_port),
                            QStringLiteral("-U"),   kAdmin,
                            QStringLiteral("-d"),   QStringLiteral("postgres"),
                            QStringLiteral("-v"),   QStringLiteral("ON_ERROR_STOP=1"),
                            QStringLiteral("-qAtc")};
    m_admin = probe;
    bool ready = false;
    for (QDeadlineTimer deadline(60000); !deadline.hasExpired() && isRunning(); QThread::msleep(100)) {
        QString ignored;
        if (runAsOwner(QStringLiteral("psql"), probe + QStringList{QStringLiteral("SELECT 1")}, &ignored)) {
            ready = true;
            break;
        }
    }
    if (!ready)
        *error = QStringLiteral("postgres did not come up: ") + tail(log);
    return ready;
}

QString PostgresCluster::createDatabase(const QString &name, QString *error)
{
    if (!runAsOwner(QStringLiteral("psql"),
                    m_admin + QStringList{QStringLiteral("CREATE DATABASE %1 OWNER %2").arg(name, role())},
                    error))
        return QString();
    return QStringLiteral("postgresql://%1@127.0.0.1:%2/%3").arg(role()).arg(m_port).arg(name);
}
