#include "server.h"

#include "accounts.h"
#include "answers.h"
#include "bus.h"
#include "database.h"
#include "delivery.h"
#include "files.h"
#include "logging.h"
#include "mailqueue.h"
#include "metrics.h"
#include "protocol.h"
#include "requests.h"
#include "session.h"
#include "store.h"
#include "validation.h"

#include <QDateTime>
#include <QDir>
#include <QLockFile>
#include <QTcpSocket>

namespace tavrel::server {

Server::Server(const Config &config, QObject *parent)
    : QObject(parent)
    , m_config(config)
{
    m_config.dataDir = QDir(config.dataDir).absolutePath();
    connect(&m_listener, &QTcpServer::newConnection, this, &Server::accept);
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
    if (!config.bus.isEmpty() && !parseBusUrl(config.bus, &error))
        return error;
    return QString();
}

bool Server::start()
{
    if (const QString error = configurationError(m_config); !error.isEmpty()) {
        qCCritical(lcServer).noquote() << error;
        return false;
    }
    const QDir data(m_config.dataDir);
    for (const QString &sub : {QStringLiteral("."), QStringLiteral("outbox"), QStringLiteral("files")}) {
        if (!data.mkpath(sub)) {
            qCCritical(lcServer) << "cannot create" << data.filePath(sub);
            return false;
        }
    }
    // Two servers on one database would each count failures and codes on their own.
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
    m_delivery = std::make_unique<OutboxDelivery>(outbox, m_config.mail.fromHeader, std::move(queued));
    m_files = std::make_unique<FileStore>(data.filePath(QStringLiteral("files")));
    m_accounts = std::make_unique<Accounts>(m_config, m_delivery.get());
    if (!m_accounts->prepare())
        return false;
    if (!m_config.bus.isEmpty()) {
        QString ignored;
        m_bus = std::make_unique<Bus>(*parseBusUrl(m_config.bus, &ignored));
        connect(m_bus.get(), &Bus::relayed, this, &Server::broadcast);
        connect(m_bus.get(), &Bus::remoteUsersChanged, this, &Server::onRemoteUsersChanged);
        connect(m_bus.get(), &Bus::userSuperseded, this, &Server::onSuperseded);
        m_bus->start();
    }
    m_listener.setMaxPendingConnections(100);
    if (!m_listener.listen(m_config.listenAddress, m_config.port)) {
        qCCritical(lcServer) << "cannot listen on" << m_config.listenAddress.toString() << m_config.port
                             << m_listener.errorString();
        return false;
    }
    if (m_config.metricsPort >= 0) {
        m_metrics = std::make_unique<MetricsEndpoint>([this] { return gauges(); });
        if (!m_metrics->listen(m_config.metricsAddress, quint16(m_config.metricsPort)))
            return false;
    }
    qCInfo(lcServer).noquote() << "listening on" << m_config.listenAddress.toString()
                               << m_listener.serverPort() << "with data in" << m_config.dataDir;
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
    gauges.workQueue = m_accounts ? m_accounts->pendingWork() : 0;
    return gauges;
}

void Server::stop()
{
    m_listener.close();
    if (m_bus)
        m_bus->leave();
    const QList<Session *> sessions = m_sessions;
    for (Session *session : sessions)
        session->abort("server stops");
    if (m_accounts)
        m_accounts->waitForIdle();
    m_metrics.reset();
    m_accounts.reset();
    m_bus.reset();
    // Only now: the workers that wrote mails and woke the queue are done.
    m_delivery.reset();
    m_mailQueue.reset();
    m_lock.reset();
}

void Server::accept()
{
    while (QTcpSocket *socket = m_listener.nextPendingConnection()) {
        const QString address = socket->peerAddress().toString();
        if (m_sessions.size() >= m_config.maxConnections ||
            m_perAddress.value(address) >= m_config.maxPerAddress) {
            qCWarning(lcServer) << "connection from" << address << "refused: too many connections";
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto *session = new Session(socket, m_config, this);
        m_sessions.append(session);
        ++m_perAddress[address];
        connect(session, &Session::messageReceived, this,
                [this, session](const QByteArray &message) { dispatch(session, message); });
        connect(session, &Session::closed, this, [this, session] { onClosed(session); });
        qCDebug(lcServer) << "connection from" << address;
    }
}

void Server::onClosed(Session *session)
{
    m_sessions.removeOne(session);
    const QString address = session->peerAddress();
    if (--m_perAddress[address] <= 0)
        m_perAddress.remove(address);
    const QString name = session->userName();
    if (!name.isEmpty() && m_online.value(name) == session) {
        m_online.remove(name);
        if (m_bus)
            m_bus->removeLocalUser(name);
        qCInfo(lcServer) << name << "left";
        broadcastUserList();
    }
    session->deleteLater();
}

void Server::dispatch(Session *session, const QByteArray &message)
{
    if (!session->allowMessage()) {
        session->abort("flood");
        return;
    }
    switch (requestKind(message)) {
    case Request::Login:
        session->keepWaitingForLogin();
        handleLogin(session, message);
        break;
    case Request::Registration:
        session->keepWaitingForLogin();
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
        session->send(loginAnswer(answers::busy()));
        return;
    }
    const std::optional<LoginFields> fields = parseLogin(message);
    if (!fields || !isValidUserName(fields->name) || !isSaltedDigest(fields->digest)) {
        metrics().loginsFailed++;
        session->send(loginAnswer(answers::loginRefused()));
        return;
    }
    session->setBusy(true);
    m_accounts->login(*fields, session, [this, session](const Accounts::LoginResult &result) {
        session->setBusy(false);
        (result.outcome == Accounts::LoginResult::Ok ? metrics().loginsSucceeded : metrics().loginsFailed)++;
        switch (result.outcome) {
        case Accounts::LoginResult::Ok:
            loggedIn(session, result.name);
            break;
        case Accounts::LoginResult::Refused:
            session->send(loginAnswer(answers::loginRefused()));
            break;
        case Accounts::LoginResult::Locked:
            session->send(loginAnswer(answers::loginLocked(result.lockedMinutes)));
            break;
        case Accounts::LoginResult::Failed:
            session->send(loginAnswer(answers::internalError()));
            break;
        }
    });
}

void Server::loggedIn(Session *session, const QString &name)
{
    // The connection may have gone while the password was checked; it is deleted later.
    if (session->isClosed())
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
        previous->sendAndClose(chatLine(answers::replaced()));
    }
    m_online.insert(name, session);
    if (m_bus)
        m_bus->addLocalUser(name);
    session->setUserName(name);
    qCInfo(lcServer) << name << "logged in from" << session->peerAddress();
    session->send(loginAnswer(answers::loginOk()));
    broadcastUserList();
}

void Server::handleRegistration(Session *session, const QByteArray &message)
{
    if (session->isBusy()) {
        session->send(registrationAnswer(answers::busy()));
        return;
    }
    const std::optional<RegistrationFields> fields = parseRegistration(message);
    QString refusal;
    if (!fields || !isSaltedDigest(fields->digest))
        refusal = answers::registrationMalformed();
    else if (!isValidUserName(fields->name))
        refusal = answers::nameInvalid();
    else if (!isPlausibleEmail(fields->email))
        refusal = answers::emailInvalid();
    if (!refusal.isEmpty()) {
        session->send(registrationAnswer(refusal));
        return;
    }
    session->setBusy(true);
    m_accounts->registerAccount(*fields, session, [session](const QString &answer) {
        session->setBusy(false);
        session->send(registrationAnswer(answer.isEmpty() ? answers::internalError() : answer));
    });
}

void Server::handleChat(Session *session, const QByteArray &message)
{
    if (!session->isLoggedIn()) {
        session->send(chatLine(answers::loginFirst()));
        return;
    }
    const QString text = requestText(message);
    if (text.isEmpty())
        return;
    if (text.size() > kMaxChatLength) {
        session->send(chatLine(answers::chatTooLong(kMaxChatLength)));
        return;
    }
    if (!session->allowAction()) {
        session->send(chatLine(answers::slowDown()));
        return;
    }
    relay(chatLine(session->userName() + QStringLiteral(": ") + text));
}

bool Server::admitFileAction(Session *session)
{
    if (!session->isLoggedIn()) {
        session->send(chatLine(answers::loginFirst()));
        return false;
    }
    if (!session->allowAction()) {
        session->send(chatLine(answers::slowDown()));
        return false;
    }
    return true;
}

void Server::handleUpload(Session *session, const QByteArray &message)
{
    if (!admitFileAction(session))
        return;
    const std::optional<UploadFields> fields = parseUpload(message);
    if (!fields) {
        session->send(chatLine(answers::uploadBadName()));
        return;
    }
    const FileStore::Saved saved = m_files->save(fields->path, fields->contents);
    if (!saved.ok) {
        session->send(chatLine(saved.refusal));
        return;
    }
    const QString uploader = session->userName();
    const qint64 size = fields->contents.size();
    qCInfo(lcFiles) << uploader << "uploaded" << saved.storedName << size << "bytes";
    const Store::Upload record{saved.storedName, uploader, size, saved.sha256Hex,
                               QDateTime::currentMSecsSinceEpoch()};
    m_accounts->run<bool>(
        this,
        [record](Store &store) { return store.begin() && store.recordUpload(record) && store.commit(); },
        [record](bool ok) {
            if (!ok)
                qCWarning(lcFiles) << "the upload of" << record.storedName << "was not recorded";
        });
    relay(chatLine(answers::uploaded(uploader, saved.storedName, size)));
}

void Server::handleFileRequest(Session *session, const QByteArray &message)
{
    if (!admitFileAction(session))
        return;
    struct Reply
    {
        FileStore::Served served;
        QString uploader;
    };
    const QString requested = requestText(message);
    const FileStore *files = m_files.get();
    m_accounts->run<Reply>(
        session,
        [files, requested](Store &store) {
            Reply reply{files->read(requested), QString()};
            if (reply.served.status == FileStore::Served::Ok && reply.served.image) {
                bool ok = false;
                const std::optional<Store::Upload> upload = store.upload(reply.served.name, &ok);
                // The operator may have replaced an uploaded file since.
                if (upload && upload->sha256Hex == reply.served.sha256Hex)
                    reply.uploader = upload->uploader;
            }
            return reply;
        },
        [session](const Reply &reply) {
            const FileStore::Served &served = reply.served;
            switch (served.status) {
            case FileStore::Served::Ok:
                if (served.image) {
                    const QString sender =
                        reply.uploader.isEmpty() ? answers::serverSender() : reply.uploader;
                    session->send(imageMessage(served.name, sender, served.bytes));
                } else {
                    session->send(fileMessage(served.name, served.bytes));
                }
                qCInfo(lcFiles) << "sent" << served.name << "to" << session->userName();
                break;
            case FileStore::Served::BadName:
                session->send(chatLine(answers::requestBadName()));
                break;
            case FileStore::Served::NotFound:
                session->send(chatLine(answers::noSuchFile(served.name)));
                break;
            case FileStore::Served::TooBig:
                session->send(chatLine(answers::fileTooBig(served.name)));
                break;
            }
        });
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
    broadcast(userList(m_listSent));
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
    session->sendAndClose(chatLine(answers::replaced()));
    broadcastUserList();
}

} // namespace tavrel::server
