#include "engines.h"

#include "files.h"
#include "serverprocess.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>

#include <pwd.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

const bool kRoot = ::geteuid() == 0;

// Debian keeps the server programs per major version, outside PATH.
QString postgresBin()
{
    QStringList versions =
        QDir(u"/usr/lib/postgresql"_s).entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name);
    for (; !versions.isEmpty(); versions.removeLast()) {
        const QString bin = u"/usr/lib/postgresql/%1/bin"_s.arg(versions.last());
        if (QFileInfo(bin + u"/postgres"_s).isExecutable() && QFileInfo(bin + u"/initdb"_s).isExecutable())
            return bin;
    }
    return QString();
}

// Ends the child with the test program, whatever way that ends.
void launchChild(QProcess &process, const QStringList &command, int deathSignal = SIGKILL)
{
    process.setChildProcessModifier([deathSignal] { ::prctl(PR_SET_PDEATHSIG, deathSignal); });
    process.start(command.first(), command.mid(1));
}

// initdb refuses root: the postgres user runs the server programs then.
QStringList asOwner(const QString &program, const QStringList &arguments)
{
    const QStringList command = QStringList{postgresBin() + u'/' + program} + arguments;
    return kRoot ? QStringList{u"runuser"_s, u"-u"_s, u"postgres"_s, u"--"_s} + command : command;
}

bool runAsOwner(const QString &program, const QStringList &arguments, QString *error)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    launchChild(process, asOwner(program, arguments));
    if (process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit &&
        process.exitCode() == 0)
        return true;
    *error = program + u" failed: "_s + QString::fromLocal8Bit(process.readAll()).right(2000);
    return false;
}

// Whether something on port takes a connection and answers a PING: a Redis that wants a
// password answers with an error; either way it answers.
bool answersPing(quint16 port)
{
    QTcpSocket probe;
    probe.connectToHost(QHostAddress::LocalHost, port);
    return probe.waitForConnected(500) && probe.write("PING\r\n") > 0 && probe.waitForReadyRead(500);
}

} // namespace

bool writeSecret(const QString &path, const QByteArray &bytes)
{
    return write(path, bytes) && QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner);
}

QStringList busAcl(const QString &user, const QString &password)
{
    return QStringList{u"--user"_s, u"default"_s,    u"off"_s,       u"--user"_s,    user,
                       u"on"_s,     u'>' + password, u"~tavrel:*"_s, u"&tavrel:*"_s, u"-@all"_s} +
           u"+publish +subscribe +set +mget +sadd +srem +smembers +del +client|setname +ping"_s.split(u' ');
}

QString postgresMissing()
{
    if (postgresBin().isEmpty())
        return u"PostgreSQL is not installed (Debian: apt-get install postgresql)"_s;
    if (kRoot && (!::getpwnam("postgres") || QStandardPaths::findExecutable(u"runuser"_s).isEmpty()))
        return u"running as root needs the postgres system user and runuser"_s;
    return QString();
}

