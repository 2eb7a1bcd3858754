#pragma once

#include <QHostAddress>
#include <QString>

#include <sodium.h>

namespace tavrel::server {

// Everything an operator (or a test) may tune. The defaults are the production values.
struct Config
{
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 12345; // 0: any free port
    QString dataDir = QStringLiteral("tavrel-data");

    // Connection limits, in the spirit of an IRC server's connect classes.
    int maxConnections = 1000;
    int maxPerAddress = 10;
    // A connection that has not logged in is closed after this long without a message.
    // Registering means reading a mail in between, so it is generous.
    int loginIdleTimeoutMs = 180 * 1000;

    // Login failures in a row that lock an account, and for how long.
    int lockoutFailures = 5;
    int lockoutSeconds = 15 * 60;

    // Verification codes.
    int codeValiditySeconds = 10 * 60;
    int codeResendSeconds = 60;
    int maxWrongCodes = 5;

    // argon2id cost of the stored password hashes.
    unsigned long long pwhashOps = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    size_t pwhashMem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    // Threads that hash passwords and talk to the database; 0: one per core.
    int workerThreads = 0;

    // A client whose waiting messages pass this many bytes reads too slowly and is cut off.
    qint64 maxQueuedBytes = 1024 * 1024;
    // A client that takes longer than drainGraceMs plus its size at minDrainBytesPerSecond
    // to acknowledge one message reads too slowly and is cut off. 16 KiB/s is slower than
    // any link on which files are worth sending (a 16 MiB file may take 17 minutes); the
    // grace covers a link that stops for a while, as a mobile one does between cells.
    int drainGraceMs = 30 * 1000;
    qint64 minDrainBytesPerSecond = 16 * 1024;
};

} // namespace tavrel::server
