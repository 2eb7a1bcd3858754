#include "redis.h"

#include <hiredis/adapters/qt.h>
#include <hiredis/hiredis.h>

#include <QHostInfo>

#include <memory>
#include <vector>

namespace tavrel::server {

namespace {

// A lookup may take as long as the C library's resolver allows before it gives up: 5 s a
// try, two tries, for each of up to three name servers. It waits off the event loop, so
// only the bus waits for it.
constexpr int kLookupTimeoutMs = 30 * 1000;

// hiredis's Qt adapter, with a context of its own to point at once its real one is gone:
// the adapter writes through its context pointer when it is destroyed. The placeholder is
// a base listed first, so it outlives the adapter's destructor.
struct PlaceholderContext
{
    redisAsyncContext placeholder{};
};

class Adapter : private PlaceholderContext, public RedisQtAdapter
{
public:
    // Call once hiredis has called cleanup for the context, or will do so before control
    // returns to the event loop.
    void release()
    {
        placeholder = redisAsyncContext{};
        setContext(&placeholder);
        deleteLater();
    }
};

} // namespace

RedisReply RedisReply::from(const redisReply *reply)
{
    RedisReply out;
    switch (reply->type) {
    case REDIS_REPLY_STRING:
    case REDIS_REPLY_STATUS:
    case REDIS_REPLY_ERROR:
        out.type = reply->type == REDIS_REPLY_STRING   ? String
                   : reply->type == REDIS_REPLY_STATUS ? Status
                                                       : Error;
        out.text = QByteArray(reply->str, qsizetype(reply->len));
        break;
    case REDIS_REPLY_INTEGER:
        out.type = Integer;
        out.integer = reply->integer;
        break;
    case REDIS_REPLY_ARRAY:
        out.type = Array;
        out.elements.reserve(qsizetype(reply->elements));
        for (size_t i = 0; i < reply->elements; ++i)
            out.elements.append(from(reply->element[i]));
        break;
    default:
        out.type = Nil;
        break;
    }
    return out;
}

RedisConnection::RedisConnection(QObject *parent)
    : QObject(parent)
{
    m_connectTimeout.setSingleShot(true);
    connect(&m_connectTimeout, &QTimer::timeout, this,
            [this] { close(QStringLiteral("connect timed out")); });
}

RedisConnection::~RedisConnection()
{
    if (m_lookup >= 0)
        QHostInfo::abortHostLookup(m_lookup);
    if (!m_context)
        return;
    // Replies still due are dropped: their handlers belong to an owner that is going too.
    redisAsyncContext *context = m_context;
    context->data = nullptr;
    m_context = nullptr;
    static_cast<Adapter *>(m_adapter)->release();
    m_adapter = nullptr;
    redisAsyncFree(context);
}

namespace {

QByteArrayList authCommand(const RedisCredentials &credentials)
{
    QByteArrayList command{"AUTH"};
    if (!credentials.user.isEmpty())
        command.append(credentials.user.toUtf8());
    command.append(credentials.password);
    return command;
}

} // namespace

void RedisConnection::open(const QString &host, quint16 port, int timeoutMs,
                           const RedisCredentials &credentials)
{
    ++m_generation;
    m_credentials = credentials;
    if (m_lookup >= 0) {
        QHostInfo::abortHostLookup(m_lookup);
        m_lookup = -1;
    }
    if (m_context) {
        // Its handlers hear nullopt; its closing is not reported, being older than this.
        redisAsyncContext *old = m_context;
        m_context = nullptr;
        static_cast<Adapter *>(m_adapter)->release();
        m_adapter = nullptr;
        redisAsyncFree(old);
    }
    m_connected = false;
    m_connectTimeoutMs = timeoutMs;
    if (const QHostAddress literal(host); !literal.isNull()) {
        connectTo(literal, port);
        return;
    }
    // hiredis would look the name up itself, blocking this thread until the resolver answers.
    m_connectTimeout.start(kLookupTimeoutMs);
    const quint64 generation = m_generation;
    m_lookup = QHostInfo::lookupHost(host, this, [this, generation, host, port](const QHostInfo &info) {
        if (generation != m_generation)
            return;
        m_lookup = -1;
        m_connectTimeout.stop();
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            notifyClosed(QStringLiteral("cannot look up %1: %2").arg(host, info.errorString()));
            return;
        }
        connectTo(info.addresses().constFirst(), port);
    });
}

