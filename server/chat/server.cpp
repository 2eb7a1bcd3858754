#include "server.h"

#include "accounts.h"
#include "answers.h"
#include "bus.h"
#include "chattext.h"
#include "codemail.h"
#include "dbconnection.h"
#include "logging.h"
#include "mailqueue.h"
#include "metrics.h"
#include "names.h"
#include "protocol.h"
#include "requests.h"
#include "session.h"
#include "sharedfiles.h"
#include "tables.h"
#include "threadstores.h"
#include "uploads.h"
#include "workqueue.h"

#include <QDir>
#include <QLockFile>
#include <QPointer>
#include <QSocketNotifier>
#include <QSslSocket>

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tavrel::server {

namespace {

// How long accepting pauses when the process or the system is out of descriptors. Each
// pause costs one failed accept(); connections wait in the kernel's backlog meanwhile.
constexpr int kAcceptPauseMs = 100;
// Pauses are logged at most this often, with the count since the last report.
constexpr qint64 kAcceptPauseReportMs = 60 * 1000;
// Connections taken per wake-up, so that a burst of connections cannot starve the
// sessions already open.
constexpr int kAcceptBatch = 64;
// Descriptors besides the connections: per worker thread the database file, its WAL and
// shared memory, and an upload being written; then the listener, the signal pair, the lock
// file, stdio and the event loop's own.
constexpr int kFixedReserve = 32;
constexpr int kReservePerWorker = 4;
// How long a shutdown waits for the messages that were arriving when it began: the gap
// that ends the longest kind, with a margin.
constexpr int kDrainGatherMs = kFileQuietGapMs + 50;
constexpr int kDrainPollMs = 10;
// certbot renews 30 days before expiry; a certificate this close to it was not renewed.
constexpr qint64 kExpiryWarningDays = 20;

// Clients refuse a certificate out of its dates; a renewal that failed shows here first.
void warnOfExpiry(const TlsCredentials &credentials)
{
    const qint64 left = QDateTime::currentDateTimeUtc().secsTo(credentials.expiry());
    if (left < kExpiryWarningDays * 24 * 3600)
        qCWarning(lcServer).noquote()
            << "the TLS certificate expires" << credentials.expiry().toString(Qt::ISODate)
            << (left < 0 ? "- it has expired: clients refuse it" : "- renew it");
}

} // namespace

qlonglong raiseDescriptorLimit()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return -1;
    if (limit.rlim_cur < limit.rlim_max) {
        const rlim_t before = limit.rlim_cur;
        limit.rlim_cur = limit.rlim_max;
        if (::setrlimit(RLIMIT_NOFILE, &limit) != 0)
            limit.rlim_cur = before;
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<int>::max() : qlonglong(limit.rlim_cur);
}

int connectionsWithin(qlonglong descriptorLimit, int reserve)
{
    // A tiny limit still leaves half for the reserve.
    reserve = int(std::min<qlonglong>(reserve, descriptorLimit / 2));
    return int(std::clamp<qlonglong>((descriptorLimit - reserve) / 2, 1, std::numeric_limits<int>::max()));
}

Server::Server(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
    , m_sessionSettings(std::make_shared<const SessionSettings>(config))
{
    m_config.dataDir = QDir(config.dataDir).absolutePath();
    m_acceptPause.setSingleShot(true);
    connect(&m_acceptPause, &QTimer::timeout, this, [this] {
        if (m_acceptNotifier)
            m_acceptNotifier->setEnabled(true);
    });
    m_purge.setInterval(m_config.purgeIntervalMs);
    connect(&m_purge, &QTimer::timeout, this, [this] { m_accounts->purge(); });
    connect(&m_drainTimer, &QTimer::timeout, this, &Server::drainStep);
}

Server::~Server()
{
    stop();
}

QString Server::configurationError(const Config &config)
{
    QString error;
    if (!config.bus.isEmpty() && config.database.isEmpty())
        return QStringLiteral("--bus needs --database: instances that share a bus must share one database, "
                              "or each would have accounts of its own");
    if (!config.database.isEmpty() && !parseDatabaseUrl(config.database, config.databasePasswordFile, &error))
        return error;
    if (config.database.isEmpty() && !config.databasePasswordFile.isEmpty())
        return QStringLiteral("--database-password-file without --database");
    if (config.bus.isEmpty() && (!config.busPasswordFile.isEmpty() || !config.busKeyFile.isEmpty()))
        return QStringLiteral("--bus-password-file and --bus-key-file need --bus");
    if (!config.bus.isEmpty() &&
        (!parseBusUrl(config.bus, config.busPasswordFile, &error) || !readBusKey(config.busKeyFile, &error)))
        return error;
    if (config.tlsCertFile.isEmpty() != config.tlsKeyFile.isEmpty())
        return QStringLiteral("--tls-cert and --tls-key go together");
    if (config.tlsRequired && config.tlsCertFile.isEmpty())
        return QStringLiteral("--tls-required needs --tls-cert and --tls-key");
    return QString();
}

bool Server::start()
{
    if (const QString error = configurationError(m_config); !error.isEmpty()) {
        qCCritical(lcServer).noquote() << error;
        return false;
    }
    if (!m_config.tlsCertFile.isEmpty()) {
        QString why;
        m_tls = TlsCredentials::read(m_config.tlsCertFile, m_config.tlsKeyFile, &why);
        if (!m_tls) {
            qCCritical(lcServer).noquote() << "cannot serve TLS:" << why;
            return false;
        }
        qCInfo(lcServer).noquote() << "TLS with" << m_tls->description();
        warnOfExpiry(*m_tls);
    }
    const QDir data(m_config.dataDir);
    for (const QString &sub : {QStringLiteral("."), QStringLiteral("outbox"), QStringLiteral("files")}) {
        // What is created here is the owner's alone: codes, addresses and password hashes.
        const bool created = !data.exists(sub);
        if (!data.mkpath(sub) ||
            (created &&
             !QFile::setPermissions(data.filePath(sub), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                            QFileDevice::ExeOwner))) {
            qCCritical(lcServer) << "cannot create" << data.filePath(sub);
            return false;
        }
    }
    // Two servers on one database would each keep their own user list and sessions.
    m_lock = std::make_unique<QLockFile>(data.filePath(QStringLiteral("tavrel-server.lock")));
    m_lock->setStaleLockTime(0);
    if (!m_lock->tryLock()) {
        qCCritical(lcServer) << "another server uses" << m_config.dataDir;
        return false;
    }
    const QString outbox = data.filePath(QStringLiteral("outbox"));
    std::function<void()> queued;
    if (m_config.mail.transport != MailConfig::Transport::Outbox) {
        m_mailQueue = std::make_unique<MailQueue>(outbox, m_config.mail);
        if (!m_mailQueue->start())
            return false;
        queued = [queue = m_mailQueue.get()] { queue->wake(); };
    }
    m_codeMailer = std::make_unique<OutboxMailer>(outbox, m_config.mail.fromHeader, std::move(queued));
    m_files = std::make_unique<FileStore>(data.filePath(QStringLiteral("files")),
                                          FileStore::Limits{m_config.minFreeBytes, m_config.minFreePercent},
                                          m_config.fileWriter);
    m_files->removeLeftovers();
    m_accounts = std::make_unique<Accounts>(m_config, m_codeMailer.get());
    if (!m_accounts->prepare())
        return false;
    m_fileStores = std::make_unique<ThreadStores>(Accounts::storeLocation(m_config));
    m_fileQueue =
        std::make_unique<WorkQueue>(m_config.fileThreads, m_config.maxFileJobs,
                                    [stores = m_fileStores.get()] { return stores->forThisThread(); });
    if (!m_config.bus.isEmpty()) {
        QString ignored;
        m_bus = std::make_unique<Bus>(*parseBusUrl(m_config.bus, m_config.busPasswordFile, &ignored),
                                      *readBusKey(m_config.busKeyFile, &ignored));
        connect(m_bus.get(), &Bus::relayed, this, &Server::broadcast);
        connect(m_bus.get(), &Bus::remoteUsersChanged, this, &Server::onRemoteUsersChanged);
        connect(m_bus.get(), &Bus::userSuperseded, this, &Server::onSuperseded);
        m_bus->start();
    }

    const qlonglong descriptors = raiseDescriptorLimit();
    if (descriptors > 0) {
        const int workers = m_accounts->accountQueue().threads() + m_fileQueue->threads();
        const int room = connectionsWithin(descriptors, kFixedReserve + kReservePerWorker * workers);
        if (m_config.maxConnections > room) {
            qCWarning(lcServer) << "--max-connections" << m_config.maxConnections << "lowered to" << room
                                << "to stay within the limit of" << descriptors << "open descriptors";
            m_config.maxConnections = room;
        }
    }

    m_caps = ConnectionCaps(m_config);
    if (!m_listener.listen(m_config.listenAddress, m_config.port)) {
        qCCritical(lcServer) << "cannot listen on" << m_config.listenAddress.toString() << m_config.port
                             << m_listener.errorString();
        return false;
    }
    // Connections are taken here rather than by QTcpServer, which retries a failed accept
    // at once when the descriptors run out and so spins until one is freed.
    m_listener.pauseAccepting();
    m_acceptNotifier = new QSocketNotifier(m_listener.socketDescriptor(), QSocketNotifier::Read, this);
    connect(m_acceptNotifier, &QSocketNotifier::activated, this, &Server::acceptPending);
    m_purge.start();
    if (m_config.metricsPort >= 0) {
        m_metrics = std::make_unique<MetricsEndpoint>([this] { return gauges(); });
        if (!m_metrics->listen(m_config.metricsAddress, quint16(m_config.metricsPort)))
            return false;
    }
    qCInfo(lcServer).noquote() << "listening on" << m_config.listenAddress.toString()
                               << m_listener.serverPort() << "with data in" << m_config.dataDir;
    return true;
}

bool Server::reloadTls()
{
    if (!m_tls) {
        qCInfo(lcServer) << "SIGHUP: no TLS certificate to read again";
        return false;
    }
    QString why;
    std::optional<TlsCredentials> read =
        TlsCredentials::read(m_config.tlsCertFile, m_config.tlsKeyFile, &why);
    if (!read) {
        ++metrics().tlsReloadsFailed;
        qCWarning(lcServer).noquote() << "TLS certificate not reloaded, the one in use stays:" << why;
        return false;
    }
    m_tls = std::move(read);
    ++metrics().tlsReloadsSucceeded;
    qCInfo(lcServer).noquote() << "TLS certificate reloaded:" << m_tls->description();
    warnOfExpiry(*m_tls);
    return true;
}

quint16 Server::port() const
{
    return m_listener.serverPort();
}

quint16 Server::metricsPort() const
{
    return m_metrics ? m_metrics->port() : 0;
}

MetricsGauges Server::gauges() const
{
    MetricsGauges gauges;
    gauges.connections = int(m_sessions.size());
    gauges.loggedIn = int(m_online.size());
    for (const Session *session : m_sessions) {
        gauges.sendQueueMessages += session->queuedMessages();
        gauges.sendQueueBytes += session->queuedBytes();
    }
    gauges.tlsCertificateExpiry = m_tls ? m_tls->expiry().toSecsSinceEpoch() : 0;
    gauges.workQueue =
        (m_accounts ? m_accounts->accountQueue().jobs() : 0) + (m_fileQueue ? m_fileQueue->jobs() : 0);
    return gauges;
}

void Server::stop()
{
    m_drainTimer.stop();
    m_purge.stop();
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    m_listener.close();
    if (m_bus)
        m_bus->leave();
    const QList<Session *> sessions = m_sessions;
    for (Session *session : sessions)
        session->abort("server stops");
    m_metrics.reset();
    m_accounts.reset();
    m_fileQueue.reset();
    m_fileStores.reset();
    m_bus.reset();
    // Only now: the workers that wrote mails and woke the queue are done.
    m_codeMailer.reset();
    m_mailQueue.reset();
    m_lock.reset();
}

void Server::acceptPending()
{
    const int listener = int(m_listener.socketDescriptor());
    for (int i = 0; i < kAcceptBatch; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            switch (errno) {
            case EINTR:
            case ECONNABORTED:
            case EPROTO:
                continue; // that one gave up; the next may be waiting
            case EAGAIN:
#if EWOULDBLOCK != EAGAIN
            case EWOULDBLOCK:
#endif
                return;
            default:
                pauseAccepting(errno);
                return;
            }
        }
        // A QSslSocket works as a plain one until its handshake starts.
        QTcpSocket *socket = m_tls ? new QSslSocket : new QTcpSocket;
        if (!socket->setSocketDescriptor(fd)) {
            qCWarning(lcServer) << "cannot take a connection:" << socket->errorString();
            ::close(fd);
            delete socket;
            continue;
        }
        admit(socket);
    }
}

void Server::pauseAccepting(int error)
{
    m_acceptNotifier->setEnabled(false);
    m_acceptPause.start(kAcceptPauseMs);
    ++m_acceptPausesUnreported;
    if (m_acceptPauseReported.isValid() && m_acceptPauseReported.elapsed() < kAcceptPauseReportMs)
        return;
    qCWarning(lcServer).noquote() << "cannot accept connections:" << qt_error_string(error) << "- paused"
                                  << m_acceptPausesUnreported << "times for" << kAcceptPauseMs
                                  << "ms since the last report";
    m_acceptPausesUnreported = 0;
    m_acceptPauseReported.start();
}

void Server::admit(QTcpSocket *socket)
{
    const QString address = socket->peerAddress().toString();
    const ConnectionCaps::Refusal refusal = m_caps.admit(sourceKey(socket->peerAddress()));
    if (refusal != ConnectionCaps::Refusal::None) {
        const char *why = refusal == ConnectionCaps::Refusal::Full         ? ""
                          : refusal == ConnectionCaps::Refusal::SourceFull ? " from its source"
                          : refusal == ConnectionCaps::Refusal::UnauthenticatedFull
                              ? " that have not logged in"
                              : " from its source that have not logged in";
        qCWarning(lcServer).noquote() << "connection from" << address
                                      << QStringLiteral("refused: too many connections") + QLatin1String(why);
        socket->abort();
        delete socket;
        return;
    }
    auto *session = new Session(socket, m_sessionSettings, this);
    if (m_tls)
        session->offerTls(m_tls->configuration());
    m_sessions.append(session);
    m_unauthenticated.insert(session);
    connect(session, &Session::messageReceived, this,
            [this, session](const QByteArray &message) { dispatch(session, message); });
    connect(session, &Session::closed, this, [this, session] { onClosed(session); });
    qCDebug(lcServer) << "connection from" << address;
}

void Server::onClosed(Session *session)
{
    m_sessions.removeOne(session);
    m_caps.closed(session->source(), !m_unauthenticated.remove(session));
    const QString name = session->userName();
    if (!name.isEmpty() && m_online.value(name) == session) {
        m_online.remove(name);
        if (m_bus)
            m_bus->removeLocalUser(name);
        qCInfo(lcServer) << name << "left";
        broadcastUserList();
    }
    session->deleteLater();
    if (m_drain == Drain::Closing && m_sessions.isEmpty())
        finishShutdown();
}

void Server::dispatch(Session *session, const QByteArray &message)
{
    // A session reports messages only over the transport it settled on: plain here means
    // not encrypted.
    if (m_config.tlsRequired && !session->isEncrypted()) {
        session->sendAndClose(answers::noticeMessage(answers::encryptionRequired()));
        return;
    }
    if (!session->allowMessage()) {
        session->abort("flood");
        return;
    }
    switch (requestKind(message)) {
    case Request::Login:
        handleLogin(session, message);
        break;
    case Request::Registration:
        handleRegistration(session, message);
        break;
    case Request::Chat:
        handleChat(session, message);
        break;
    case Request::Upload:
        handleUpload(session, message);
        break;
    case Request::FileRequest:
        handleFileRequest(session, message);
        break;
    case Request::Unknown:
        qCDebug(lcServer) << "unknown message from" << session->peerAddress() << message.left(16);
        break;
    }
}

void Server::handleLogin(Session *session, const QByteArray &message)
{
    if (session->isBusy()) {
        session->send(answers::loginReply(answers::busy()));
        return;
    }
    const std::optional<LoginFields> fields = parseLogin(message);
    if (!fields || !isValidUserName(fields->name) || !isSaltedDigest(fields->digest)) {
        metrics().loginsFailed++;
        session->send(answers::loginReply(answers::loginRefused()));
        return;
    }
    session->setBusy(true);
    const bool queued = m_accounts->login(
        *fields, session->source(), session, [this, session](const Accounts::LoginResult &result) {
            session->setBusy(false);
            (result.outcome == Accounts::LoginResult::Ok ? metrics().loginsSucceeded
                                                         : metrics().loginsFailed)++;
            switch (result.outcome) {
            case Accounts::LoginResult::Ok:
                loggedIn(session, result.name);
                break;
            case Accounts::LoginResult::Refused:
                session->send(answers::loginReply(answers::loginRefused()));
                break;
            case Accounts::LoginResult::Throttled:
                session->send(answers::loginReply(answers::loginThrottled(result.waitSeconds)));
                break;
            case Accounts::LoginResult::Locked:
                session->send(answers::loginReply(answers::loginLocked((result.waitSeconds + 59) / 60)));
                break;
            case Accounts::LoginResult::Failed:
                session->send(answers::loginReply(answers::internalError()));
                break;
            }
        });
    if (!queued) {
        session->setBusy(false);
        metrics().loginsFailed++;
        session->send(answers::loginReply(answers::serverBusy()));
    }
}

void Server::loggedIn(Session *session, const QString &name)
{
    // The connection may have gone while the password was checked; it is deleted later.
    if (session->isClosing())
        return;
    const QString previousName = session->userName();
    if (!previousName.isEmpty() && previousName != name && m_online.value(previousName) == session) {
        m_online.remove(previousName);
        if (m_bus)
            m_bus->removeLocalUser(previousName);
    }
    Session *previous = m_online.value(name);
    if (previous && previous != session) {
        qCInfo(lcServer) << name << "logged in again from" << session->peerAddress()
                         << "; the older session closes";
        previous->setUserName(QString());
        previous->sendAndClose(answers::noticeMessage(answers::replaced()));
    }
    m_online.insert(name, session);
    if (m_bus)
        m_bus->addLocalUser(name);
    session->setUserName(name);
    if (m_unauthenticated.remove(session))
        m_caps.loggedIn(session->source());
    qCInfo(lcServer) << name << "logged in from" << session->peerAddress();
    session->send(answers::loginReply(answers::loginOk()));
    broadcastUserList();
}

void Server::handleRegistration(Session *session, const QByteArray &message)
{
    if (session->isBusy()) {
        session->send(answers::registrationReply(answers::busy()));
        return;
    }
    const std::optional<RegistrationFields> fields = parseRegistration(message);
    QString refusal;
    if (!fields || !isSaltedDigest(fields->digest))
        refusal = answers::registrationMalformed();
    else if (const NewNameProblem problem = newNameProblem(fields->name);
             problem != NewNameProblem::NewNameOk)
        refusal = problem == NewNameProblem::Shape       ? answers::nameInvalid()
                  : problem == NewNameProblem::Deceptive ? answers::nameDeceptive()
                                                         : answers::nameLooksTaken();
    else if (!isPlausibleEmail(fields->email))
        refusal = answers::emailInvalid();
    if (!refusal.isEmpty()) {
        session->send(answers::registrationReply(refusal));
        return;
    }
    session->setBusy(true);
    const bool queued =
        m_accounts->registerAccount(*fields, session->source(), session, [session](const QString &answer) {
            session->setBusy(false);
            session->send(answers::registrationReply(answer.isEmpty() ? answers::internalError() : answer));
        });
    if (!queued) {
        session->setBusy(false);
        session->send(answers::registrationReply(answers::serverBusy()));
    }
}

void Server::handleChat(Session *session, const QByteArray &message)
{
    if (!session->isLoggedIn()) {
        session->send(answers::noticeMessage(answers::loginFirst()));
        return;
    }
    const QString text = requestText(message);
    if (text.isEmpty())
        return;
    if (text.size() > kMaxChatLength) {
        session->send(answers::noticeMessage(answers::chatTooLong(kMaxChatLength)));
        return;
    }
    if (!session->allowAction()) {
        session->send(answers::noticeMessage(answers::slowDown()));
        return;
    }
    relay(chatLine(relayedChat(session->userName(), text)));
}

bool Server::admitFileAction(Session *session)
{
    QString refusal;
    if (!session->isLoggedIn())
        refusal = answers::loginFirst();
    else if (session->isFileBusy())
        refusal = answers::fileBusy();
    else if (!session->allowAction())
        refusal = answers::slowDown();
    if (refusal.isEmpty())
        return true;
    session->send(answers::noticeMessage(refusal));
    return false;
}

void Server::handleUpload(Session *session, const QByteArray &message)
{
    if (!admitFileAction(session))
        return;
    std::optional<UploadFields> fields = parseUpload(message);
    if (!fields) {
        session->send(answers::noticeMessage(answers::uploadBadName()));
        return;
    }
    const FileStore *files = m_files.get();
    const QString uploader = session->userName();
    const qint64 quota = m_config.uploadQuotaBytes;
    const auto clock = m_config.clock;
    QPointer<Session> uploading(session);
    session->setFileWork(true);
    const bool queued = m_fileQueue->tryRun<UploadOutcome>(
        this,
        [files, uploader, quota, clock, fields = std::move(*fields)](Store &store) {
            return storeUpload(store, *files, fields, uploader, quota, clock());
        },
        [this, uploading, uploader](const UploadOutcome &outcome) {
            if (uploading)
                uploading->setFileWork(false);
            if (!outcome.refusal.isEmpty()) {
                if (uploading)
                    uploading->send(answers::noticeMessage(outcome.refusal));
                return;
            }
            qCInfo(lcFiles) << uploader << "uploaded" << outcome.storedName << outcome.size << "bytes";
            relay(answers::noticeMessage(answers::uploaded(uploader, outcome.storedName, outcome.size)));
        });
    if (!queued) {
        session->setFileWork(false);
        session->send(answers::noticeMessage(answers::serverBusy()));
    }
}

void Server::handleFileRequest(Session *session, const QByteArray &message)
{
    if (!admitFileAction(session))
        return;
    struct Reply
    {
        // False, as a worker without a database leaves it, when the database could not say
        // whether the name is an upload: the request waits, it is not missing.
        bool looked = false;
        FileStore::Served served;
        std::optional<QByteArray> kept; // an upload in a shared database: small, sent whole
    };
    const QString requested = requestText(message);
    const FileStore *files = m_files.get();
    session->setFileWork(true);
    const bool queued = m_fileQueue->tryRun<Reply>(
        session,
        [files, requested](Store &store) {
            Reply reply;
            bool ok = false;
            QString name;
            // An upload kept in a shared database first: its name was announced to every
            // instance's users.
            if (store.isShared() && FileStore::isServableName(requested, &name)) {
                reply.kept = store.uploadContents(name, &ok);
                if (!ok)
                    return reply;
            }
            if (reply.kept) {
                reply.served.status = FileStore::Served::Ok;
                reply.served.name = name;
            } else {
                reply.served = files->open(requested);
            }
            // A user's upload is text to everyone, whatever its bytes look like: only the
            // operator's own files go out as images. One the operator has replaced since
            // it was uploaded is the operator's; while the record cannot be read, it waits.
            if (reply.served.status == FileStore::Served::Ok && reply.served.image) {
                const std::optional<Store::Upload> upload = store.upload(reply.served.name, &ok);
                if (!ok)
                    return reply;
                if (upload && upload->sha256Hex == reply.served.sha256Hex)
                    reply.served.image = false;
            }
            reply.looked = true;
            return reply;
        },
        [session](const Reply &reply) {
            session->setFileWork(false);
            if (!reply.looked) {
                session->send(answers::noticeMessage(answers::serverBusy()));
                return;
            }
            const FileStore::Served &served = reply.served;
            switch (served.status) {
            case FileStore::Served::Ok:
                if (served.image) {
                    session->sendWithTail(imageMessage(served.name, answers::serverSender(), QByteArray()),
                                          served.file);
                } else if (reply.kept) {
                    session->send(fileMessage(served.name, *reply.kept));
                } else {
                    session->sendWithTail(fileMessage(served.name, QByteArray()), served.file);
                }
                qCInfo(lcFiles) << "sent" << served.name << "to" << session->userName();
                break;
            case FileStore::Served::BadName:
                session->send(answers::noticeMessage(answers::requestBadName()));
                break;
            case FileStore::Served::NotFound:
                session->send(answers::noticeMessage(answers::noSuchFile(served.name)));
                break;
            case FileStore::Served::TooBig:
                session->send(answers::noticeMessage(answers::fileTooBig(served.name)));
                break;
            }
        });
    if (!queued) {
        session->setFileWork(false);
        session->send(answers::noticeMessage(answers::serverBusy()));
    }
}

void Server::broadcast(const QByteArray &message)
{
    // A send can cut off a slow reader, which changes m_online.
    const QList<Session *> targets = m_online.values();
    for (Session *session : targets)
        session->send(message);
}

void Server::relay(const QByteArray &message)
{
    if (m_bus)
        m_bus->publish(message);
    else
        broadcast(message);
}

QStringList Server::userNames() const
{
    QStringList names = m_online.keys();
    if (m_bus) {
        names += m_bus->remoteUsers();
        names.removeDuplicates();
    }
    names.sort(Qt::CaseInsensitive);
    return names;
}

void Server::broadcastUserList()
{
    m_listSent = userNames();
    // The window shows its user's own name on a line above the list, so each reader's copy
    // leaves the reader out. The list is written once and each copy cut from it: at 300
    // users a change costs 300 copies of a few kilobytes, not 300 lists written anew.
    const QByteArray list = userList(m_listSent);
    QHash<QString, std::pair<qsizetype, qsizetype>> lines; // where each name starts, its size
    lines.reserve(m_listSent.size());
    qsizetype at = qstrlen(kUserListPrefix);
    for (const QString &name : std::as_const(m_listSent)) {
        const qsizetype size = name.toUtf8().size();
        lines.insert(name, {at, size});
        at += size + 1; // and the '\n' after it
    }
    // A send can cut off a slow reader, which changes m_online.
    const QHash<QString, Session *> targets = m_online;
    for (auto it = targets.cbegin(); it != targets.cend(); ++it) {
        const auto line = lines.constFind(it.key());
        if (line == lines.cend()) {
            it.value()->send(list);
            continue;
        }
        // The name and the '\n' after it; the last name goes with the '\n' before it.
        qsizetype from = line->first;
        qsizetype to = from + line->second + 1;
        if (to > list.size()) {
            to = list.size();
            from = std::max(from - 1, qsizetype(qstrlen(kUserListPrefix)));
        }
        QByteArray own;
        own.reserve(list.size() - (to - from));
        own.append(list.constData(), from).append(list.constData() + to, list.size() - to);
        it.value()->send(own);
    }
}

void Server::onRemoteUsersChanged()
{
    if (userNames() != m_listSent)
        broadcastUserList();
}

void Server::onSuperseded(const QString &name)
{
    Session *session = m_online.take(name);
    if (!session)
        return;
    qCInfo(lcServer) << name << "logged in at another instance; the session from" << session->peerAddress()
                     << "closes";
    session->setUserName(QString());
    session->sendAndClose(answers::noticeMessage(answers::replaced()));
    broadcastUserList();
}

void Server::shutdown(int drainMs)
{
    if (m_drain != Drain::No) {
        finishShutdown();
        return;
    }
    qCInfo(lcServer) << "draining" << m_sessions.size() << "connections for at most" << drainMs << "ms";
    m_drain = Drain::Gathering;
    m_drainMs = drainMs;
    m_drainClock.start();
    delete m_acceptNotifier;
    m_acceptNotifier = nullptr;
    m_acceptPause.stop();
    m_listener.close();
    m_purge.stop();
    m_drainTimer.start(kDrainPollMs);
    drainStep();
}

// Gathering: messages that were on their way when the shutdown began are still read and
// handled. Working: nothing more is read; the work in progress ends and its answers are
// queued. Closing: every session sends what waits and closes.
void Server::drainStep()
{
    const qint64 elapsed = m_drainClock.elapsed();
    if (elapsed >= m_drainMs) {
        finishShutdown();
        return;
    }
    if (m_drain == Drain::Gathering) {
        const bool gathering =
            std::any_of(m_sessions.begin(), m_sessions.end(), [](Session *s) { return s->isGathering(); });
        if (gathering && elapsed < kDrainGatherMs)
            return;
        for (Session *session : std::as_const(m_sessions))
            session->stopReading();
        m_drain = Drain::Working;
    }
    if (m_drain == Drain::Working) {
        if (m_accounts->accountQueue().jobs() > 0 || m_fileQueue->jobs() > 0)
            return;
        m_drain = Drain::Closing;
        // Own lines still on their way round are delivered here, and the others drop this
        // instance's users at once rather than when its presence expires.
        if (m_bus)
            m_bus->leave();
        const QList<Session *> sessions = m_sessions;
        for (Session *session : sessions)
            session->closeAfterOutput(int(m_drainMs - elapsed));
        if (m_sessions.isEmpty())
            finishShutdown();
    }
}

void Server::finishShutdown()
{
    if (m_drain == Drain::Done)
        return;
    m_drain = Drain::Done;
    m_drainTimer.stop();
    const QList<Session *> sessions = m_sessions;
    for (Session *session : sessions)
        session->abort("the server stops");
    qCInfo(lcServer) << "drained in" << m_drainClock.elapsed() << "ms";
    emit drained();
}

} // namespace tavrel::server
