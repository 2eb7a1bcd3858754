#include "engines.h"
#include "serverfixture.h"
#include "serverprocess.h"

#include <QDirIterator>
#include <QProcess>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

// The password of the mail relay, which no line the server logs may show.
const QString kRelayPassword = u"hunter2-relay"_s;

// tavrel-server as an operator runs it, in processes of its own: its config file, its refusals
// to start and the lines it logs, with and without the journal reading them; its descriptor
// limit, its signals, and a kill.
class TestProcess : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir; // a password file, one others may read, a key, and each test's data
    std::unique_ptr<QProcess> m_server;
    QString m_log;
    quint16 m_port = 0;

    void startServer(const QStringList &options = {}, std::function<void()> inChild = {})
    {
        m_server = std::make_unique<QProcess>();
        if (inChild)
            m_server->setChildProcessModifier(inChild);
        m_log.clear();
        QVERIFY2(startServerProcess(
                     *m_server, &m_log, TAVREL_SERVER_BINARY,
                     QStringList{u"--config="_s, u"--port"_s, u"0"_s, u"--data"_s, path(u"data"_s)} + options,
                     &m_port, Hashing::Default),
                 qPrintable(m_log));
    }
    TestClient *connected(int source = 1) { return new TestClient(m_port, this, source); }
    TestClient *loggedIn(const QString &name, int source = 1)
    {
        TestClient *client = connected(source);
        client->send(login(name));
        if (client->take('l', 20000) != answers::loginReply(answers::loginOk()))
            qWarning("login of %s failed", qPrintable(name));
        return client;
    }

    QString path(const QString &name) const { return m_dir.filePath(name); }
    // Runs the server to its end; its standard error, line by line, and its exit code: -1 after
    // a crash, or when it still runs after 20 s (QProcess kills it when it goes).
    std::pair<QStringList, int> run(const QStringList &arguments, bool journal = true)
    {
        QProcess server;
        prepareServer(server, QStringLiteral(TAVREL_SERVER_BINARY), arguments, journal);
        server.start();
        const bool ended = server.waitForFinished(20000) && server.exitStatus() == QProcess::NormalExit;
        return {QString::fromUtf8(server.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts),
                ended ? server.exitCode() : -1};
    }

