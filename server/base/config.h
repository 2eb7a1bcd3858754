#pragma once

#include "assembler.h"

#include <QDateTime>
#include <QHostAddress>
#include <QString>

#include <sodium.h>

#include <functional>

namespace tavrel::server {

// How verification codes leave the machine.
struct MailConfig
{
    enum class Transport {
        Outbox,   // the mails stay in the outbox folder, for someone else to pick up
        Sendmail, // each goes through the local mail system's sendmail program
        Smtp,     // each is submitted to an SMTP relay
    };
    Transport transport = Transport::Outbox;
    QString relayUrl; // smtp://host:port or smtps://host:port
    // The From header, and the address alone for the SMTP envelope.
    QByteArray fromHeader = "Tavrel <no-reply@tavrel.invalid>";
    QByteArray envelopeFrom = "no-reply@tavrel.invalid";
    QString user;
    QString passwordFile; // holds the password on its first line
    QByteArray password;
    QString caFile; // trusted certificates for the relay; empty: the system's
    // smtp:// without STARTTLS: the codes would cross the network readable, and anyone on
    // the way can strip STARTTLS from the relay's answer. Only an operator who says so.
    bool insecurePlaintext = false;
    QString sendmailPath = QStringLiteral("/usr/sbin/sendmail");

    // A relay that fails for a while (restarting, greylisting) is asked again after 15 s,
    // then after twice as long each time up to 10 minutes between attempts; a mail the relay
    // has not accepted an hour after it was written has failed: its code has expired by then.
    int firstRetryMs = 15 * 1000;
    int maxRetryMs = 10 * 60 * 1000;
    qint64 giveUpMs = 60 * 60 * 1000;
    // One attempt, connecting included.
    int attemptTimeoutSeconds = 60;
    // Mails in outbox/sent/ and outbox/failed/ hold codes and addresses; they are kept this
    // many days for an operator to look into a complaint, a week by default.
    int keepDays = 7;
};

// Everything an operator (or a test) may tune. The defaults are the production values.
struct Config
{
    QHostAddress listenAddress = QHostAddress::LocalHost;
    quint16 port = 12345; // 0: any free port
    // TLS beside plain connections on the same port: the certificate with its chain, and
    // its key (PEM), read again on SIGHUP. Empty: plain connections only.
    QString tlsCertFile;
    QString tlsKeyFile;
    // Plain connections are told to use TLS and closed.
    bool tlsRequired = false;
    QString dataDir = QStringLiteral("tavrel-data");

    // Connection limits, in the spirit of an IRC server's connect classes. maxConnections
    // is lowered at start to what the descriptor limit allows.
    int maxConnections = 1000;
    // Per source as sourceKey() counts it: an IPv4 address, or an IPv6 /64, which one host
    // usually holds whole.
    int maxPerAddress = 10;
    // Connections that have not logged in yet, per source and in all. A person who
    // registers keeps one open for minutes while the code mail comes, and a household or
    // office behind one address seldom has more than a couple doing so at once: 4. In all,
    // a quarter of maxConnections: connections that never log in (each may idle until
    // loginTimeoutMs) then hold at most a quarter of the slots, and after a restart, when
    // everyone connects again within a minute or so and takes some seconds to type a
    // password, 250 is still more than are usually caught between the two.
    int maxUnauthenticatedPerAddress = 4;
    int maxUnauthenticated = 250;
    // A connection that has not logged in this long after it opened is closed, whatever it
    // sent meanwhile. Registering means reading a mail in between, so it is generous.
    int loginTimeoutMs = 180 * 1000;

    // Failed logins of one (name, source address) wait 1, 2, 4 ... seconds before the
    // next try is checked, up to this many.
    int maxLoginDelaySeconds = 60;
    // Failed logins of one name within an hour, from anywhere, that lock the name, and
    // for how long. High, so that a stranger cannot lock an account with a few guesses.
    int lockoutFailures = 50;
    int lockoutSeconds = 15 * 60;
    // Failed logins of any names from one source (an address, or an IPv6 /64) within an
    // hour, beyond which its logins are answered "wait" without a password check, except
    // for names that logged in from there before. Measured with bench-server-load --logins
    // 10 --spray (ten connections, a new name each try) on the 2-core machine at load 8:
    // without it every try was checked, 3.8 a second (13,700 an hour; about 8 a second on
    // an idle machine, at 237 ms a hash); with it, 30 an hour, and the rest cost a query.
    // A user who mistypes has many tries within the delays above, and users behind one
    // address who logged in there before are never held up by it. Taken and look-alike
    // names at registration count too.
    int loginFailuresPerSource = 30;

