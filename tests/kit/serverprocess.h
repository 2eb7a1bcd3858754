#pragma once

#include <QProcess>
#include <QString>

// tavrel-server in a process of its own, as the tests and the link trial start it.

// Sets server to run binary with arguments, in this process's environment less what changes
// how the server logs; journal: as under systemd, which reads the lines' priorities.
void prepareServer(QProcess &server, const QString &binary, const QStringList &arguments,
                   bool journal = false);

// Starts server with its standard error gathered in *log as the event loop runs, and waits
// until the log says where it listens. The port it listens on; 0 when it does not come up
// within 20 s (it comes up in well under a second; the rest is for a loaded machine).
quint16 startListening(QProcess &server, QString *log);

// The password hashing a server started here uses: the cheapest, or the server's own.
enum class Hashing { Cheapest, Default };

// Starts tavrel-server on 127.0.0.1 (or on the --listen of options) with options (--port 0
// picks a free port, which *port then holds), and waits until it listens. False when it
// does not come up in time.
bool startServerProcess(QProcess &server, QString *log, const QString &binary, const QStringList &options,
                        quint16 *port, Hashing hashing = Hashing::Cheapest);

// Asks the server to stop, and kills it when it does not within 10 s.
void stopServerProcess(QProcess &server);
