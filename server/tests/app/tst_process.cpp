#include "serverfixture.h"
#include "serverprocess.h"
#include "sharedfiles.h"

#include <QProcess>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

double cpuSeconds(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return -1;
    // The fields after the command name, which is in parentheses and may hold blanks.
    const QByteArray line = stat.readAll();
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
}

QStringList openFilesBelow(qint64 pid, const QString &dir)
{
    QStringList found;
    const QDir fds(u"/proc/%1/fd"_s.arg(pid));
    for (const QString &fd : fds.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(fds.filePath(fd));
        if (target.startsWith(dir + u'/'))
            found.append(target);
    }
    return found;
}

} // namespace

class TestProcess : public QObject
{
    Q_OBJECT

    std::unique_ptr<QTemporaryDir> m_data;
    std::unique_ptr<QProcess> m_server;
    QString m_log;
    quint16 m_port = 0;

    void startServer(const QStringList &options = {}, std::function<void()> inChild = {})
    {
        m_server = std::make_unique<QProcess>();
        if (inChild)
            m_server->setChildProcessModifier(inChild);
        m_log.clear();
        QVERIFY2(startServerProcess(*m_server, &m_log, TAVREL_SERVER_BINARY,
                                    QStringList{u"--port"_s, u"0"_s, u"--data"_s, m_data->path()} + options,
                                    &m_port, Hashing::Default),
                 qPrintable(m_log));
    }
    TestClient *connected(int source = 1)
    {
        return new TestClient(m_port, this, QHostAddress(u"127.0.0.%1"_s.arg(source)));
    }
    TestClient *loggedIn(const QString &name, int source = 1)
    {
        TestClient *client = connected(source);
        client->send(login(name));
        if (client->take('l', 20000) != answers::loginReply(answers::loginOk()))
            qWarning("login of %s failed", qPrintable(name));
        client->inbox.clear();
        return client;
    }

private slots:
    void init() { m_data = std::make_unique<QTemporaryDir>(); }
    void cleanup()
    {
        qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        if (m_server && m_server->state() != QProcess::NotRunning) {
            m_server->kill();
            m_server->waitForFinished(5000);
        }
        m_server.reset();
        m_data.reset();
    }

    // Out of descriptors, the server waits instead of spinning on accept(), says so once.
    void descriptorsRunOut()
    {
        // The limit is low and most of it taken by descriptors the server does not know
        // about, so that the connections run into it below the server's own bound.
        startServer({u"--max-per-address"_s, u"1000"_s}, [] {
            const rlimit limit{64, 64};
            setrlimit(RLIMIT_NOFILE, &limit);
            for (int i = 0; i < 50; ++i)
                ::open("/dev/null", O_RDONLY);
        });
        QVERIFY2(m_log.contains("lowered to"), qPrintable(m_log));
        QList<TestClient *> clients;
        for (int i = 0; i < 30; ++i)
            clients.append(connected(1 + i % 4));
        QTest::qWait(1000);
        const double before = cpuSeconds(m_server->processId());
        QTest::qWait(2000);
        const double used = (cpuSeconds(m_server->processId()) - before) / 2;
        QVERIFY2(used < 0.05, "the server spins");
        QCOMPARE(m_log.count("cannot accept connections"), 1);
        qDeleteAll(clients);
        TestClient *late = connected(9);
        late->send(chatMessage(u"hello?"_s));
        QCOMPARE(late->take('c', 10000), answers::noticeMessage(answers::loginFirst()));
    }

