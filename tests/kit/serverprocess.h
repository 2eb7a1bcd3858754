#pragma once

#include "eventwait.h"

#include <QProcess>
#include <QRegularExpression>

// Starts tavrel-server on 127.0.0.1 (or on the --listen of options) with options (--port 0
// picks a free port, which *port then holds) and the cheapest password hashing, and waits
// until it listens. Its log
// gathers in *log as the event loop runs. False when it does not come up in time.
inline bool startServerProcess(QProcess &server, QString *log, const QString &binary,
                               const QStringList &options, quint16 *port)
{
    QObject::connect(&server, &QProcess::readyReadStandardError, &server,
                     [&server, log] { *log += QString::fromUtf8(server.readAllStandardError()); });
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("*.debug=false"));
    server.setProcessEnvironment(environment);
    server.start(binary, QStringList{QStringLiteral("--listen"), QStringLiteral("127.0.0.1"),
                                     QStringLiteral("--pwhash-ops"), QStringLiteral("1"),
                                     QStringLiteral("--pwhash-mem"), QStringLiteral("8192")}
                             << options);
    static const QRegularExpression listening(QStringLiteral("listening on \\S+ (\\d+)"));
    if (!waitUntil([&] { return listening.match(*log).hasMatch() || server.state() == QProcess::NotRunning; },
                   10000))
        return false;
    *port = quint16(listening.match(*log).captured(1).toUInt());
    return *port != 0;
}

// Asks the server to stop, and kills it when it does not within 10 s.
inline void stopServerProcess(QProcess &server)
{
    server.terminate();
    if (!server.waitForFinished(10000))
        server.kill();
    server.waitForFinished(1000);
}