private slots:
    void initTestCase()
    {
        QVERIFY(writeSecret(path(u"PASSWORD"_s), kRelayPassword.toUtf8() + '\n') &&
                writeSecret(path(u"KEY"_s), QByteArray(43, 'k') + '\n') &&
                ::write(path(u"SHARED"_s), kRelayPassword.toUtf8()));
        QVERIFY(::chmod(QFile::encodeName(path(u"SHARED"_s)).constData(), 0604) == 0);
    }
    void cleanup()
    {
        qDeleteAll(findChildren<TestClient *>(QString(), Qt::FindDirectChildrenOnly));
        if (m_server)
            stopServerProcess(*m_server);
        m_server.reset();
        QDir(path(u"data"_s)).removeRecursively();
    }

    // What a check logs, at the journal's priority. FILE: the config file, PASSWORD: a file
    // holding the relay's password, SHARED: one that others may read, KEY: the bus key; each
    // stands for the file of that name in the test's folder.
    void checkConfig_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("arguments");
        QTest::addColumn<QString>("line"); // "<6>info ..." means it passes
        const QString valid = u"<6>info tavrel.server: the configuration is valid"_s;
        const QString critical = u"<3>critical tavrel.server: "_s;
        const auto row = [](const char *tag, const QByteArray &text, const QString &arguments,
                            const QString &line) { QTest::newRow(tag) << text << arguments << line; };
        row("relay without a sender", "\nmail = smtp://127.0.0.1:2525\n", {},
            critical +
                u"key 'mail' at FILE:2 needs mail-from: an address the mail system accepts mail from"_s);
        const QByteArray relay = "mail = smtp://127.0.0.1:2525\nmail-from = codes@example.org\n";
        // The command line overrides a value the file gets wrong.
        row("relay with its password, command line over the file",
            relay + "mail-user = tavrel\nmail-password-file = PASSWORD\n"
                    "upload-quota = 5M\nmin-free-disk = \"10%,2G\"\nmax-connections = lots\n",
            u"--max-connections 5"_s, valid);
        row("password without a user", relay, u"--mail-password-file PASSWORD"_s,
            critical + u"--mail-password-file needs mail-user"_s);
        row("password others may read",
            "mail = smtps://127.0.0.1:2465\nmail-from = codes@example.org\nmail-user = tavrel\n"
            "mail-password-file = SHARED\n",
            {},
            critical + u"invalid value for key 'mail-password-file' at FILE:4: SHARED (SHARED may be read or "
                       "changed by others (mode 0604): chmod 600 it)"_s);
        // The shared database and bus; nothing connects to them in a check.
        const auto database = [&](const QString &arguments, const QString &line) {
            row(qPrintable(line.left(40)), {}, arguments, critical + line);
        };
        database(u"--bus redis://127.0.0.1:1"_s,
                 u"--bus needs --database: instances that share a bus must share "
                 "one database, or each would have accounts of its own"_s);
        database(
            u"--database postgresql://u:pw@127.0.0.1/db"_s,
            u"--database: give the password with --database-password-file or PGPASSFILE, not in the URL, "
            "where the process list shows it"_s);
        database(u"--database postgresql://u@127.0.0.1:5432"_s,
                 u"--database needs postgresql://user@host:port/dbname, got postgresql://u@127.0.0.1:5432"_s);
        database(
            u"--database postgresql://u@127.0.0.1/db --database-password-file SHARED"_s,
            u"--database-password-file: SHARED may be read or changed by others (mode 0604): chmod 600 it"_s);
        const QString db = u"--database postgresql://u@127.0.0.1/db --bus "_s;
        database(db + u"http://127.0.0.1:1"_s,
                 u"--bus needs redis://[user@]host:port, got http://127.0.0.1:1"_s);
        database(db + u"redis://u:pw@127.0.0.1:7"_s,
                 u"--bus: give the password with --bus-password-file, not in the URL, where the process list "
                 "shows it"_s);
        database(db + u"redis://127.0.0.1:7/1"_s,
                 u"--bus takes only a user, a host and a port: redis://127.0.0.1:7/1"_s);
        database(db + u"redis://127.0.0.1:0"_s, u"--bus needs a port from 1 to 65535: redis://127.0.0.1:0"_s);
        database(db + u"redis://tavrel@127.0.0.1:7 --bus-key-file KEY"_s,
                 u"--bus names the user tavrel: its password goes in --bus-password-file"_s);
        database(
            db + u"redis://127.0.0.1:7"_s,
            u"--bus needs --bus-key-file: every instance seals what it puts on the bus with that key, so "
            "that nobody else who reaches Redis can speak on it"_s);
        database(db + u"redis://127.0.0.1:7 --bus-key-file PASSWORD"_s,
                 u"--bus-key-file: the key needs at least 43 characters, such as head -c 32 /dev/urandom | "
                 "base64 gives"_s);
        database(db + u"redis://127.0.0.1:7 --bus-key-file SHARED"_s,
                 u"--bus-key-file: SHARED may be read or changed by others (mode 0604): chmod 600 it"_s);
        database(u"--bus-key-file KEY"_s, u"--bus-password-file and --bus-key-file need --bus"_s);
        row("bus user, password and key", {},
            db + u"redis://tavrel@127.0.0.1:7 --bus-password-file PASSWORD --bus-key-file KEY"_s, valid);
        database(u"--tls-required"_s, u"--tls-required needs --tls-cert and --tls-key"_s);
        database(u"--tls-cert cert.pem"_s, u"--tls-cert and --tls-key go together"_s);
        // A carriage return or an escape sequence in a value must not forge a line.
        row("control characters in a value",
            "listen = \"1.2.3.4\r<3>critical tavrel.server: forged\x1b[2J\"\n", {},
            critical + u"invalid value for key 'listen' at FILE:1: 1.2.3.4\\r<3>critical tavrel.server: "
                       "forged\\x1b[2J (not an IP address)"_s);
    }
    void checkConfig()
    {
        QFETCH(QByteArray, text);
        QFETCH(QString, arguments);
        QFETCH(QString, line);
        const auto place = [this](QString text) {
            return text.replace(QRegularExpression(u"\\b(PASSWORD|SHARED|KEY|FILE)\\b"_s), path(u"\\1"_s));
        };
        QVERIFY(writeSecret(path(u"FILE"_s), place(QString::fromUtf8(text)).toUtf8()));
        const auto [lines, code] = run(
            QStringList{u"--config"_s, path(u"FILE"_s), u"--check-config"_s, u"--data"_s, path(u"data"_s)} +
            place(arguments).split(u' ', Qt::SkipEmptyParts));
        QVERIFY2(lines.contains(place(line)), qPrintable(lines.join(u'\n')));
        QCOMPARE(code, line.startsWith(u"<6>"_s) ? 0 : 2);
        // A check starts nothing, forges no line, and the password shows nowhere.
        QVERIFY(!QFile::exists(path(u"data"_s)));
        QVERIFY(lines.filter(u"forged"_s).size() <= 1);
        QVERIFY(!lines.join(u'\n').contains(kRelayPassword));
    }

    void logLines_data()
    {
        QTest::addColumn<bool>("journal");
        QTest::newRow("on a terminal") << false;
        QTest::newRow("to the journal") << true;
    }
    void logLines()
    {
        QFETCH(bool, journal);
        // A mail the last run was handing over: the next one warns about it.
        QVERIFY(QDir().mkpath(path(u"data/outbox/sending"_s)) &&
                ::write(path(u"data/outbox/sending/stale.eml"_s), "To: <x@example.org>\r\n\r\n"));
        // Nothing listens on port 1: the relay is down.
        const QStringList arguments =
            u"--config= --port 0 --data %1 --mail smtp://127.0.0.1:1 --mail-from codes@example.org"_s
                .arg(path(u"data"_s))
                .split(u' ');
        QProcess first;
        prepareServer(first, QStringLiteral(TAVREL_SERVER_BINARY), arguments, journal);
        QString firstOutput;
        QVERIFY2(startListening(first, &firstOutput) != 0, qPrintable(firstOutput));
        // A second server on the same data refuses to start.
        auto [lines, code] = run(arguments, journal);
        QCOMPARE(code, 1);
        stopServerProcess(first);
        lines +=
            (firstOutput + QString::fromUtf8(first.readAllStandardError())).split(u'\n', Qt::SkipEmptyParts);

        // The journal's priority goes with the level; a terminal gets the time instead.
        const QRegularExpression form(
            (journal ? u"^(<6>(?=info)|<4>(?=warning)|<3>(?=critical))"_s
                     : u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3} "_s) +
            u"(?<level>info|warning|critical) (?<category>tavrel\\.server[a-z.]*): (?<message>.+)$"_s);
        QStringList seen;
        for (const QString &line : lines) {
            const QRegularExpressionMatch match = form.match(line);
            QVERIFY2(match.hasMatch(), qPrintable(line));
            // The level, the category and the message's first three words.
            seen.append(line.mid(match.capturedStart(u"level"_s)).section(u' ', 0, 4));
        }
        for (const QString &expected :
             {u"info tavrel.server: listening on 127.0.0.1"_s,
              u"warning tavrel.server.mail: mail stale.eml was"_s,
              u"critical tavrel.server: another server uses"_s, u"info tavrel.server: stopped"_s})
            QVERIFY2(seen.contains(expected), qPrintable(expected + u"\nnot in\n"_s + seen.join(u'\n')));
    }

    // Out of descriptors, the server waits instead of spinning on accept(), says so once,
    // and serves again once some are free. Whatever the umask it was started with, the data
    // folder and everything the server writes there (database, lock, code mails) are its
    // owner's alone.
    void descriptorsRunOut()
    {
        // The limit is low and most of it taken by descriptors the server does not know
        // about, so that the connections run into it below the server's own bound.
        startServer({u"--max-per-address"_s, u"1000"_s}, [] {
            ::umask(022);
            const rlimit limit{64, 64};
            setrlimit(RLIMIT_NOFILE, &limit);
            for (int i = 0; i < 44; ++i)
                ::open("/dev/null", O_RDONLY);
        });
        QVERIFY2(m_log.contains("lowered to"), qPrintable(m_log));
        // A code mail first: the server opens a database connection for the work, which the
        // descriptors taken above would not leave it once the connections below fill the rest.
        connected()->send(reg(u"alice"_s, u"alice@example.org"_s));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(path(u"data/outbox"_s)).entryList({u"*.eml"_s}).size(), 1, 10000);
        QList<TestClient *> clients;
        for (int i = 0; i < 30; ++i)
            clients.append(connected(1 + i % 4));
        const auto cpuSeconds = [pid = m_server->processId()] {
            // User and system time, after the command name, which is in parentheses and may hold blanks.
            const QByteArray stat = contents(u"/proc/%1/stat"_s.arg(pid));
            const QList<QByteArray> fields = stat.mid(stat.lastIndexOf(')') + 2).split(' ');
            return (fields.value(11).toLongLong() + fields.value(12).toLongLong()) /
                   double(sysconf(_SC_CLK_TCK));
        };
        QTest::qWait(1000);
        const double before = cpuSeconds();
        QTest::qWait(2000);
        const double used = (cpuSeconds() - before) / 2;
        QVERIFY2(used < 0.05, "the server spins");
        QCOMPARE(m_log.count("cannot accept connections"), 1);
        qDeleteAll(clients);
        TestClient *late = connected(9);
        late->send(chatMessage(u"hello?"_s));
        QCOMPARE(late->take('c', 10000), answers::noticeMessage(answers::loginFirst()));

        const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup |
                                                QFileDevice::ExeGroup | QFileDevice::ReadOther |
                                                QFileDevice::WriteOther | QFileDevice::ExeOther;
        QCOMPARE(QFile::permissions(path(u"data"_s)) & others, QFileDevice::Permissions());
        QStringList seen;
        QDirIterator entries(path(u"data"_s), QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden,
                             QDirIterator::Subdirectories);
        while (entries.hasNext()) {
            const QFileInfo entry(entries.next());
            seen.append(entry.fileName());
            QVERIFY2((entry.permissions() & others) == QFileDevice::Permissions(),
                     qPrintable(entry.filePath()));
        }
        QVERIFY2(seen.contains(u"tavrel.sqlite"_s) && seen.contains(u"tavrel-server.lock"_s) &&
                     seen.filter(u".eml"_s).size() == 1,
                 qPrintable(seen.join(u' ')));
    }

    // SIGTERM: work in progress is answered and sent whole, then the process exits with 0.
    void drainOnSigterm()
    {
        QVERIFY(QDir().mkpath(path(u"data/files"_s)));
        addAccounts(path(u"data/tavrel.sqlite"_s), {u"alice"_s, u"bob"_s});
        const QByteArray big(4 << 20, 'b');
        QVERIFY(::write(path(u"data/files/big.txt"_s), big));
        startServer();
        TestClient *alice = loggedIn(u"alice"_s);
        TestClient *bob = loggedIn(u"bob"_s);
        TestClient *carol = connected(2);
        carol->send(reg(u"carol"_s, u"carol@example.org"_s));
        QVERIFY(!carol->take('r', 10000).isNull());
        // mailedCode() finds six digits or nothing; without a code the second step would be a first.
        const QString code = mailedCode(path(u"data/outbox"_s), u"carol@example.org"_s);
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
        // -1: it crashed.
        QCOMPARE(m_server->exitStatus() == QProcess::NormalExit ? m_server->exitCode() : -1, 0);
        for (TestClient *client : {alice, bob, carol})
            QTRY_VERIFY(!client->isConnected());
        QVERIFY(drain.elapsed() < 6000);
    }

    // Killed while uploads are being written, the server leaves only whole files.
    void killedDuringUpload()
    {
        const QStringList users{u"u1"_s, u"u2"_s, u"u3"_s, u"u4"_s, u"u5"_s, u"u6"_s};
        QVERIFY(QDir().mkpath(path(u"data"_s)));
        addAccounts(path(u"data/tavrel.sqlite"_s), users);
        startServer();
        QList<TestClient *> clients;
        for (int i = 0; i < users.size(); ++i)
            clients.append(loggedIn(users[i], 1 + i));
        const auto contents = [](const QString &name) {
            return name.toUtf8() + '\n' + QByteArray(kMaxOutgoingFileSize - 64, char('a' + qHash(name) % 26));
        };
        const qint64 pid = m_server->processId();
        const QString files = QDir(path(u"data/files"_s)).canonicalPath();
        const auto writingUpload = [fds = QDir(u"/proc/%1/fd"_s.arg(pid)), &files] {
            const QFileInfoList open = fds.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot);
            return std::any_of(open.begin(), open.end(), [&](const QFileInfo &fd) {
                return fd.symLinkTarget().startsWith(files + u'/');
            });
        };
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
            caught = writingUpload();
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