void RedisConnection::connectTo(const QHostAddress &address, quint16 port)
{
    m_address = address;
    redisAsyncContext *context = redisAsyncConnect(address.toString().toLatin1().constData(), port);
    if (!context || context->err) {
        const QString why =
            context ? QString::fromLocal8Bit(context->errstr) : QStringLiteral("out of memory");
        if (context)
            redisAsyncFree(context);
        notifyClosed(why);
        return;
    }
    m_context = context;
    m_context->data = this;
    m_adapter = new Adapter;
    m_adapter->setContext(m_context);
    redisAsyncSetDisconnectCallback(m_context, &RedisConnection::onDisconnect);
    // Setting the connect callback starts watching for the socket to become writable,
    // which is how hiredis sees the connection come up; the adapter must be set first.
    redisAsyncSetConnectCallback(m_context, &RedisConnection::onConnect);
    m_connectTimeout.start(m_connectTimeoutMs);
}

void RedisConnection::close(const QString &why)
{
    if (m_lookup >= 0) {
        // Still looking the host up: its answer is no longer wanted.
        QHostInfo::abortHostLookup(m_lookup);
        m_lookup = -1;
        ++m_generation;
        m_connectTimeout.stop();
        notifyClosed(why);
        return;
    }
    if (!m_context)
        return;
    redisAsyncContext *context = m_context;
    forget(why);
    // Handlers still waiting hear nullopt; from within a reply callback hiredis frees the
    // context once that callback has returned.
    redisAsyncFree(context);
}

void RedisConnection::forget(const QString &why)
{
    m_connectTimeout.stop();
    m_context = nullptr;
    m_connected = false;
    if (m_adapter) {
        static_cast<Adapter *>(m_adapter)->release();
        m_adapter = nullptr;
    }
    notifyClosed(why);
}

void RedisConnection::notifyClosed(const QString &why)
{
    // Queued: hiredis must not see its context freed, or a new one made, from inside its
    // own connect and disconnect callbacks.
    const quint64 generation = m_generation;
    QMetaObject::invokeMethod(
        this,
        [this, generation, why] {
            if (generation == m_generation)
                emit closed(why);
        },
        Qt::QueuedConnection);
}

void RedisConnection::onConnect(const redisAsyncContext *context, int status)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    if (!self || self->m_context != context)
        return;
    if (status != REDIS_OK) {
        // hiredis frees the context when this returns.
        self->forget(QString::fromLocal8Bit(context->errstr));
        return;
    }
    self->m_connected = true;
    const quint64 generation = self->m_generation;
    QMetaObject::invokeMethod(
        self,
        [self, generation] {
            if (generation == self->m_generation && self->isOpen())
                self->admit();
        },
        Qt::QueuedConnection);
}

void RedisConnection::admit()
{
    if (m_credentials.password.isEmpty()) {
        m_connectTimeout.stop();
        emit opened();
        return;
    }
    // The connect timeout still runs: a Redis that does not answer AUTH is as good as gone.
    const quint64 generation = m_generation;
    command(authCommand(m_credentials), [this, generation](const std::optional<RedisReply> &reply) {
        if (generation != m_generation || !reply)
            return;
        if (reply->isError()) {
            close(QStringLiteral("AUTH refused: ") + QString::fromUtf8(reply->text));
            return;
        }
        m_connectTimeout.stop();
        emit opened();
    });
}

void RedisConnection::onDisconnect(const redisAsyncContext *context, int status)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    if (!self || self->m_context != context)
        return;
    self->forget(status == REDIS_OK ? QStringLiteral("closed")
                                    : QString::fromLocal8Bit(context->errstr ? context->errstr : ""));
}