QString redisMissing()
{
    return QStandardPaths::findExecutable(u"redis-server"_s).isEmpty()
               ? u"redis-server is not installed (Debian: apt-get install redis-server)"_s
               : QString();
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

bool Daemon::spawn(const QStringList &command, const QString &log, int ms, const std::function<bool()> &ready,
                   QString *error, int deathSignal)
{
    m_process = std::make_unique<QProcess>();
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardOutputFile(log, QIODevice::Append);
    launchChild(*m_process, command, deathSignal);
    for (QDeadlineTimer deadline(ms); !deadline.hasExpired() && isRunning(); QThread::msleep(20)) {
        if (ready())
            return true;
    }
    *error = command.join(u' ') + u" did not come up on port %1: "_s.arg(m_port) +
             QString::fromLocal8Bit(contents(log).right(2000));
    return false;
}

void Daemon::kill()
{
    if (isRunning()) {
        m_process->kill();
        m_process->waitForFinished(5000);
    }
}

bool RedisServer::start(QString *error)
{
    const QStringList command =
        u"redis-server --bind 127.0.0.1 --appendonly no --port %1"_s.arg(m_port).split(u' ') +
        QStringList{u"--save"_s, QString(), u"--dir"_s, m_dir.path()} + m_settings;
    return spawn(
        command, m_dir.filePath(u"redis.log"_s), 10000, [this] { return answersPing(m_port); }, error);
}

void RedisServer::pause(bool paused)
{
    if (!isRunning())
        return;
    const auto pid = id_t(m_process->processId());
    ::kill(pid_t(pid), paused ? SIGSTOP : SIGCONT);
    // The signal takes effect a moment later; until then the server may still answer. The
    // kernel tells when it has stopped (or died), and leaves the news for QProcess.
    siginfo_t info;
    if (paused)
        ::waitid(P_PID, pid, &info, WSTOPPED | WEXITED | WNOWAIT);
}

bool ServerProcess::start(QString *error)
{
    m_process = std::make_unique<QProcess>();
    m_process->setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    if (startServerProcess(*m_process, &m_log, QStringLiteral(TAVREL_SERVER_BINARY),
                           QStringList{u"--port"_s, u"0"_s, u"--data"_s, dataDir()} + m_arguments, &m_port,
                           Hashing::Default))
        return true;
    *error = u"tavrel-server did not come up: "_s + m_log.right(2000);
    return false;
}

void ServerProcess::stop()
{
    if (isRunning())
        stopServerProcess(*m_process);
}

bool PostgresCluster::psql(const QString &command, QString *error)
{
    return runAsOwner(u"psql"_s,
                      {u"-h"_s, m_dir.path(), u"-p"_s, QString::number(m_port), u"-U"_s, u"admin"_s, u"-d"_s,
                       u"postgres"_s, u"-v"_s, u"ON_ERROR_STOP=1"_s, u"-qAtc"_s, command},
                      error);
}

bool PostgresCluster::start(QString *error)
{
    const QString adminPassword = m_dir.filePath(u"admin-password"_s);
    if (!m_dir.isValid() || !writeSecret(adminPassword, password().toUtf8()) ||
        !writeSecret(passwordFile(), password().toUtf8() + '\n')) {
        *error = u"cannot write the password files"_s;
        return false;
    }
    const passwd *owner = ::getpwnam("postgres");
    if (kRoot &&
        (!owner || ::chown(QFile::encodeName(m_dir.path()).constData(), owner->pw_uid, owner->pw_gid) ||
         ::chown(QFile::encodeName(adminPassword).constData(), owner->pw_uid, owner->pw_gid))) {
        *error = u"cannot hand the cluster folder to the postgres user"_s;
        return false;
    }
    // Clients log in with a password over TCP; only the tests' own setup uses the socket.
    return runAsOwner(u"initdb"_s,
                      {u"-D"_s, m_dir.filePath(u"data"_s), u"-U"_s, u"admin"_s,
                       u"--pwfile="_s + adminPassword, u"--auth-host=scram-sha-256"_s,
                       u"--auth-local=trust"_s, u"-E"_s, u"UTF8"_s, u"--locale=C"_s, u"--no-sync"_s},
                      error) &&
           launch(error) && psql(u"CREATE ROLE %1 LOGIN PASSWORD '%2'"_s.arg(role(), password()), error);
}

void PostgresCluster::shutDown(int signal)
{
    if (!isRunning())
        return;
    // Straight to the postmaster: runuser sits between it and us.
    const QByteArray pidFile = contents(m_dir.filePath(u"data/postmaster.pid"_s));
    if (const qint64 pid = pidFile.left(pidFile.indexOf('\n')).toLongLong(); pid > 0)
        ::kill(pid_t(pid), signal);
    if (!m_process->waitForFinished(10000))
        kill();
}

bool PostgresCluster::launch(QString *error)
{
    // runuser passes SIGTERM on to the postmaster. Durability is not what these tests are
    // about; speed is.
    QString ignored;
    return spawn(
        asOwner(u"postgres"_s,
                {u"-D"_s, m_dir.filePath(u"data"_s), u"-p"_s, QString::number(m_port), u"-k"_s, m_dir.path(),
                 u"-c"_s, u"listen_addresses=127.0.0.1"_s, u"-c"_s, u"fsync=off"_s, u"-c"_s,
                 u"synchronous_commit=off"_s, u"-c"_s, u"full_page_writes=off"_s}),
        m_dir.filePath(u"postgres.log"_s), 60000, [&] { return psql(u"SELECT 1"_s, &ignored); }, error,
        SIGTERM);
}

QString PostgresCluster::createDatabase(const QString &name, QString *error)
{
    if (!psql(u"CREATE DATABASE %1 OWNER %2"_s.arg(name, role()), error))
        return QString();
    return u"postgresql://%1@127.0.0.1:%2/%3"_s.arg(role()).arg(m_port).arg(name);
}
