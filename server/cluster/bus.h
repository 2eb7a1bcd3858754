#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <deque>
#include <functional>
#include <optional>

namespace tavrel::server {

class RedisConnection;
struct RedisReply;

// Where the bus is, redis://[user@]host:port, and the password from passwordFile (none when
// that is empty): the URL never holds it, for the process list would show it.
struct BusAddress
{
    QString host;
    quint16 port = 6379;
    QString user;
    QByteArray password;
};
std::optional<BusAddress> parseBusUrl(const QString &url, const QString &passwordFile, QString *error);

// The key the instances share to seal what they put on the bus, from the first line of
// path; nullopt, with the reason, when there is none fit for it.
std::optional<QByteArray> readBusKey(const QString &path, QString *error);

// Everything an instance puts on the bus, published or kept under a key, is sealed:
//
//   tag sentAt ' ' sequence '\n' message
//
// tag: 32 bytes of crypto_auth (HMAC-SHA-512-256) with the shared key over the rest;
// sentAt: the sender's wall clock in ms; sequence: counts the sender's sealed messages.
// Without the key nothing can be sealed, and what was sealed cannot be changed. A message
// older than the freshness window, or whose sequence its sender has passed already, is a
// replay.
struct Sealed
{
    // -1 both: sealed with the key, yet not of this form.
    qint64 sentAtMs = 0;
    qint64 sequence = 0;
    QByteArray message;
};
QByteArray seal(const QByteArray &key, const Sealed &sealed);
std::optional<Sealed> unseal(const QByteArray &key, const QByteArray &bytes);

// What travels between instances, one Redis pub/sub message each:
//
//   kind ' ' origin ' ' number [' ' age] '\n' payload
//
// origin names the instance that sent it (16 hex digits, new at every start). Kinds:
//   'm'  a message for every logged-in session; number: the origin's sequence number
//   'r'  the same, sent again after a loss; age: milliseconds since it was first sent
//   'p'  the origin's logged-in users; number: a version, newer wins; payload: lines of
//        clock '\t' name, the clock of the login that a newer login elsewhere replaces
//   'h'  "I am (back) on the bus"; number 1 asks the others to say the same; payload: how
//        many milliseconds the sender has been running. The others send again what they
//        sent in that time.
//   'g'  the origin leaves
// The same 'p' text is the origin's presence key, so one reader serves both.
struct BusMessage
{
    char kind = 0;
    QByteArray origin;
    qint64 number = 0;
    QByteArray payload;
    qint64 ageMs = 0; // 'r' only
    // When the sender sealed it, by its wall clock; not part of the text above.
    qint64 sealedAtMs = 0;
};
QByteArray encodeBusMessage(const BusMessage &message);
std::optional<BusMessage> decodeBusMessage(const QByteArray &bytes);

// Lines of number '\t' text, as in presence payloads.
using NumberedLines = QList<QPair<qint64, QByteArray>>;
QByteArray encodeNumberedLines(const NumberedLines &lines);
std::optional<NumberedLines> decodeNumberedLines(const QByteArray &payload);

// The sequence numbers of one origin taken lately, so that none is taken twice however
// often it comes. A message is sent again only while it is young, so numbers need to be
// remembered only a while longer than that.
class RecentNumbers
{
public:
    // False when the number was taken before and not yet forgotten.
    bool take(qint64 number, qint64 nowMs);
    // Forgets the numbers taken before this time.
    void forget(qint64 beforeMs);
    bool isEmpty() const { return m_numbers.isEmpty(); }

private:
    std::deque<QPair<qint64, qint64>> m_order; // when taken, number
    QSet<qint64> m_numbers;
};

// Orders logins across instances: the later login of a name replaces the earlier. A
// logical clock, moved past every clock seen from other instances, so that a login made
// after another was heard of is later whatever the machines' clocks say; equal clocks are
// ordered by instance.
struct LoginStamp
{
    qint64 clock = 0;
    QByteArray instance;
    bool operator<(const LoginStamp &other) const
    {
        return clock != other.clock ? clock < other.clock : instance < other.instance;
    }
};

// The fan-out between instances over Redis: messages for every session, each instance's
// logged-in users, and the rule that a newer login of a name closes the older one.
//
// A message is published once. While the bus is live (publishing and subscribed) an
// instance delivers its own messages when they come back from Redis, so that every
// instance's sessions see all messages in the one order Redis gives them. Without the
// bus, it delivers them at once and keeps serving its own users. Messages of the last
// half minute are kept and sent again ('r') when the bus comes back, and whenever an
// instance that may have missed some says hello; each instance takes each origin's
// number once, and nothing sent before it started.
class Bus : public QObject
{
    Q_OBJECT
public:
    struct Timing
    {
        // Presence is written this often and lives this long without being written, so
        // the users of an instance that died leave the others' lists within ttl plus one beat.
        int beatMs = 1000;
        int presenceTtlMs = 5000;
        // A connection with no answer for this long is taken as lost.
        int stallMs = 3000;
        int connectTimeoutMs = 2000;
        // Reconnection waits double from the first to the last, with a fifth of jitter.
        int retryFirstMs = 100;
        int retryLastMs = 2000;
        int backlogMs = 30 * 1000;
    };

