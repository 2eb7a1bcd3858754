#pragma once

#include <QByteArrayList>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <optional>

class RedisQtAdapter;
struct redisAsyncContext;
struct redisReply;

namespace tavrel::server {

// A reply from Redis, copied out of hiredis's buffers so that it can outlive the callback.
struct RedisReply
{
    enum Type { String, Array, Integer, Nil, Status, Error } type = Nil;
    QByteArray text; // String, Status, Error
    long long integer = 0;
    QList<RedisReply> elements;

    static RedisReply from(const redisReply *reply);
    bool isError() const { return type == Error; }
};

// Who a connection speaks as: an ACL user (empty: the default user) and its password
// (empty: no AUTH at all).
struct RedisCredentials
{
    QString user;
    QByteArray password;
};

// One asynchronous connection to Redis, driven by Qt's event loop through hiredis's Qt
// adapter. It does not reconnect by itself: the owner decides when and how often.
class RedisConnection : public QObject
{
    Q_OBJECT
public:
    // nullopt: the connection went before the reply came.
    using ReplyHandler = std::function<void(const std::optional<RedisReply> &)>;

    explicit RedisConnection(QObject *parent = nullptr);
    // Drops the connection without calling back: replies still due are forgotten.
    ~RedisConnection() override;

    // Starts connecting; ends in opened() or closed(). A host name is looked up off this
    // thread first: a lookup can take seconds, which the event loop must not wait for. The
    // connection then has timeoutMs to come up and, with a password, to be let in by AUTH
    // before opened(); a refused AUTH closes it. A connection still open is dropped first,
    // silently.
    void open(const QString &host, quint16 port, int timeoutMs, const RedisCredentials &credentials = {});
    // The address the last lookup found (the host itself when it is an address); null before.
    QHostAddress address() const { return m_address; }
    // Drops the connection at once, without waiting for replies; closed() follows, and
    // every handler still waiting gets nullopt.
    void close(const QString &why);
    bool isOpen() const { return m_context && m_connected; }

    // Queues a command; the handler runs with its reply. False when there is no
    // connection to queue it on.
    bool command(const QByteArrayList &arguments, ReplyHandler handler = {});
    // Subscribes to channels. Their messages, and the subscribe confirmations, go to
    // handler (the reply's elements: "message", channel, payload). Once subscribed, the
    // connection takes no other command.
    bool subscribe(const QByteArrayList &channels, std::function<void(const RedisReply &)> handler);

    // Connects, sends the commands, waits for their replies and disconnects, blocking for
    // at most about timeoutMs per step; for when there is no event loop to wait in.
    // A refused AUTH is an error.
    static std::optional<QList<RedisReply>> runBlocking(const QString &host, quint16 port, int timeoutMs,
                                                        const QList<QByteArrayList> &commands, QString *error,
                                                        const RedisCredentials &credentials = {});

signals:
    void opened();
    void closed(const QString &why);

private:
    static void onConnect(const redisAsyncContext *context, int status);
    static void onDisconnect(const redisAsyncContext *context, int status);
    static void onReply(redisAsyncContext *context, void *reply, void *handler);
    static void onSubscription(redisAsyncContext *context, void *reply, void *privdata);
    void connectTo(const QHostAddress &address, quint16 port);
    // Connected: logs in when there is a password, then reports the connection open.
    void admit();
    // The context is gone or going; nothing may use it any more.
    void forget(const QString &why);
    void notifyClosed(const QString &why);

    redisAsyncContext *m_context = nullptr;
    bool m_connected = false;
    // One adapter per context, released with it.
    RedisQtAdapter *m_adapter = nullptr;
    // Counts open() calls, so that news of an earlier context is not taken for the current one.
    quint64 m_generation = 0;
    // The host name lookup in progress, or -1.
    int m_lookup = -1;
    int m_connectTimeoutMs = 0;
    RedisCredentials m_credentials;
    QHostAddress m_address;
    std::function<void(const RedisReply &)> m_subscriber;
    QTimer m_connectTimeout;
};

} // namespace tavrel::server