void RedisConnection::onReply(redisAsyncContext *context, void *reply, void *handler)
{
    std::unique_ptr<ReplyHandler> owned(static_cast<ReplyHandler *>(handler));
    if (!context->data || !owned || !*owned)
        return;
    if (reply)
        (*owned)(RedisReply::from(static_cast<redisReply *>(reply)));
    else
        (*owned)(std::nullopt);
}

void RedisConnection::onSubscription(redisAsyncContext *context, void *reply, void *)
{
    auto *self = static_cast<RedisConnection *>(context->data);
    if (!self || !reply || !self->m_subscriber)
        return;
    self->m_subscriber(RedisReply::from(static_cast<redisReply *>(reply)));
}

namespace {

struct Arguments
{
    explicit Arguments(const QByteArrayList &list)
    {
        for (const QByteArray &argument : list) {
            pointers.push_back(argument.constData());
            sizes.push_back(size_t(argument.size()));
        }
    }
    std::vector<const char *> pointers;
    std::vector<size_t> sizes;
};

} // namespace

bool RedisConnection::command(const QByteArrayList &arguments, ReplyHandler handler)
{
    if (!isOpen())
        return false;
    Arguments args(arguments);
    auto *owned = new ReplyHandler(std::move(handler));
    if (redisAsyncCommandArgv(m_context, &RedisConnection::onReply, owned, int(args.pointers.size()),
                              args.pointers.data(), args.sizes.data()) != REDIS_OK) {
        delete owned;
        return false;
    }
    return true;
}

bool RedisConnection::subscribe(const QByteArrayList &channels,
                                std::function<void(const RedisReply &)> handler)
{
    if (!isOpen())
        return false;
    m_subscriber = std::move(handler);
    // The strings must outlive args, which only points at them.
    const QByteArrayList command = QByteArrayList{"SUBSCRIBE"} + channels;
    Arguments args(command);
    return redisAsyncCommandArgv(m_context, &RedisConnection::onSubscription, nullptr,
                                 int(args.pointers.size()), args.pointers.data(),
                                 args.sizes.data()) == REDIS_OK;
}

std::optional<QList<RedisReply>> RedisConnection::runBlocking(const QString &host, quint16 port,
                                                              int timeoutMs,
                                                              const QList<QByteArrayList> &requested,
                                                              QString *error,
                                                              const RedisCredentials &credentials)
{
    const bool login = !credentials.password.isEmpty();
    const QList<QByteArrayList> commands =
        login ? QList<QByteArrayList>{authCommand(credentials)} + requested : requested;
    const timeval timeout{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    std::unique_ptr<redisContext, decltype(&redisFree)> context(
        redisConnectWithTimeout(host.toLatin1().constData(), port, timeout), &redisFree);
    if (!context || context->err) {
        *error = context ? QString::fromLocal8Bit(context->errstr) : QStringLiteral("out of memory");
        return std::nullopt;
    }
    redisSetTimeout(context.get(), timeout);
    for (const QByteArrayList &command : commands) {
        Arguments args(command);
        redisAppendCommandArgv(context.get(), int(args.pointers.size()), args.pointers.data(),
                               args.sizes.data());
    }
    QList<RedisReply> replies;
    for (qsizetype i = 0; i < commands.size(); ++i) {
        void *reply = nullptr;
        if (redisGetReply(context.get(), &reply) != REDIS_OK) {
            *error = QString::fromLocal8Bit(context->errstr);
            return std::nullopt;
        }
        replies.append(RedisReply::from(static_cast<redisReply *>(reply)));
        freeReplyObject(reply);
        if (login && i == 0 && replies.first().isError()) {
            *error = QStringLiteral("AUTH refused: ") + QString::fromUtf8(replies.first().text);
            return std::nullopt;
        }
    }
    if (login)
        replies.removeFirst();
    return replies;
}

} // namespace tavrel::server