    // key: what readBusKey gives, the same at every instance.
    Bus(const BusAddress &address, const QByteArray &key, QObject *parent = nullptr);
    Bus(const BusAddress &address, const QByteArray &key, const Timing &timing, QObject *parent = nullptr);
    ~Bus() override;

    void start();
    // Tells the others this instance leaves, so its users vanish from their lists at once.
    // Blocks for at most about a second.
    void leave();
    // Stops all traffic at once without a word, as a crash would.
    void abandon();

    QByteArray instance() const { return m_instance; }
    bool isLive() const { return m_live; }

    // Sends a message to the sessions of every instance, this one's through relayed().
    void publish(const QByteArray &message);

    // A login here: it replaces any older login of the name elsewhere.
    void addLocalUser(const QString &name);
    void removeLocalUser(const QString &name);
    // The users logged in at the other instances that are alive.
    QStringList remoteUsers() const;

signals:
    // A message for this instance's sessions.
    void relayed(const QByteArray &message);
    void remoteUsersChanged();
    // A newer login of this local user was made elsewhere; the session is to be closed.
    void userSuperseded(const QString &name);

private:
    struct Entry
    {
        qint64 number = 0;
        QByteArray message;
        qint64 atMs = 0;
    };
    struct Remote
    {
        qint64 version = -1;
        QHash<QString, qint64> users; // name -> login clock
        qint64 deadlineMs = 0;
    };

    qint64 nowMs() const { return m_clock.elapsed(); }
    void connectPublisher();
    void connectSubscriber();
    void onConnectionLost(bool publisher, const QString &why);
    void scheduleRetry(bool publisher);
    void onSubscription(const RedisReply &reply);
    enum class Drop { Unauthenticated, Malformed, Oversized, Replayed };
    // Counts a message that is not taken, and says so in the log at most once a minute.
    void dropped(Drop why);
    // The message inside a sealed presence value or publication, if it is genuine and fresh.
    std::optional<BusMessage> openSealed(const QByteArray &bytes, bool published);
    bool send(const BusMessage &message);
    QByteArray sealed(const QByteArray &message);
    void updateLive();
    void beat();
    void poll();
    void onBusMessage(const BusMessage &message);
    void take(const BusMessage &message);
    void deliverLocally(const Entry &entry);
    // Sends again the kept messages taken after this time (nowMs()).
    void sendAgain(qint64 sinceMs);
    void sayHello(bool ask);
    void schedulePresence();
    void publishPresence();
    void writePresence();
    void updateRemote(const QByteArray &origin, qint64 version, const NumberedLines &users);
    void dropRemote(const QByteArray &origin);
    void pruneBacklog();
    // Asks for the kept messages sent since this time (nowMs()) to be sent again, with a
    // hello back when answer is set; both go out together, at most once a resend interval.
    void scheduleResend(qint64 sinceMs, bool answer);
    void resend();
    // A command on the publishing connection; then runs with its reply unless that is an error.
    bool call(const QByteArrayList &arguments, std::function<void(const RedisReply &)> then = {});

    BusAddress m_address;
    QByteArray m_key;
    Timing m_timing;
    QByteArray m_instance;
    QByteArray m_channel;
    QByteArray m_beatChannel;
    QByteArray m_presenceKey;
    QElapsedTimer m_clock;
    RedisConnection *m_publisher;
    RedisConnection *m_subscriber;
    bool m_subscribed = false;
    bool m_live = false;
    bool m_running = false;
    bool m_lossLogged = false;
    qint64 m_lostAtMs = 0;
    int m_publisherRetryMs = 0;
    int m_subscriberRetryMs = 0;
    QTimer m_publisherRetry;
    QTimer m_subscriberRetry;
    QTimer m_beat;
    QTimer m_presenceDue;
    qint64 m_lastPublisherReplyMs = 0;
    int m_publisherWaiting = 0;
    qint64 m_lastSubscriberTrafficMs = 0;

    // The sequence of the last message sealed here, and of the last heard from each origin
    // with when (m_clock) it was heard.
    qint64 m_sealed = 0;
    QHash<QByteArray, QPair<qint64, qint64>> m_heard;
    QElapsedTimer m_dropLogged;
    int m_dropsUnlogged = 0;
    QTimer m_resendDue;
    QElapsedTimer m_lastResend;
    std::optional<qint64> m_resendSinceMs;
    bool m_answerHello = false;

    qint64 m_number = 0;
    std::deque<Entry> m_backlog;
    qint64 m_backlogBytes = 0;
    qint64 m_startedMs = 0;
    QHash<QByteArray, RecentNumbers> m_origins;

    qint64 m_loginClock = 0;
    QHash<QString, LoginStamp> m_local;
    qint64 m_presenceVersion = 0;
    QByteArray m_presence;
    QHash<QByteArray, Remote> m_remotes;
};

} // namespace tavrel::server
