#include "files.h"
#include "protocol.h"
#include "serverprocess.h"
#include "testclient.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

const QString kPassword = u"hunter2-relay"_s;

// tavrel-server as an operator runs it: its config file, its refusals to start, and the
// lines it logs, with and without the journal reading them.
class TestRunning : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path(const QString &name) const { return m_dir.filePath(name); }
    void write(const QString &name, const QByteArray &bytes, QFileDevice::Permissions permissions)
    {
        QVERIFY(::write(path(name), bytes) && QFile::setPermissions(path(name), permissions));
    }
    // Runs the server to its end; its standard error, line by line.
    QStringList run(const QStringList &arguments, int *exitCode, bool journal = true)
    {
        QProcess server;
        prepareServer(server, QStringLiteral(TAVREL_SERVER_BINARY), arguments, journal);
        server.start();
        if (!server.waitForFinished(20000)) {
            server.kill();
            server.waitForFinished();
        }
        *exitCode = server.exitStatus() == QProcess::NormalExit ? server.exitCode() : -1;
        return QString::fromUtf8(server.readAllStandardError()).split(u'\n', Qt::SkipEmptyParts);
    }

private slots:
    void initTestCase()
    {
        write(u"password"_s, kPassword.toUtf8() + '\n', QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        write(u"shared"_s, kPassword.toUtf8(),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
        write(u"key"_s, QByteArray(43, 'k') + '\n', QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    void cleanup() { QDir(path(u"data"_s)).removeRecursively(); }

    // What a check logs, at the journal's priority; FILE: the config file, PASSWORD: a file
    // holding the relay's password, SHARED: one that others may read.
    void checkConfig_data()
    {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("line"); // "<6>info ..." means it passes
        const QString valid = u"<6>info tavrel.server: the configuration is valid"_s;
        const QString critical = u"<3>critical tavrel.server: "_s;
        const auto row = [](const char *tag, const QByteArray &text, const QString &arguments,
                            const QString &line) {
            QTest::newRow(tag) << text << arguments.split(u' ', Qt::SkipEmptyParts) << line;
        };
        row("valid", "port = 0\nmax-connections = 5\n", {}, valid);
        row("command line over a bad value", "max-connections = lots\n", u"--max-connections 5"_s, valid);
        row("relay without a sender", "\nmail = smtp://127.0.0.1:2525\n", {},
            critical +
                u"key 'mail' at FILE:2 needs mail-from: an address the mail system accepts mail from"_s);
        const QByteArray relay = "mail = smtp://127.0.0.1:2525\nmail-from = codes@example.org\n";
        row("relay with its password",
            relay + "mail-user = tavrel\nmail-password-file = PASSWORD\n"
                    "upload-quota = 5M\nmin-free-disk = \"10%,2G\"\n",
            {}, valid);
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
        QFETCH(QStringList, arguments);
        QFETCH(QString, line);
        write(u"server.conf"_s,
              text.replace("PASSWORD", path(u"password"_s).toUtf8())
                  .replace("SHARED", path(u"shared"_s).toUtf8()),
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        int code = -1;
        const QStringList lines = run(QStringList{u"--config"_s, path(u"server.conf"_s), u"--check-config"_s,
                                                  u"--data"_s, path(u"data"_s)} +
                                          arguments.replaceInStrings(u"PASSWORD"_s, path(u"password"_s))
                                              .replaceInStrings(u"SHARED"_s, path(u"shared"_s))
                                              .replaceInStrings(u"KEY"_s, path(u"key"_s)),
                                      &code);
        QVERIFY2(
            lines.contains(
                line.replace(u"FILE:"_s, path(u"server.conf:"_s)).replace(u"SHARED"_s, path(u"shared"_s))),
            qPrintable(lines.join(u'\n')));
        QCOMPARE(code, line.startsWith(u"<6>"_s) ? 0 : 2);
        // A check starts nothing, forges no line, and the password shows nowhere.
        QVERIFY(!QFile::exists(path(u"data"_s)));
        QVERIFY(lines.filter(u"forged"_s).size() <= 1);
        QVERIFY(!lines.join(u'\n').contains(kPassword));
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
        QVERIFY(QDir().mkpath(path(u"data/outbox/sending"_s)));
        write(u"data/outbox/sending/stale.eml"_s, "To: <x@example.org>\r\n\r\n",
              QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QTcpServer unused;
        QVERIFY(unused.listen(QHostAddress::LocalHost));
        const QStringList arguments = u"--config= --port 0 --data %1 --mail smtp://127.0.0.1:%2 --mail-from "
                                      u"codes@example.org"_s.arg(path(u"data"_s))
                                          .arg(unused.serverPort())
                                          .split(u' ');
        unused.close();
        QProcess first;
        prepareServer(first, QStringLiteral(TAVREL_SERVER_BINARY), arguments, journal);
        QString firstOutput;
        QVERIFY2(startListening(first, &firstOutput) != 0, qPrintable(firstOutput));
        // A second server on the same data refuses to start.
        int code = 0;
        QStringList lines = run(arguments, &code, journal);
        QCOMPARE(code, 1);
        first.terminate();
        QVERIFY(first.waitForFinished(10000));
        QCOMPARE(first.exitCode(), 0);
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
            seen.append(match.captured(u"level"_s) + u' ' + match.captured(u"category"_s) + u": "_s +
                        match.captured(u"message"_s).section(u' ', 0, 2));
        }
        for (const QString &expected :
             {u"info tavrel.server: listening on 127.0.0.1"_s,
              u"warning tavrel.server.mail: mail stale.eml was"_s,
              u"critical tavrel.server: another server uses"_s, u"info tavrel.server: stopped"_s})
            QVERIFY2(seen.contains(expected), qPrintable(expected + u"\nnot in\n"_s + seen.join(u'\n')));
    }

    // Whatever the umask it was started with, the data folder and everything the server
    // writes there (database, lock, code mails) are its owner's alone.
    void dataFolderPrivate()
    {
        const mode_t previous = ::umask(022);
        const auto restore = qScopeGuard([previous] { ::umask(previous); });
        QProcess server;
        QString output;
        quint16 port = 0;
        QVERIFY2(startServerProcess(server, &output, QStringLiteral(TAVREL_SERVER_BINARY),
                                    {u"--config="_s, u"--port"_s, u"0"_s, u"--data"_s, path(u"data"_s)},
                                    &port),
                 qPrintable(output));
        TestClient client(port, this);
        QVERIFY(client.isConnected());
        client.send(tavrel::registrationMessage(u"alice"_s, u"alice@example.org"_s, {}, QString(32, u'a')));
        QTRY_COMPARE_WITH_TIMEOUT(QDir(path(u"data/outbox"_s)).entryList({u"*.eml"_s}).size(), 1, 10000);
        server.terminate();
        QVERIFY(server.waitForFinished(10000));

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
        QVERIFY2(seen.contains(u"tavrel.sqlite"_s) && seen.filter(u".eml"_s).size() == 1,
                 qPrintable(seen.join(u' ')));
    }
};

QTEST_GUILESS_MAIN(TestRunning)
#include "tst_running.moc"
