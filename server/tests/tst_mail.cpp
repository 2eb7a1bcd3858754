#include "answers.h"
#include "config.h"
#include "delivery.h"
#include "digest.h"
#include "metrics.h"
#include "protocol.h"
#include "relay.h"
#include "server.h"
#include "testclient.h"
#include "testconfig.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace tavrel;
using namespace tavrel::server;
using namespace Qt::StringLiterals;

namespace {

const QString kFrom = u"codes@tavrel.example"_s;
const QString kUser = u"tavrel"_s;
const QString kPassword = u"relay pass 1"_s;

// What the server logged, as "category: message".
QStringList logged;
QtMessageHandler previousHandler = nullptr;

void captureLog(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    logged.append(QString::fromLatin1(context.category) + u": "_s + message);
    previousHandler(type, context, message);
}

} // namespace

// The server hands its verification code mails to a real SMTP relay on loopback.
class TestMail : public QObject
{
    Q_OBJECT

    QTemporaryDir m_certs;
    std::unique_ptr<QTemporaryDir> m_dir;
    Config m_config;
    std::unique_ptr<Server> m_server;
    quint64 m_retriesBefore = 0;

    void useRelay(quint16 port, const QString &scheme = u"smtp"_s, bool password = true, bool trust = true)
    {
        m_config.mail.transport = MailConfig::Transport::Smtp;
        m_config.mail.relayUrl = u"%1://127.0.0.1:%2"_s.arg(scheme).arg(port);
        m_config.mail.envelopeFrom = kFrom.toUtf8();
        m_config.mail.fromHeader = "Tavrel <" + kFrom.toUtf8() + '>';
        m_config.mail.user = password ? kUser : QString();
        m_config.mail.password = password ? kPassword.toUtf8() : QByteArray();
        m_config.mail.caFile = trust ? m_certs.filePath(u"cert.pem"_s) : QString();
        startServer();
    }
    void startServer()
    {
        m_server = std::make_unique<Server>(m_config);
        QVERIFY(m_server->start());
    }
    // Asks for a code over the wire: the answer comes once the mail is in the outbox.
    void askForCode(const QString &name, const QString &email)
    {
        TestClient client(m_server->port(), nullptr);
        client.send(registrationMessage(name, email, QString(), saltedDigest(u"secret1"_s)));
        QCOMPARE(client.take('r'), answers::registrationReply(answers::codeSent(email, 10)));
    }
    QStringList mails(const QString &folder = QString()) const
    {
        return QDir(m_dir->filePath(u"outbox/"_s + folder)).entryList({u"*.eml"_s}, QDir::Files);
    }
    quint64 retries() const { return metrics().mailRetries - m_retriesBefore; }
    // Long enough for a mail wrongly sent again to show.
    void waitSomeRetries() { QTest::qWait(4 * m_config.mail.maxRetryMs); }

private slots:
    void initTestCase()
    {
        QVERIFY(Relay::makeCertificate(m_certs.path()));
        previousHandler = qInstallMessageHandler(captureLog);
    }

    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        m_config = testConfig(m_dir->path());
        m_config.mail.firstRetryMs = 100;
        m_config.mail.maxRetryMs = 300;
        m_config.mail.attemptTimeoutSeconds = 10;
        m_retriesBefore = metrics().mailRetries;
        logged.clear();
    }

    void cleanup()
    {
        m_server.reset();
        m_dir.reset();
    }

    void handOver_data()
    {
        QTest::addColumn<QString>("tls");           // what the relay offers
        QTest::addColumn<QString>("relayPassword"); // null: no login
        QTest::addColumn<bool>("trust");            // the relay's certificate
        QTest::addColumn<QString>("auth");          // the relay's event; "ok": delivered
        QTest::newRow("STARTTLS and a password")
            << u"starttls"_s << kPassword << true << u"auth ok "_s + kUser;
        QTest::newRow("TLS from the start") << u"implicit"_s << kPassword << true << u"auth ok "_s + kUser;
        // The relay takes no mail before STARTTLS: the server must take it up when offered.
        QTest::newRow("STARTTLS, no password") << u"starttls"_s << QString() << true << u"ok"_s;
        // The password never goes out in the clear, nor to a relay whose certificate fails.
        QTest::newRow("password, relay without TLS") << u"none"_s << kPassword << true << QString();
        QTest::newRow("certificate not trusted") << u"starttls"_s << kPassword << false << QString();
        // The operator's mistake, not the mail's: it waits for the mended password.
        QTest::newRow("wrong password") << u"starttls"_s << u"other"_s << true << u"auth refused "_s + kUser;
    }
    void handOver()
    {
        QFETCH(QString, tls);
        QFETCH(QString, relayPassword);
        QFETCH(bool, trust);
        QFETCH(QString, auth);
        Relay relay;
        QVERIFY(
            relay.start({tls, relayPassword.isNull() ? QString() : kUser, relayPassword}, m_certs.path()));
        useRelay(relay.port, tls == u"implicit" ? u"smtps"_s : u"smtp"_s, !relayPassword.isNull(), trust);
        const quint64 sentBefore = metrics().codesSent;
        QElapsedTimer clock;
        clock.start();
        askForCode(u"alice"_s, u"Alice@Example.org"_s);
        if (auth != u"ok" && !auth.startsWith(u"auth ok"_s)) {
            QTRY_VERIFY_WITH_TIMEOUT(retries() >= 2, 10000);
            QCOMPARE(relay.accepted(), 0);
            QCOMPARE(relay.events(u"auth"_s).mid(0, 1), auth.isEmpty() ? QStringList() : QStringList{auth});
            QCOMPARE(mails().size() + mails(u"sending"_s).size(), 1);
            QCOMPARE(mails(u"sent"_s) + mails(u"failed"_s), QStringList());
            return;
        }
        QTRY_COMPARE_WITH_TIMEOUT(relay.accepted(), 1, 10000);
        qInfo("registration to the relay's acceptance: %lld ms", clock.elapsed());
        QCOMPARE(relay.events(u"auth"_s), auth == u"ok" ? QStringList() : QStringList{auth});
        QCOMPARE(relay.envelope(1), (QStringList{kFrom, u"Alice@Example.org"_s}));
        const QByteArray mail = relay.message(1);
        QVERIFY2(mail.startsWith("From: Tavrel <" + kFrom.toUtf8() + ">\r\n") &&
                     mail.contains("\r\nTo: <Alice@Example.org>\r\n") &&
                     mail.contains(u"验证码："_s.toUtf8()),
                 mail.constData());
        QTRY_COMPARE(mails(u"sent"_s).size(), 1);
        QCOMPARE(mails(), QStringList());
        QCOMPARE(metrics().codesSent - sentBefore, 1u);
    }

    void relayAnswers_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("event"); // the relay's, for each attempt
        QTest::addColumn<int>("minAttempts");
        QTest::addColumn<int>("maxAttempts");
        QTest::addColumn<QString>("answer"); // in the server's log
        QTest::newRow("recipient refused")
            << u"refused@example.org"_s << u"refused"_s << 1 << 1 << u"550 5.1.1 <refused@example.org>"_s;
        QTest::newRow("try again later, then give up")
            << u"busy@example.org"_s << u"busy"_s << 2 << 100 << u"451 4.7.1"_s;
        // The mail went out whole and no answer came: it may have been taken, so once only.
        QTest::newRow("no answer after the mail")
            << u"hangup@example.org"_s << u"hangup"_s << 1 << 1 << u"did not answer"_s;
    }
    void relayAnswers()
    {
        QFETCH(QString, email);
        QFETCH(QString, event);
        QFETCH(int, minAttempts);
        QFETCH(int, maxAttempts);
        QFETCH(QString, answer);
        Relay relay;
        QVERIFY(relay.start({u"starttls"_s, kUser, kPassword}, m_certs.path()));
        m_config.mail.giveUpMs = 1500;
        useRelay(relay.port);
        const quint64 failedBefore = metrics().codesFailed;
        askForCode(u"bob"_s, email);
        QTRY_COMPARE_WITH_TIMEOUT(mails(u"failed"_s).size(), 1, 10000);
        waitSomeRetries();
        const int attempts = int(relay.events(event).size());
        QVERIFY2(attempts >= minAttempts && attempts <= maxAttempts, qPrintable(QString::number(attempts)));
        QCOMPARE(relay.accepted(), 0);
        QCOMPARE(mails() + mails(u"sent"_s) + mails(u"sending"_s), QStringList());
        QCOMPARE(metrics().codesFailed - failedBefore, 1u);
        const QStringList warnings = logged.filter(u"tavrel.server.mail: "_s).filter(u"failed/"_s);
        QVERIFY2(warnings.size() == 1 && warnings.first().contains(answer), qPrintable(warnings.join(u'\n')));
    }

    void relayDownThenUp()
    {
        const quint16 port = Relay::freePort();
        useRelay(port);
        QElapsedTimer clock;
        clock.start();
        askForCode(u"carol"_s, u"carol@example.org"_s);
        QTRY_VERIFY_WITH_TIMEOUT(retries() >= 2, 10000);
        QCOMPARE(mails().size(), 1);
        Relay relay;
        QVERIFY(relay.start({u"starttls"_s, kUser, kPassword, port}, m_certs.path()));
        QTRY_COMPARE_WITH_TIMEOUT(relay.accepted(), 1, 10000);
        qInfo("relay down for %d attempts, then up: accepted %lld ms after the registration", int(retries()),
              clock.elapsed());
        QTRY_COMPARE(mails(u"sent"_s).size(), 1);
        QCOMPARE(relay.envelope(1).value(1), u"carol@example.org"_s);
    }

    void restartWithMailQueued()
    {
        const quint16 port = Relay::freePort();
        useRelay(port);
        askForCode(u"dave"_s, u"dave@example.org"_s);
        askForCode(u"erin"_s, u"erin@example.org"_s);
        QTRY_VERIFY_WITH_TIMEOUT(retries() >= 2, 10000);
        m_server.reset();
        QCOMPARE(mails().size(), 2);
        // A mail the server was handing over when it died.
        QFile interrupted(m_dir->filePath(u"outbox/sending/20240101-000000000-dead.eml"_s));
        QVERIFY(interrupted.open(QIODevice::WriteOnly) &&
                interrupted.write(
                    OutboxDelivery::composeMail(u"frank@example.org"_s, u"frank"_s, u"123456"_s, 10)) > 0);
        interrupted.close();

        Relay relay;
        QVERIFY(relay.start({u"starttls"_s, kUser, kPassword, port}, m_certs.path()));
        startServer();
        QTRY_COMPARE_WITH_TIMEOUT(relay.accepted(), 2, 10000);
        waitSomeRetries();
        QCOMPARE(relay.accepted(), 2);
        QCOMPARE(QSet<QString>({relay.envelope(1).value(1), relay.envelope(2).value(1)}),
                 QSet<QString>({u"dave@example.org"_s, u"erin@example.org"_s}));
        QCOMPARE(mails(u"sent"_s).size(), 2);
        QCOMPARE(mails(u"failed"_s), QStringList{u"20240101-000000000-dead.eml"_s});
        QCOMPARE(logged.filter(u"20240101-000000000-dead.eml was being handed to the relay"_s).size(), 1);
    }

    void stopDuringAStuckAttempt()
    {
        // A relay that takes the connection and never says a word.
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        useRelay(silent.serverPort());
        askForCode(u"hank"_s, u"hank@example.org"_s);
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
        QCOMPARE(mails(u"sending"_s).size(), 1);
        QElapsedTimer stopping;
        stopping.start();
        m_server.reset();
        QVERIFY2(stopping.elapsed() < 3000, qPrintable(QString::number(stopping.elapsed())));
        // Nothing of it went out: it waits for the next start.
        QCOMPARE(mails().size(), 1);
        QCOMPARE(mails(u"sending"_s) + mails(u"failed"_s) + mails(u"sent"_s), QStringList());
    }

    void sendmail_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("folder"); // where the mail ends; empty: still waiting
        QTest::newRow("accepted") << 0 << u"sent"_s;
        QTest::newRow("temporary failure") << 75 << QString();
        QTest::newRow("no such user") << 67 << u"failed"_s;
    }
    void sendmail()
    {
        QFETCH(int, status);
        QFETCH(QString, folder);
        // Stands in for the mail system's sendmail: keeps its arguments and its input.
        const QString program = m_dir->filePath(u"sendmail"_s);
        QFile script(program);
        QVERIFY(script.open(QIODevice::WriteOnly));
        script.write(
            u"#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\ncat >> \"$0.mail\"\nexit %1\n"_s.arg(status)
                .toUtf8());
        script.close();
        QVERIFY(script.setPermissions(QFileDevice::ReadOwner | QFileDevice::ExeOwner));
        m_config.mail.transport = MailConfig::Transport::Sendmail;
        m_config.mail.sendmailPath = program;
        m_config.mail.envelopeFrom = kFrom.toUtf8();
        startServer();
        askForCode(u"gina"_s, u"gina@example.org"_s);
        if (folder.isEmpty()) {
            QTRY_VERIFY_WITH_TIMEOUT(retries() >= 2, 10000);
            QCOMPARE(mails().size(), 1);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(mails(folder).size(), 1, 10000);
        }
        QFile args(program + u".args"_s);
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), "-t\n-oi\n-f\n" + kFrom.toUtf8() + '\n');
        QFile piped(program + u".mail"_s);
        QVERIFY(piped.open(QIODevice::ReadOnly));
        const QByteArray mail = piped.readAll();
        QVERIFY(mail.contains("\nTo: <gina@example.org>\n"));
        QVERIFY2(!mail.contains('\r'), "sendmail reads local line ends");
    }
};

QTEST_GUILESS_MAIN(TestMail)
#include "tst_mail.moc"
