// Load test for tavrel-server: many logged-in clients on loopback, each sending one chat
// line a second, every line stamped so that its receivers can time it.

#include "chatload.h"
#include "digest.h"
#include "enroll.h"
#include "loginload.h"
#include "outbox.h"
#include "session.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QSslSocket>
#include <QTextStream>

#include <cstdio>
#include <unistd.h>

using namespace bench;

namespace {

struct Scenario
{
    int clients = 0;
    int loginRate = 0;
};

// "100,200,200+20": client counts, each optionally with logins per second.
QList<Scenario> parseScenarios(const QString &text, QString *error)
{
    QList<Scenario> scenarios;
    for (const QString &part : text.split(u',', Qt::SkipEmptyParts)) {
        const QStringList fields = part.trimmed().split(u'+');
        Scenario s;
        bool ok = fields.size() <= 2;
        s.clients = ok ? fields.at(0).toInt(&ok) : 0;
        if (ok && fields.size() == 2)
            s.loginRate = fields.at(1).toInt(&ok);
        if (!ok || s.clients < 1 || s.loginRate < 0) {
            *error = QStringLiteral("bad scenario: ") + part;
            return {};
        }
        scenarios.append(s);
    }
    if (scenarios.isEmpty())
        *error = QStringLiteral("no scenario given");
    return scenarios;
}

// Connections made one after another, each timed from the connect call until it is ready:
// TCP connected, and with tls the handshake finished too. Each is closed at once. Why one
// failed goes to *failure.
Percentiles connectTimes(const QHostAddress &host, quint16 port, bool tls, int count, QString *failure)
{
    std::vector<qint32> samples;
    for (int i = 0; i < count; ++i) {
        QSslSocket socket;
        socket.setPeerVerifyMode(QSslSocket::VerifyNone);
        // Each from an address of its own: the server may not have seen the last ones close,
        // and it limits the connections per address.
        socket.bind(QHostAddress(QStringLiteral("127.3.%1.%2").arg(1 + i / 250).arg(1 + i % 250)));
        QElapsedTimer clock;
        clock.start();
        bool ready = false;
        if (tls) {
            socket.connectToHostEncrypted(host.toString(), port);
            ready = socket.waitForEncrypted(5000);
        } else {
            socket.connectToHost(host, port);
            ready = socket.waitForConnected(5000);
        }
        if (ready)
            samples.push_back(qint32(clock.nsecsElapsed() / 1000));
        else
            *failure = QStringLiteral("%1 after %2 ms").arg(socket.errorString()).arg(clock.elapsed());
        socket.abort();
    }
    return percentiles(std::move(samples));
}

QString ms(const Percentiles &p)
{
    return QStringLiteral("%1/%2/%3").arg(p.p50, 0, 'f', 1).arg(p.p99, 0, 'f', 1).arg(p.max, 0, 'f', 1);
}

QString percent(double value)
{
    return value < 0 ? QStringLiteral("n/a") : QString::number(value, 'f', 1);
}

QString table(const QList<LoadResult> &results)
{
    QString out;
    QTextStream s(&out);
    s << qSetFieldWidth(0);
    const auto row = [&](const QStringList &cells) {
        static const int widths[] = {7, 8, 8, 10, 12, 7, 8, 20, 8, 8, 9, 9, 8, 6};
        for (int i = 0; i < cells.size(); ++i)
            s << cells.at(i).rightJustified(widths[i]) << ' ';
        s << '\n';
    };
    row({QStringLiteral("clients"), QStringLiteral("logins/s"), QStringLiteral("lines"),
         QStringLiteral("expected"), QStringLiteral("delivered/s"), QStringLiteral("lost"),
         QStringLiteral("misframe"), QStringLiteral("p50/p99/max ms"), QStringLiteral("shown99"),
         QStringLiteral("cross99"), QStringLiteral("server%"), QStringLiteral("serving%"),
         QStringLiteral("bench%"), QStringLiteral("load")});
    for (const LoadResult &r : results) {
        row({QString::number(r.clients), QString::number(r.loginRate), QString::number(r.linesSent),
             QString::number(r.expected),
             QString::number(r.seconds > 0 ? r.delivered / r.seconds : 0, 'f', 0), QString::number(r.lost),
             QString::number(r.misframed), ms(r.latencyMs), QString::number(r.shownMs.p99, 'f', 1),
             r.crossMs.count > 0 ? QString::number(r.crossMs.p99, 'f', 1) : QStringLiteral("n/a"),
             percent(r.serverCpu), percent(r.serverMainCpu), percent(r.benchCpu),
             QString::number(r.load1, 'f', 2)});
    }
    s << '\n';
    for (const LoadResult &r : results) {
        s << r.clients << " clients";
        if (r.loginRate > 0)
            s << " + " << r.loginRate << " logins/s";
        s << ": window " << QString::number(r.seconds, 'f', 2) << " s, duplicates " << r.duplicates
          << ", lines of earlier runs " << r.stale << ", other chat lines " << r.foreign << ", user lists "
          << r.userLists << " in the window (" << r.userListBytes << " bytes), sessions dropped "
          << r.sessionsDropped << ", messages sent within the gap " << r.earlyMessages << " (closest "
          << QString::number(r.closestEarlyMs, 'f', 1) << " ms), messages ended late here " << r.lateGaps
          << ", worst send lag " << QString::number(r.maxSendLagMs, 'f', 1) << " ms\n";
        if (!r.processCpu.isEmpty()) {
            s << "  cpu, % of one core:";
            for (const auto &[name, cpu] : r.processCpu)
                s << ' ' << name << ' ' << percent(cpu);
            s << '\n';
        }
        if (r.crossMs.count > 0)
            s << "  deliveries to another instance's clients: " << r.crossMs.count << ", p50/p99/max "
              << ms(r.crossMs) << " ms\n";
        if (r.loginRate > 0)
            s << "  logins: asked in window " << r.loginsStarted << "; answered in window " << r.loginsOk
              << " ok + " << r.loginsRefused << " refused = "
              << QString::number(r.seconds > 0 ? (r.loginsOk + r.loginsRefused) / r.seconds : 0, 'f', 1)
              << "/s; connections lost " << r.loginsFailed << "; unanswered at the end " << r.loginsAbandoned
              << "; answer time p50/p99/max " << ms(r.loginMs) << " ms\n";
        for (const QString &n : r.notes)
            s << "  note: " << n << '\n';
    }
    s << "\nlatency: line stamp to arrival of its bytes at each receiver; shown99: p99 to the end of\n"
         "the receiving client's quiet gap (when the client would display it); cross99: p99 of the\n"
         "deliveries to clients of another server instance than the sender's. server%: utime+stime of\n"
         "all threads of all server instances over the window, % of one core; serving%: their main\n"
         "threads only.\n";
    return out;
}

// Sessions of distinct users spread over loopback source addresses (block 3), perAddress on
// each, and over the instances in turn.
QList<Session *> loadUsers(int count, const LoadSettings &settings, QObject *parent)
{
    QList<Session *> sessions;
    for (int i = 0; i < count; ++i) {
        sessions.append(new Session(i, QStringLiteral("user%1").arg(i, 4, 10, QLatin1Char('0')), parent));
        const int n = settings.perAddress > 0 ? i / settings.perAddress : 0;
        sessions.last()->setSource(
            settings.perAddress > 0
                ? QHostAddress(QStringLiteral("127.3.%1.%2").arg(1 + n / 250).arg(1 + n % 250))
                : QHostAddress());
        sessions.last()->setServer(i % settings.ports.size(), settings.ports.at(i % settings.ports.size()));
    }
    return sessions;
}

int runLoginLoad(int users, bool spray, const LoadSettings &settings, const QStringList &notes,
                 const QStringList &dataDirs, const QString &digest, int parallel, const QString &outputPath)
{
    QTextStream err(stderr);
    if (users < 1) {
        err << "--logins needs a number of users\n";
        return 2;
    }
    const QList<Session *> sessions = loadUsers(users, settings, QCoreApplication::instance());
    QStringList outboxes;
    for (const QString &dir : dataDirs)
        outboxes.append(dir + QStringLiteral("/outbox"));
    Outbox outbox(outboxes);
    Enroller enroller(settings.host, &outbox, digest);
    QElapsedTimer enrolling;
    enrolling.start();
    if (!spray && !enroller.run(sessions, 0, true, parallel, 900 * 1000)) {
        err << "setting up accounts failed:\n";
        for (const QString &f : enroller.failures().mid(0, 10))
            err << "  " << f << '\n';
        return 1;
    }
    const double enrolSeconds = enrolling.elapsed() / 1000.0;
    LoginLoad load(settings.host, spray ? tavrel::saltedDigest(QStringLiteral("a guess")) : digest,
                   settings.processes + QList<QPair<QString, qint64>>{{QStringLiteral("bench"), getpid()}},
                   spray);
    const LoginLoadResult r = load.run(sessions, settings.warmupS, settings.measureS);

    QString report;
    QTextStream s(&report);
    s << "tavrel-server login load, " << QDateTime::currentDateTimeUtc().toString(Qt::ISODate) << '\n';
    for (const QString &n : notes)
        s << n << '\n';
    if (!spray)
        s << "registered " << enroller.registered() << " of " << users
          << " users (code mail, code, login each, " << parallel << " at a time) in "
          << QString::number(enrolSeconds, 'f', 1)
          << " s: " << QString::number(enroller.registered() / enrolSeconds, 'f', 1) << " registrations/s\n";
    s << r.clients
      << (spray ? " connections spraying wrong passwords at new names for "
                : " users logging in and out for ")
      << QString::number(r.seconds, 'f', 1) << " s after " << settings.warmupS
      << " s warm-up: " << QString::number(r.ok / r.seconds, 'f', 1) << " logins/s, "
      << QString::number(r.others.value(QStringLiteral("服务器: 登录失败：用户名或密码错误")) / r.seconds,
                         'f', 1)
      << " refused after a password check/s (" << r.ok << " ok, " << r.refused << " other answers, " << r.lost
      << " connections lost); answer time p50/p99/max " << ms(r.answerMs) << " ms\n";
    for (auto it = r.others.cbegin(); it != r.others.cend(); ++it)
        s << "  " << it.value() << " x " << it.key() << '\n';
    s << "cpu, % of one core (main thread):";
    for (const CpuWindow::Use &use : r.cpu)
        s << ' ' << use.name << ' ' << percent(use.all) << " (" << percent(use.main) << ')';
    s << "\nload average at the end: " << QString::number(r.load1, 'f', 2) << '\n';
    s.flush();
    std::fputs(report.toUtf8().constData(), stdout);
    if (!outputPath.isEmpty()) {
        QFile file(outputPath);
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(report.toUtf8()) < 0) {
            err << "cannot write " << outputPath << '\n';
            return 1;
        }
    }
    return r.ok > 0 ? 0 : 1;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Chat load on a tavrel-server over loopback."));
    parser.addHelpOption();
    const QCommandLineOption hostOption(QStringLiteral("host"),
                                        QStringLiteral("Server address (loopback only)."),
                                        QStringLiteral("addr"), QStringLiteral("127.0.0.1"));
    const QCommandLineOption portOption(
        QStringLiteral("port"),
        QStringLiteral("Server port, or the ports of several instances of one server, comma-separated; "
                       "client i talks to the (i mod n)th."),
        QStringLiteral("n[,n...]"));
    const QCommandLineOption dataOption(
        QStringLiteral("data"),
        QStringLiteral("The data folder of each instance, comma-separated (their outboxes hold the codes)."),
        QStringLiteral("dir[,dir...]"));
    const QCommandLineOption scenarioOption(
        QStringLiteral("scenarios"),
        QStringLiteral("Runs, e.g. 100,200,200+20 (clients[+logins per second])."), QStringLiteral("list"),
        QStringLiteral("100,200,200+20"));
    const QCommandLineOption warmupOption(QStringLiteral("warmup"),
                                          QStringLiteral("Seconds before measuring."), QStringLiteral("s"),
                                          QStringLiteral("5"));
    const QCommandLineOption measureOption(QStringLiteral("measure"), QStringLiteral("Seconds measured."),
                                           QStringLiteral("s"), QStringLiteral("20"));
    const QCommandLineOption drainOption(
        QStringLiteral("drain"), QStringLiteral("Seconds to wait for late lines after sending stops."),
        QStringLiteral("s"), QStringLiteral("5"));
    const QCommandLineOption lineOption(QStringLiteral("line-bytes"),
                                        QStringLiteral("Bytes of chat text per line."), QStringLiteral("n"),
                                        QStringLiteral("60"));
    const QCommandLineOption poolOption(QStringLiteral("login-pool"),
                                        QStringLiteral("Accounts the extra login connections use in turn."),
                                        QStringLiteral("n"), QStringLiteral("40"));
    const QCommandLineOption wrongOption(QStringLiteral("wrong-password"),
                                         QStringLiteral("Extra logins send a wrong password."));
    const QCommandLineOption pidOption(QStringLiteral("server-pid"),
                                       QStringLiteral("Server process, for its CPU: --cpu server=pid."),
                                       QStringLiteral("pid"));
    const QCommandLineOption cpuOption(
        QStringLiteral("cpu"),
        QStringLiteral("A process whose CPU is reported, with its descendants; names starting with "
                       "\"server\" are chat server instances. Repeatable."),
        QStringLiteral("name=pid"));
    const QCommandLineOption parallelOption(
        QStringLiteral("parallel"), QStringLiteral("Logins and registrations in flight while setting up."),
        QStringLiteral("n"), QStringLiteral("16"));
    const QCommandLineOption perAddressOption(
        QStringLiteral("per-address"),
        QStringLiteral(
            "Spread the clients over loopback source addresses, this many on each (0: all from one)."),
        QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption loginsOption(
        QStringLiteral("logins"),
        QStringLiteral("Instead of chat: n users with distinct names register, then log in and out again "
                       "and again; reports registrations and logins per second."),
        QStringLiteral("n"));
    const QCommandLineOption sprayOption(
        QStringLiteral("spray"),
        QStringLiteral("With --logins: every try is for a new name with a wrong password, as a guesser's."));
    const QCommandLineOption quietOption(
        QStringLiteral("quiet"),
        QStringLiteral("The clients stay logged in and send no chat, so that a login rate's user lists "
                       "are all the server does."));
    const QCommandLineOption outputOption(
        QStringLiteral("output"), QStringLiteral("Also write the report here."), QStringLiteral("file"));
    const QCommandLineOption noteOption(
        QStringLiteral("note"), QStringLiteral("A line for the report's header."), QStringLiteral("text"));
    const QCommandLineOption tlsOption(
        QStringLiteral("tls"),
        QStringLiteral("Every connection over TLS (no certificate is checked); before the "
                       "runs, time 200 TCP connections and 200 TLS handshakes."));
    const QCommandLineOption segmentOption(
        QStringLiteral("max-segment"),
        QStringLiteral("TCP_MAXSEG of the clients' connections: the server sends segments of this less 12 "
                       "bytes, as over a path with a smaller MTU (1460: Ethernet); 0: loopback's."),
        QStringLiteral("bytes"), QStringLiteral("0"));
    parser.addOptions({hostOption,    portOption,   dataOption,     scenarioOption,   warmupOption,
                       measureOption, drainOption,  lineOption,     poolOption,       wrongOption,
                       pidOption,     cpuOption,    parallelOption, perAddressOption, loginsOption,
                       sprayOption,   outputOption, noteOption,     tlsOption,        segmentOption,
                       quietOption});
    parser.process(app);
    Session::setMaxSegment(parser.value(segmentOption).toInt());

    QTextStream err(stderr);
    const QHostAddress host(parser.value(hostOption));
    if (host.isNull() || !host.isLoopback()) {
        err << "the server address must be a loopback address\n";
        return 2;
    }
    QList<quint16> ports;
    for (const QString &text : parser.value(portOption).split(u',', Qt::SkipEmptyParts)) {
        bool ok = false;
        const int port = text.toInt(&ok);
        ports.append(ok && port > 0 && port < 65536 ? quint16(port) : 0);
    }
    const QStringList dataDirs = parser.value(dataOption).split(u',', Qt::SkipEmptyParts);
    if (ports.isEmpty() || ports.contains(0) || dataDirs.size() != ports.size()) {
        err << "give --port and --data, one of each per instance\n";
        return 2;
    }
    QString error;
    const QList<Scenario> scenarios = parseScenarios(parser.value(scenarioOption), &error);
    if (scenarios.isEmpty()) {
        err << error << '\n';
        return 2;
    }

    LoadSettings settings;
    settings.host = host;
    settings.ports = ports;
    settings.warmupS = qBound(0, parser.value(warmupOption).toInt(), 600);
    settings.measureS = qBound(1, parser.value(measureOption).toInt(), 600);
    settings.drainS = qBound(1, parser.value(drainOption).toInt(), 600);
    settings.lineBytes = qBound(24, parser.value(lineOption).toInt(), 2000);
    settings.quiet = parser.isSet(quietOption);
    if (parser.isSet(pidOption))
        settings.processes.append({QStringLiteral("server"), parser.value(pidOption).toLongLong()});
    for (const QString &text : parser.values(cpuOption)) {
        const qsizetype equals = text.indexOf(u'=');
        bool ok = false;
        const qint64 pid = text.mid(equals + 1).toLongLong(&ok);
        if (equals < 1 || !ok || pid < 1) {
            err << "--cpu needs name=pid, got " << text << '\n';
            return 2;
        }
        settings.processes.append({text.left(equals), pid});
    }
    QString connecting;
    if (parser.isSet(tlsOption)) {
        // Timed on an idle server, before anyone logs in.
        constexpr int kConnections = 200;
        QString failure;
        const Percentiles tcp = connectTimes(host, ports.first(), false, kConnections, &failure);
        const Percentiles tls = connectTimes(host, ports.first(), true, kConnections, &failure);
        connecting =
            QStringLiteral("connecting, one at a time, p50/p99/max ms: TCP %1 (%2 of %3), TCP and TLS "
                           "%4 (%5 of %3)%6\n")
                .arg(ms(tcp))
                .arg(tcp.count)
                .arg(kConnections)
                .arg(ms(tls))
                .arg(tls.count)
                .arg(failure.isEmpty() ? QString() : QStringLiteral("; the last failure: ") + failure);
        err << connecting;
        Session::setTls(true);
    }
    const QString digest = tavrel::saltedDigest(QStringLiteral("load-test password"));
    settings.loginDigest =
        parser.isSet(wrongOption) ? tavrel::saltedDigest(QStringLiteral("not the password")) : digest;

    if (parser.isSet(loginsOption)) {
        settings.perAddress = qBound(0, parser.value(perAddressOption).toInt(), 1000);
        return runLoginLoad(parser.value(loginsOption).toInt(), parser.isSet(sprayOption), settings,
                            parser.values(noteOption), dataDirs, digest,
                            qBound(1, parser.value(parallelOption).toInt(), 256), parser.value(outputOption));
    }

    int maxClients = 0;
    bool anyLogins = false;
    for (const Scenario &s : scenarios) {
        maxClients = std::max(maxClients, s.clients);
        anyLogins = anyLogins || s.loginRate > 0;
    }
    const int poolSize = anyLogins ? qBound(1, parser.value(poolOption).toInt(), 1000) : 0;

    // A server limits connections per address; a crowd of users comes from many. Every
    // address in 127.0.0.0/8 reaches this machine, so the crowd can be spread over them.
    const int perAddress = qBound(0, parser.value(perAddressOption).toInt(), 1000);
    const auto source = [perAddress](int block, int i) {
        if (perAddress == 0)
            return QHostAddress();
        const int n = i / perAddress;
        return QHostAddress(QStringLiteral("127.%1.%2.%3").arg(block).arg(1 + n / 250).arg(1 + n % 250));
    };
    QList<Session *> chatters;
    for (int i = 0; i < maxClients; ++i) {
        chatters.append(new Session(i, QStringLiteral("load%1").arg(i, 3, 10, QLatin1Char('0')), &app));
        chatters.last()->setSource(source(1, i));
        chatters.last()->setServer(i % ports.size(), ports.at(i % ports.size()));
    }
    QList<Session *> loginUsers;
    for (int i = 0; i < poolSize; ++i) {
        loginUsers.append(new Session(-1, QStringLiteral("login%1").arg(i, 3, 10, QLatin1Char('0')), &app));
        loginUsers.last()->setSource(source(2, i));
        loginUsers.last()->setServer(i % ports.size(), ports.at(i % ports.size()));
        settings.loginPool.append(loginUsers.last()->name());
    }
    settings.perAddress = perAddress;

    QStringList outboxes;
    for (const QString &dir : dataDirs)
        outboxes.append(dir + QStringLiteral("/outbox"));
    Outbox outbox(outboxes);
    Enroller enroller(host, &outbox, digest);
    const int parallel = qBound(1, parser.value(parallelOption).toInt(), 256);
    // Every account is made first; the clients of the first run stay logged in.
    err << "setting up " << chatters.size() + loginUsers.size() << " accounts\n";
    err.flush();
    if (!enroller.run(chatters + loginUsers, scenarios.first().clients, true, parallel, 900 * 1000)) {
        err << "setting up accounts failed:\n";
        for (const QString &f : enroller.failures().mid(0, 10))
            err << "  " << f << '\n';
        return 1;
    }
    err << "registered " << enroller.registered() << " new accounts\n";
    if (enroller.gluedAnswers() > 0)
        err << "warning: " << enroller.gluedAnswers() << " login answers ran into the next message\n";
    err.flush();

    ChatLoad load(settings);
    QList<LoadResult> results;
    for (const Scenario &scenario : scenarios) {
        const QList<Session *> active = chatters.mid(0, scenario.clients);
        for (Session *s : chatters.mid(scenario.clients))
            s->close();
        QList<Session *> missing;
        for (Session *s : active)
            if (!s->loggedIn || !s->isConnected())
                missing.append(s);
        err << "logging in " << missing.size() << " more clients\n";
        err.flush();
        if (!enroller.run(missing, int(missing.size()), false, parallel, 300 * 1000)) {
            err << "logging in failed:\n";
            for (const QString &f : enroller.failures().mid(0, 10))
                err << "  " << f << '\n';
            return 1;
        }
        err << "running " << scenario.clients << " clients, " << scenario.loginRate << " logins/s\n";
        err.flush();
        results.append(load.run(active, scenario.loginRate));
    }
    for (Session *s : chatters)
        s->close();

    QString report;
    report += QStringLiteral("tavrel-server chat load, %1\n")
                  .arg(QDateTime::currentDateTimeUtc().toString(Qt::ISODate));
    report +=
        QStringLiteral("warm-up %1 s, measured %2 s, drain up to %3 s, %4-byte chat texts, extra logins %5\n")
            .arg(settings.warmupS)
            .arg(settings.measureS)
            .arg(settings.drainS)
            .arg(settings.lineBytes)
            .arg(parser.isSet(wrongOption) ? QStringLiteral("with a wrong password")
                                           : QStringLiteral("with the right password"));
    for (const QString &n : parser.values(noteOption))
        report += n + u'\n';
    report += connecting;
    if (enroller.gluedAnswers() > 0)
        report += QStringLiteral("while logging the clients in, %1 login answers ran into the next message\n")
                      .arg(enroller.gluedAnswers());
    report += u'\n' + table(results);
    std::fputs(report.toUtf8().constData(), stdout);
    if (parser.isSet(outputOption)) {
        QFile file(parser.value(outputOption));
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(report.toUtf8()) < 0) {
            err << "cannot write " << parser.value(outputOption) << '\n';
            return 1;
        }
    }
    return 0;
}