    // Verification codes.
    int codeValiditySeconds = 10 * 60;
    // The wait between two code mails to one address or for one name.
    int codeResendSeconds = 60;
    // Wrong tries that use a code up.
    int maxWrongCodes = 5;
    // Code mails per address and per name in 24 hours, and per source address in an hour.
    int codesPerDay = 5;
    int codeMailsPerSourceHour = 20;

    // argon2id cost of the stored password hashes.
    unsigned long long pwhashOps = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    size_t pwhashMem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    // Threads that hash passwords and talk to the database; 0: one per core.
    int workerThreads = 0;
    // Threads that store uploads and open requested files.
    int fileThreads = 2;
    // Requests waiting for or at a worker, per queue, beyond which the answer is "busy".
    // argon2id at the default cost took 200 ms a hash on the 2-core machine the server was
    // measured on, under load (a loop around crypto_pwhash_str; 60-80 ms when quiet): 32
    // logins wait at most about 3 s for the two workers. Storing an upload takes a few ms.
    int maxAccountJobs = 32;
    int maxFileJobs = 64;

    // Bytes one user may upload in all.
    qint64 uploadQuotaBytes = 20LL * 1024 * 1024;
    // Uploads are refused while less than this is free on the data folder's disk, which
    // the database shares, in bytes or in percent of the disk.
    qint64 minFreeBytes = 1024LL * 1024 * 1024;
    int minFreePercent = 5;

    // How often expired codes and old login failures are forgotten.
    int purgeIntervalMs = 3600 * 1000;

    // Output waiting for a client beyond this means it reads too slowly: it is cut off.
    qint64 maxQueuedBytes = 2 * 1024 * 1024;

    MailConfig mail;

    // Where the Prometheus metrics are served; port -1: not at all.
    QHostAddress metricsAddress = QHostAddress::LocalHost;
    int metricsPort = -1;

    // A client that takes longer than drainGraceMs plus its size at minDrainBytesPerSecond
    // to acknowledge one message reads too slowly and is cut off. 16 KiB/s is slower than
    // any link on which files are worth sending (a 16 MiB file may take 17 minutes); the
    // grace covers a link that stops for a while, as a mobile one does between cells.
    int drainGraceMs = 30 * 1000;
    qint64 minDrainBytesPerSecond = 16 * 1024;

    // On SIGTERM, how long sessions may take to receive what is still queued for them.
    int drainSeconds = 5;

    // The quiet gap that ends an upload, and the one the pause after a file leaves the
    // client, in place of kFileQuietGapMs: for tests whose clients end files at the same gap
    // (TestClient::setFileGap) and that do not measure it. No option sets it, as every real
    // client ends a file after kFileQuietGapMs; the sessions hold it to kQuietGapMs to
    // kFileQuietGapMs.
    int fileGapMs = kFileQuietGapMs;

    // How upload bytes reach the disk: write(2) when empty. Tests put a failing or
    // stalling writer here.
    std::function<qint64(int fd, const char *data, qint64 size)> fileWriter;

    // Wall-clock time in milliseconds since the epoch, for every limit kept in the
    // database. Called from worker threads; tests move it forward instead of sleeping.
    std::function<qint64()> clock = [] { return QDateTime::currentMSecsSinceEpoch(); };

    // Several instances: state in one PostgreSQL database, fan-out over one Redis. Empty:
    // SQLite in dataDir, and no other instance.
    QString database; // postgresql://user@host:port/dbname
    QString databasePasswordFile;
    QString bus; // redis://[user@]host:port
    QString busPasswordFile;
    QString busKeyFile;
};

} // namespace tavrel::server