    // SIGTERM: work in progress is answered and sent whole, then the process exits with 0.
    void drainOnSigterm()
    {
        addAccounts(m_data->filePath(u"tavrel.sqlite"_s), {u"alice"_s, u"bob"_s});
        QVERIFY(QDir(m_data->path()).mkpath(u"files"_s));
        const QByteArray big(4 << 20, 'b');
        QVERIFY(write(m_data->filePath(u"files/big.txt"_s), big));
        startServer();
        TestClient *alice = loggedIn(u"alice"_s);
        TestClient *bob = loggedIn(u"bob"_s);
        TestClient *carol = connected(2);
        carol->send(reg(u"carol"_s, u"carol@example.org"_s));
        QVERIFY(!carol->take('r', 10000).isNull());
        const QString code = mailedCode(m_data->filePath(u"outbox"_s), u"carol@example.org"_s);
        QCOMPARE(code.size(), 6);
        bob->send(fileRequest(u"big.txt"_s));
        QTest::qWait(50);
        // The registration hashes the password at full cost: it is still at work when the
        // signal comes, and the chat line still on its way.
        carol->send(reg(u"carol"_s, u"carol@example.org"_s, code));
        alice->send(chatMessage(u"last words"_s));
        QTest::qWait(10);
        QElapsedTimer drain;
        drain.start();
        m_server->terminate();
        QCOMPARE(carol->take('r', 10000), answers::registrationReply(answers::registered()));
        QCOMPARE(bob->take('f', 10000), fileMessage(u"big.txt"_s, big));
        QCOMPARE(bob->take('c', 10000), QByteArray("c,alice: last words"));
        QCOMPARE(alice->take('c', 10000), QByteArray("c,alice: last words"));
        QVERIFY(m_server->waitForFinished(10000));
        QCOMPARE(m_server->exitStatus(), QProcess::NormalExit);
        QCOMPARE(m_server->exitCode(), 0);
        for (TestClient *client : {alice, bob, carol})
            QTRY_VERIFY(!client->isConnected());
        QVERIFY(drain.elapsed() < 6000);
    }

    // Killed while uploads are being written, the server leaves only whole files.
    void killedDuringUpload()
    {
        const QStringList users{u"u1"_s, u"u2"_s, u"u3"_s, u"u4"_s, u"u5"_s, u"u6"_s};
        addAccounts(m_data->filePath(u"tavrel.sqlite"_s), users);
        startServer();
        QList<TestClient *> clients;
        for (int i = 0; i < users.size(); ++i)
            clients.append(loggedIn(users[i], 1 + i));
        const auto contents = [](const QString &name) {
            return name.toUtf8() + '\n' + QByteArray(kMaxOutgoingFileSize - 64, char('a' + qHash(name) % 26));
        };
        const qint64 pid = m_server->processId();
        const QString files = QDir(m_data->filePath(u"files"_s)).canonicalPath();
        QElapsedTimer clock;
        clock.start();
        int sent = 0;
        bool caught = false;
        // Each client's uploads lie further apart than the quiet gap that ends one, so each
        // is a message of its own, and within what a client may send.
        const qint64 everyMs = (kFileQuietGapMs + 500) / clients.size();
        while (!caught && clock.elapsed() < 30000) {
            if (clock.elapsed() >= sent * everyMs) {
                const QString name = u"up%1.txt"_s.arg(sent);
                clients[sent++ % clients.size()]->socket.write(fileMessage(name, contents(name)));
            }
            QTest::qWait(1);
            if (clock.elapsed() < 1500)
                continue;
            ::kill(pid_t(pid), SIGSTOP);
            caught = !openFilesBelow(pid, files).isEmpty();
            ::kill(pid_t(pid), caught ? SIGKILL : SIGCONT);
        }
        QVERIFY2(caught, "the server was never caught writing an upload");
        QVERIFY(m_server->waitForFinished(5000));
        qDeleteAll(clients);

        startServer();
        const QStringList stored = QDir(files).entryList(QDir::Files | QDir::Hidden);
        TestClient *reader = loggedIn(u"u1"_s);
        for (const QString &name : stored) {
            reader->send(fileRequest(name));
            QCOMPARE(reader->take('f', 10000), fileMessage(name, contents(name)));
        }
    }
};

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
