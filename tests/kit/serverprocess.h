#pragma once

#include <QProcess>
#include <QString>

// tavrel-server in a process of its own, as the tests and the link trial start it.

// Starts server (program, arguments and environment already set) with its standard error
// gathered in *log as the event loop runs, and waits until the log says where it listens.
// The port it listens on; 0 when it does not come up within ms.
quint16 startListening(QProcess &server, QString *log, int ms = 10000);

// Starts tavrel-server on 127.0.0.1 (or on the --listen of options) with options (--port 0
// picks a free port, which *port then holds) and the cheapest password hashing, and waits
// until it listens. False when it does not come up in time.
bool startServerProcess(QProcess &server, QString *log, const QString &binary, const QStringList &options,
                        quint16 *port);

// Asks the server to stop, and kills it when it does not within 10 s.
void stopServerProcess(QProcess &server);
