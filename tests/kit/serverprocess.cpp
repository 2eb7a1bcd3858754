#include "serverprocess.h"

#include "eventwait.h"

#include <QRegularExpression>

void prepareServer(QProcess &server, const QString &binary, const QStringList &arguments, bool journal)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove(QStringLiteral("QT_MESSAGE_PATTERN"));
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    environment.remove(QStringLiteral("JOURNAL_STREAM"));
    if (journal)
        environment.insert(QStringLiteral("JOURNAL_STREAM"), QStringLiteral("8:12345"));
    server.setProcessEnvironment(environment);
    server.setProgram(binary);
    server.setArguments(arguments);
}

quint16 startListening(QProcess &server, QString *log)
{
    QObject::connect(&server, &QProcess::readyReadStandardError, &server,
                     [&server, log] { *log += QString::fromUtf8(server.readAllStandardError()); });
    server.start();
    static const QRegularExpression listening(QStringLiteral("listening on \\S+ (\\d+)"));
    if (!waitUntil([&] { return listening.match(*log).hasMatch() || server.state() == QProcess::NotRunning; },
                   20000))
        return 0;
    return quint16(listening.match(*log).captured(1).toUInt());
}

bool startServerProcess(QProcess &server, QString *log, const QString &binary, const QStringList &options,
                        quint16 *port, Hashing hashing)
{
    const QString cheapest =
        hashing == Hashing::Cheapest ? QStringLiteral(" --pwhash-ops 1 --pwhash-mem 8192") : QString();
    prepareServer(server, binary, (QStringLiteral("--listen 127.0.0.1") + cheapest).split(u' ') + options);
    *port = startListening(server, log);
    return *port != 0;
}

void stopServerProcess(QProcess &server)
{
    server.terminate();
    if (!server.waitForFinished(10000))
        server.kill();
    server.waitForFinished(1000);
}
