#include "serverprocess.h"

#include "eventwait.h"

#include <QRegularExpression>

quint16 startListening(QProcess &server, QString *log, int ms)
{
    QObject::connect(&server, &QProcess::readyReadStandardError, &server,
                     [&server, log] { *log += QString::fromUtf8(server.readAllStandardError()); });
    server.start();
    static const QRegularExpression listening(QStringLiteral("listening on \\S+ (\\d+)"));
    if (!waitUntil([&] { return listening.match(*log).hasMatch() || server.state() == QProcess::NotRunning; },
                   ms))
        return 0;
    return quint16(listening.match(*log).captured(1).toUInt());
}

bool startServerProcess(QProcess &server, QString *log, const QString &binary, const QStringList &options,
                        quint16 *port)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    server.setProcessEnvironment(environment);
    server.setProgram(binary);
    server.setArguments(QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                    QStringLiteral("--pwhash-ops"), QStringLiteral("1"),
                                    QStringLiteral("--pwhash-mem"), QStringLiteral("8192")}
                        << options);
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
