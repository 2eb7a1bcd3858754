#include "bus.h"

#include "configvalues.h"
#include "logging.h"
#include "metrics.h"
#include "names.h"
#include "redis.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QUrl>

#include <sodium.h>

#include <cstring>
#include <memory>

namespace tavrel::server {

namespace {

const QByteArray kChannel = QByteArrayLiteral("tavrel:bus");
const QByteArray kInstances = QByteArrayLiteral("tavrel:instances");
constexpr int kOriginSize = 16;
// Bounds of the backlog besides its age: 300 users sending a line a second fill half a
// minute with 9,000 messages of about 100 bytes.
constexpr size_t kMaxBacklogMessages = 50000;
constexpr qint64 kMaxBacklogBytes = 16 * 1024 * 1024;
// The largest message relayed to sessions: a chat line of 2000 UTF-16 units is at most 6000
// bytes of UTF-8, with the sender's name and the prefixes in front; notices are shorter.
// A longer one would cut every session off as a reader too slow for it.
constexpr qsizetype kMaxRelayedBytes = 16 * 1024;
// The largest sealed message: a presence of 14,000 users of the longest names (32
// characters of 4 bytes, a 13-digit clock: 143 bytes a line), far more than an instance
// serves by default (1000 connections).
constexpr qsizetype kMaxSealedBytes = 2 * 1024 * 1024;
// The key file's first line: at least as many characters as 32 random bytes in base64
// (head -c 32 /dev/urandom | base64) give, less its padding.
constexpr qsizetype kMinKeyCharacters = 43;
// Sealed messages older than this, by the receiver's clock, are taken for replays. Clocks
// kept by NTP agree to within milliseconds; a minute also covers a Redis that stalls for a
// while and a message that waits on the way (the bus keeps its backlog for half as long).
constexpr qint64 kFreshnessMs = 60 * 1000;
// At most one resend, and one hello back, this often, however many hellos come: an
// instance whose connection flaps does not make the others repeat their backlog in a loop.
constexpr int kResendIntervalMs = 1000;
// How far the instances' wall clocks may disagree when one counts how long another's hello
// was on its way: clocks kept by NTP agree to within milliseconds; a second more of messages
// sent again costs little, as the receiver drops what is older than itself.
constexpr qint64 kClockSlackMs = 1000;
// The log says that messages were dropped at most this often.
constexpr qint64 kDropLogIntervalMs = 60 * 1000;
constexpr int kTagSize = crypto_auth_BYTES;

bool isHexId(const QByteArray &id)
{
    if (id.size() != kOriginSize)
        return false;
    return std::all_of(id.begin(), id.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

std::optional<qint64> parseCount(const QByteArray &digits)
{
    // toLongLong takes signs and blanks; a count is digits only.
    if (digits.isEmpty() || digits.size() > 18 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return std::nullopt;
    return digits.toLongLong();
}

} // namespace

std::optional<BusAddress> parseBusUrl(const QString &text, const QString &passwordFile, QString *error)
{
    const QUrl url(text, QUrl::StrictMode);
    BusAddress address;
    if (!url.isValid() || url.scheme() != QLatin1String("redis") || url.host().isEmpty()) {
        *error = QStringLiteral("--bus needs redis://[user@]host:port, got ") + text;
        return std::nullopt;
    }
    if (!url.password().isEmpty()) {
        *error =
            QStringLiteral("--bus: give the password with --bus-password-file, not in the URL, where the "
                           "process list shows it");
        return std::nullopt;
    }
    if ((!url.path().isEmpty() && url.path() != QLatin1String("/")) || url.hasQuery() || url.hasFragment()) {
        *error = QStringLiteral("--bus takes only a user, a host and a port: ") + text;
        return std::nullopt;
    }
    address.host = url.host();
    address.port = quint16(url.port(6379));
    address.user = url.userName();
    if (address.port == 0) {
        *error = QStringLiteral("--bus needs a port from 1 to 65535: ") + text;
        return std::nullopt;
    }
    if (!address.user.isEmpty() && passwordFile.isEmpty()) {
        *error = QStringLiteral("--bus names the user %1: its password goes in --bus-password-file")
                     .arg(address.user);
        return std::nullopt;
    }
    QString why;
    if (!passwordFile.isEmpty() && !readSecretFile(passwordFile, &address.password, &why)) {
        *error = QStringLiteral("--bus-password-file: ") + why;
        return std::nullopt;
    }
    return address;
}

std::optional<QByteArray> readBusKey(const QString &path, QString *error)
{
    QByteArray line;
    QString why;
    if (path.isEmpty()) {
        *error = QStringLiteral("--bus needs --bus-key-file: every instance seals what it puts on the bus "
                                "with that key, so that nobody else who reaches Redis can speak on it");
        return std::nullopt;
    }
    if (!readSecretFile(path, &line, &why)) {
        *error = QStringLiteral("--bus-key-file: ") + why;
        return std::nullopt;
    }
    if (line.size() < kMinKeyCharacters) {
        *error = QStringLiteral("--bus-key-file: the key needs at least %1 characters, such as "
                                "head -c 32 /dev/urandom | base64 gives")
                     .arg(kMinKeyCharacters);
        return std::nullopt;
    }
    // Whatever the line holds, the key is 32 bytes spread over all of it.
    QByteArray key(crypto_auth_KEYBYTES, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char *>(key.data()), size_t(key.size()),
                       reinterpret_cast<const unsigned char *>(line.constData()), size_t(line.size()),
                       reinterpret_cast<const unsigned char *>("tavrel bus"), 10);
    sodium_memzero(line.data(), size_t(line.size()));
    return key;
}

QByteArray seal(const QByteArray &key, const Sealed &sealed)
{
    const QByteArray body = QByteArray::number(sealed.sentAtMs) + ' ' + QByteArray::number(sealed.sequence) +
                            '\n' + sealed.message;
    QByteArray out(kTagSize, Qt::Uninitialized);
    crypto_auth(reinterpret_cast<unsigned char *>(out.data()),
                reinterpret_cast<const unsigned char *>(body.constData()), quint64(body.size()),
                reinterpret_cast<const unsigned char *>(key.constData()));
    return out + body;
}

std::optional<Sealed> unseal(const QByteArray &key, const QByteArray &bytes)
{
    if (bytes.size() <= kTagSize || key.size() != crypto_auth_KEYBYTES ||
        crypto_auth_verify(reinterpret_cast<const unsigned char *>(bytes.constData()),
                           reinterpret_cast<const unsigned char *>(bytes.constData()) + kTagSize,
                           quint64(bytes.size() - kTagSize),
                           reinterpret_cast<const unsigned char *>(key.constData())) != 0)
        return std::nullopt;
    const qsizetype headerEnd = bytes.indexOf('\n', kTagSize);
    const QList<QByteArray> header = bytes.mid(kTagSize, headerEnd - kTagSize).split(' ');
    const std::optional<qint64> sentAt = parseCount(header.value(0));
    const std::optional<qint64> sequence = parseCount(header.value(1));
    // Only a sender with the key could have sealed a header of another form.
    if (headerEnd < 0 || header.size() != 2 || !sentAt || !sequence)
        return Sealed{-1, -1, {}};
    return Sealed{*sentAt, *sequence, bytes.mid(headerEnd + 1)};
}

QByteArray encodeBusMessage(const BusMessage &message)
{
    QByteArray out;
    out.reserve(kOriginSize + 24 + message.payload.size());
    out += message.kind;
    out += ' ';
    out += message.origin;
    out += ' ';
    out += QByteArray::number(message.number);
    if (message.kind == 'r') {
        out += ' ';
        out += QByteArray::number(message.ageMs);
    }
    out += '\n';
    out += message.payload;
    return out;
}

std::optional<BusMessage> decodeBusMessage(const QByteArray &bytes)
{
    const qsizetype headerEnd = bytes.indexOf('\n');
    if (headerEnd < 0)
        return std::nullopt;
    const QList<QByteArray> header = bytes.left(headerEnd).split(' ');
    if (header.size() < 3 || header.at(0).size() != 1 || header.at(0).at(0) == '\0' ||
        !std::strchr("mrphg", header.at(0).at(0)) || !isHexId(header.at(1)))
        return std::nullopt;
    const char kind = header.at(0).at(0);
    const std::optional<qint64> number = parseCount(header.at(2));
    const std::optional<qint64> age = header.size() == 4 ? parseCount(header.at(3)) : std::nullopt;
    if (!number || header.size() != (kind == 'r' ? 4 : 3) || (kind == 'r' && !age))
        return std::nullopt;
    return BusMessage{kind, header.at(1), *number, bytes.mid(headerEnd + 1), age.value_or(0)};
}

QByteArray encodeNumberedLines(const NumberedLines &lines)
{
    QByteArray out;
    for (const auto &[number, text] : lines) {
        if (!out.isEmpty())
            out += '\n';
        out += QByteArray::number(number) + '\t' + text;
    }
    return out;
}

std::optional<NumberedLines> decodeNumberedLines(const QByteArray &payload)
{
    NumberedLines lines;
    if (payload.isEmpty())
        return lines;
    for (const QByteArray &line : payload.split('\n')) {
        const qsizetype tab = line.indexOf('\t');
        const std::optional<qint64> number = tab < 0 ? std::nullopt : parseCount(line.left(tab));
        if (!number || tab + 1 == line.size())
            return std::nullopt;
        lines.append({*number, line.mid(tab + 1)});
    }
    return lines;
}

bool RecentNumbers::take(qint64 number, qint64 nowMs)
{
    if (m_numbers.contains(number))
        return false;
    m_numbers.insert(number);
    m_order.push_back({nowMs, number});
    return true;
}

void RecentNumbers::forget(qint64 beforeMs)
{
    while (!m_order.empty() && m_order.front().first < beforeMs) {
        m_numbers.remove(m_order.front().second);
        m_order.pop_front();
    }
}

Bus::Bus(const BusAddress &address, const QByteArray &key, QObject *parent)
    : Bus(address, key, Timing(), parent)
{}

Bus::Bus(const BusAddress &address, const QByteArray &key, const Timing &timing, QObject *parent)
    : QObject(parent)
    , m_address(address)
    , m_key(key)
    , m_timing(timing)
    , m_instance(
          QByteArray::number(QRandomGenerator::system()->generate64(), 16).rightJustified(kOriginSize, '0'))
    , m_channel(kChannel)
    , m_beatChannel(QByteArrayLiteral("tavrel:beat:") + m_instance)
    , m_presenceKey(QByteArrayLiteral("tavrel:presence:") + m_instance)
    , m_publisher(new RedisConnection(this))
    , m_subscriber(new RedisConnection(this))
{
    m_clock.start();
    for (QTimer *timer : {&m_publisherRetry, &m_subscriberRetry, &m_presenceDue, &m_resendDue})
        timer->setSingleShot(true);
    connect(&m_resendDue, &QTimer::timeout, this, &Bus::resend);
    connect(&m_publisherRetry, &QTimer::timeout, this, &Bus::connectPublisher);
    connect(&m_subscriberRetry, &QTimer::timeout, this, &Bus::connectSubscriber);
    connect(&m_beat, &QTimer::timeout, this, &Bus::beat);
    connect(&m_presenceDue, &QTimer::timeout, this, &Bus::publishPresence);

    connect(m_publisher, &RedisConnection::opened, this, [this] {
        m_publisherRetryMs = 0;
        m_publisherWaiting = 0;
        // Names the connection in CLIENT LIST, for an operator wondering whose it is.
        call({"CLIENT", "SETNAME", "tavrel-publisher-" + m_instance});
        writePresence();
        poll();
        updateLive();
    });
    connect(m_publisher, &RedisConnection::closed, this,
            [this](const QString &why) { onConnectionLost(true, why); });
    connect(m_subscriber, &RedisConnection::opened, this, [this] {
        m_subscriberRetryMs = 0;
        m_lastSubscriberTrafficMs = nowMs();
        m_subscriber->command({"CLIENT", "SETNAME", "tavrel-subscriber-" + m_instance});
        m_subscriber->subscribe({m_channel, m_beatChannel},
                                [this](const RedisReply &reply) { onSubscription(reply); });
    });
    connect(m_subscriber, &RedisConnection::closed, this, [this](const QString &why) {
        m_subscribed = false;
        onConnectionLost(false, why);
    });
}

Bus::~Bus()
{
    abandon();
}

void Bus::start()
{
    if (m_running)
        return;
    m_running = true;
    m_startedMs = nowMs();
    m_loginClock = QDateTime::currentMSecsSinceEpoch();
    publishPresence();
    connectPublisher();
    connectSubscriber();
    m_beat.start(m_timing.beatMs);
}

void Bus::abandon()
{
    m_running = false;
    for (QTimer *timer : {&m_publisherRetry, &m_subscriberRetry, &m_presenceDue, &m_beat, &m_resendDue})
        timer->stop();
    m_subscribed = false;
    m_publisher->close(QStringLiteral("abandoned"));
    m_subscriber->close(QStringLiteral("abandoned"));
    m_live = false;
}

void Bus::leave()
{
    if (!m_running)
        return;
    // Nothing of ours goes unseen here for want of its echo.
    for (const Entry &entry : m_backlog)
        deliverLocally(entry);
    abandon();
    // A connection of its own, blocking and short: this runs while the server stops,
    // possibly outside the event loop.
    const QByteArray goodbye = sealed(encodeBusMessage({'g', m_instance, 0, {}}));
    QString error;
    // The address found when the bus connected: a lookup now could block for longer.
    const QHostAddress found = m_publisher->address();
    if (!RedisConnection::runBlocking(
            found.isNull() ? m_address.host : found.toString(), m_address.port, 500,
            {{"DEL", m_presenceKey}, {"SREM", kInstances, m_instance}, {"PUBLISH", m_channel, goodbye}},
            &error, {m_address.user, m_address.password})) {
        qCWarning(lcBus).noquote() << "cannot tell the other instances that this one leaves:" << error;
        return;
    }
    qCInfo(lcBus) << "left the bus";
}

void Bus::connectPublisher()
{
    if (m_running)
        m_publisher->open(m_address.host, m_address.port, m_timing.connectTimeoutMs,
                          {m_address.user, m_address.password});
}

void Bus::connectSubscriber()
{
    if (m_running)
        m_subscriber->open(m_address.host, m_address.port, m_timing.connectTimeoutMs,
                           {m_address.user, m_address.password});
}

void Bus::onConnectionLost(bool publisher, const QString &why)
{
    if (!m_running)
        return;
    if (!m_lossLogged) {
        qCWarning(lcBus).noquote() << "lost Redis at"
                                   << m_address.host + u':' + QString::number(m_address.port)
                                   << "(" + why + "); serving this instance's users alone and reconnecting";
        m_lossLogged = true;
        m_lostAtMs = nowMs();
    }
    updateLive();
    scheduleRetry(publisher);
}

void Bus::scheduleRetry(bool publisher)
{
    int &wait = publisher ? m_publisherRetryMs : m_subscriberRetryMs;
    wait = wait == 0 ? m_timing.retryFirstMs : std::min(wait * 2, m_timing.retryLastMs);
    // Jitter keeps instances that lost Redis together from coming back in step.
    const int jitter = int(QRandomGenerator::global()->bounded(wait / 5 + 1));
    (publisher ? m_publisherRetry : m_subscriberRetry).start(wait - wait / 10 + jitter);
}

void Bus::onSubscription(const RedisReply &reply)
{
    if (reply.type != RedisReply::Array || reply.elements.size() < 3)
        return;
    const QByteArray &type = reply.elements.at(0).text;
    const QByteArray &channel = reply.elements.at(1).text;
    m_lastSubscriberTrafficMs = nowMs();
    if (type == "subscribe") {
        if (channel == m_channel) {
            m_subscribed = true;
            updateLive();
        }
        return;
    }
    if (type != "message" || channel != m_channel)
        return;
    if (const std::optional<BusMessage> message = openSealed(reply.elements.at(2).text, true))
        onBusMessage(*message);
}

std::optional<BusMessage> Bus::openSealed(const QByteArray &bytes, bool published)
{
    if (bytes.size() > kMaxSealedBytes) {
        dropped(Drop::Oversized);
        return std::nullopt;
    }
    const std::optional<Sealed> sealed = unseal(m_key, bytes);
    if (!sealed) {
        dropped(Drop::Unauthenticated);
        return std::nullopt;
    }
    std::optional<BusMessage> message = decodeBusMessage(sealed->message);
    std::optional<NumberedLines> users;
    if (message && message->kind == 'p') {
        users = decodeNumberedLines(message->payload);
        // The names an instance serves passed the same rules at registration.
        if (users && !std::all_of(users->begin(), users->end(), [](const auto &user) {
                return isValidUserName(QString::fromUtf8(user.second));
            }))
            users.reset();
    }
    if (sealed->sequence < 0 || !message || (message->kind == 'p' && !users) ||
        ((message->kind == 'm' || message->kind == 'r') && message->payload.size() > kMaxRelayedBytes)) {
        dropped(Drop::Malformed);
        return std::nullopt;
    }
    const qint64 now = nowMs();
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - sealed->sentAtMs;
    // A sender publishes on one connection at a time, so its messages come in the order it
    // sealed them, except across its reconnection: what Redis still held from the closed
    // connection may run after the new one's. Those older ones are dropped here and counted as
    // replayed. What they held is not lost: once back, the sender says hello, the answers make
    // it send its backlog again under new seals, and take() keeps one copy of each.
    auto heard = m_heard.find(message->origin);
    if (age > kFreshnessMs || age < -kFreshnessMs ||
        (published && heard != m_heard.end() && sealed->sequence <= heard->first)) {
        dropped(Drop::Replayed);
        return std::nullopt;
    }
    if (published)
        m_heard.insert(message->origin, {sealed->sequence, now});
    message->sealedAtMs = sealed->sentAtMs;
    return message;
}

QByteArray Bus::sealed(const QByteArray &message)
{
    return seal(m_key, {QDateTime::currentMSecsSinceEpoch(), ++m_sealed, message});
}

void Bus::dropped(Drop why)
{
    metrics().busDropped[int(why)]++;
    ++m_dropsUnlogged;
    if (m_dropLogged.isValid() && m_dropLogged.elapsed() < kDropLogIntervalMs)
        return;
    static const char *const reasons[] = {"not sealed with the bus key", "malformed", "oversized",
                                          "a replay"};
    qCWarning(lcBus).noquote() << "dropped" << m_dropsUnlogged
                               << "message(s) on the bus in the last minute; the last was"
                               << reasons[int(why)];
    m_dropsUnlogged = 0;
    m_dropLogged.start();
}

void Bus::updateLive()
{
    const bool live = m_running && m_publisher->isOpen() && m_subscribed;
    if (live == m_live)
        return;
    m_live = live;
    if (live) {
        if (m_lossLogged) {
            qCInfo(lcBus) << "Redis is back after" << (nowMs() - m_lostAtMs) / 1000.0 << "s";
            m_lossLogged = false;
        } else {
            qCInfo(lcBus).noquote() << "on the bus at"
                                    << m_address.host + u':' + QString::number(m_address.port) << "as"
                                    << m_instance;
        }
        m_lastSubscriberTrafficMs = nowMs();
        // The answers tell this instance what to send again, and the others the same.
        sayHello(true);
        publishPresence();
    } else {
        for (const Entry &entry : m_backlog)
            deliverLocally(entry);
    }
}

void Bus::beat()
{
    const qint64 now = nowMs();
    if (m_publisher->isOpen() && m_publisherWaiting > 0 && now - m_lastPublisherReplyMs > m_timing.stallMs) {
        qCWarning(lcBus) << "Redis has not answered for" << now - m_lastPublisherReplyMs << "ms";
        m_publisher->close(QStringLiteral("no answer"));
    }
    const bool publisherHealthy = m_publisher->isOpen() && (m_publisherWaiting == 0 ||
                                                            now - m_lastPublisherReplyMs <= m_timing.stallMs);
    if (m_subscribed && publisherHealthy && now - m_lastSubscriberTrafficMs > m_timing.stallMs) {
        qCWarning(lcBus) << "nothing came through the subscription for" << now - m_lastSubscriberTrafficMs
                         << "ms";
        m_subscribed = false;
        m_subscriber->close(QStringLiteral("no traffic"));
    }
    QList<QByteArray> expired;
    for (auto it = m_remotes.cbegin(); it != m_remotes.cend(); ++it) {
        if (it->deadlineMs < now)
            expired.append(it.key());
    }
    for (const QByteArray &origin : expired)
        dropRemote(origin);
    // Twice the backlog: a message is sent again at most that young, plus its way here.
    for (auto it = m_origins.begin(); it != m_origins.end();) {
        it->forget(now - 2 * qint64(m_timing.backlogMs));
        if (it->isEmpty())
            it = m_origins.erase(it);
        else
            ++it;
    }
    // Past the freshness window, a replay is refused for its age alone.
    for (auto it = m_heard.begin(); it != m_heard.end();) {
        if (now - it->second > 2 * kFreshnessMs)
            it = m_heard.erase(it);
        else
            ++it;
    }
    pruneBacklog();
    if (m_publisher->isOpen()) {
        writePresence();
        // Comes back through this instance's own subscription: proof that it still works.
        call({"PUBLISH", m_beatChannel, QByteArrayLiteral("beat")});
        poll();
    }
}

bool Bus::call(const QByteArrayList &arguments, std::function<void(const RedisReply &)> then)
{
    if (m_publisherWaiting == 0)
        m_lastPublisherReplyMs = nowMs();
    const bool queued = m_publisher->command(
        arguments, [this, then = std::move(then)](const std::optional<RedisReply> &reply) {
            if (!reply)
                return;
            m_lastPublisherReplyMs = nowMs();
            m_publisherWaiting = std::max(0, m_publisherWaiting - 1);
            if (reply->isError())
                qCWarning(lcBus) << "Redis refused a command:" << reply->text;
            else if (then)
                then(*reply);
        });
    if (queued)
        ++m_publisherWaiting;
    return queued;
}

void Bus::poll()
{
    call({"SMEMBERS", kInstances}, [this](const RedisReply &members) {
        QByteArrayList ids;
        QByteArrayList keys{"MGET"};
        for (const RedisReply &member : members.elements) {
            if (member.text != m_instance && isHexId(member.text)) {
                ids.append(member.text);
                keys.append(QByteArrayLiteral("tavrel:presence:") + member.text);
            }
        }
        if (ids.isEmpty())
            return;
        call(keys, [this, ids](const RedisReply &values) {
            for (qsizetype i = 0; i < ids.size() && i < values.elements.size(); ++i) {
                const RedisReply &value = values.elements.at(i);
                if (value.type == RedisReply::Nil) {
                    // Its presence expired: the instance died or lost Redis for too long.
                    dropRemote(ids.at(i));
                    call({"SREM", kInstances, ids.at(i)});
                    continue;
                }
                const std::optional<BusMessage> presence = openSealed(value.text, false);
                if (presence && presence->kind == 'p' && presence->origin == ids.at(i))
                    updateRemote(ids.at(i), presence->number, *decodeNumberedLines(presence->payload));
            }
        });
    });
}

void Bus::publish(const QByteArray &message)
{
    pruneBacklog();
    m_backlog.push_back({++m_number, message, nowMs()});
    m_backlogBytes += message.size();
    if (!m_live)
        deliverLocally(m_backlog.back());
    if (m_publisher->isOpen())
        send({'m', m_instance, m_number, message});
}

bool Bus::send(const BusMessage &message)
{
    return call({"PUBLISH", m_channel, sealed(encodeBusMessage(message))});
}

void Bus::onBusMessage(const BusMessage &message)
{
    if (message.kind == 'm' || message.kind == 'r') {
        take(message);
        return;
    }
    if (message.origin == m_instance)
        return;
    switch (message.kind) {
    case 'p':
        if (const std::optional<NumberedLines> users = decodeNumberedLines(message.payload))
            updateRemote(message.origin, message.number, *users);
        break;
    case 'h':
        if (const std::optional<qint64> running = parseCount(message.payload)) {
            // The sender started its running time before it sealed the hello, and the hello
            // may have waited since: in a Redis that hung, behind a loop that was busy. Counted
            // back from now alone, the window began that wait too late, and what was sent in
            // the sender's first moments (while it was away) was never sent again: lost for
            // good. What comes of the slack from before it started, it drops (take()).
            const qint64 waited =
                std::max<qint64>(0, QDateTime::currentMSecsSinceEpoch() - message.sealedAtMs);
            scheduleResend(nowMs() - *running - waited - kClockSlackMs, message.number == 1);
        }
        break;
    case 'g':
        qCInfo(lcBus) << "instance" << message.origin << "left the bus";
        dropRemote(message.origin);
        break;
    }
}

void Bus::take(const BusMessage &message)
{
    const qint64 now = nowMs();
    // What was sent before this instance started is no news to its users.
    if (message.kind == 'r' && message.ageMs >= now - m_startedMs)
        return;
    if (m_origins[message.origin].take(message.number, now))
        emit relayed(message.payload);
}

void Bus::deliverLocally(const Entry &entry)
{
    if (m_origins[m_instance].take(entry.number, nowMs()))
        emit relayed(entry.message);
}

void Bus::sendAgain(qint64 sinceMs)
{
    if (!m_publisher->isOpen())
        return;
    const qint64 now = nowMs();
    for (const Entry &entry : m_backlog) {
        if (entry.atMs > sinceMs)
            send({'r', m_instance, entry.number, entry.message, now - entry.atMs});
    }
}

void Bus::scheduleResend(qint64 sinceMs, bool answer)
{
    m_resendSinceMs = std::min(m_resendSinceMs.value_or(sinceMs), sinceMs);
    m_answerHello = m_answerHello || answer;
    if (m_resendDue.isActive())
        return;
    const qint64 wait = m_lastResend.isValid() ? kResendIntervalMs - m_lastResend.elapsed() : 0;
    m_resendDue.start(int(std::max<qint64>(0, wait)));
}

void Bus::resend()
{
    if (m_resendSinceMs)
        sendAgain(*std::exchange(m_resendSinceMs, std::nullopt));
    if (std::exchange(m_answerHello, false))
        sayHello(false);
    m_lastResend.start();
}

void Bus::sayHello(bool ask)
{
    send({'h', m_instance, ask ? 1 : 0, QByteArray::number(nowMs() - m_startedMs)});
}

void Bus::addLocalUser(const QString &name)
{
    m_loginClock = std::max(m_loginClock + 1, QDateTime::currentMSecsSinceEpoch());
    m_local.insert(name, LoginStamp{m_loginClock, m_instance});
    schedulePresence();
}

void Bus::removeLocalUser(const QString &name)
{
    if (m_local.remove(name) > 0)
        schedulePresence();
}

QStringList Bus::remoteUsers() const
{
    QStringList names;
    for (const Remote &remote : m_remotes) {
        for (auto it = remote.users.cbegin(); it != remote.users.cend(); ++it)
            names.append(it.key());
    }
    names.removeDuplicates();
    return names;
}

void Bus::schedulePresence()
{
    // Logins and logouts of one pass of the event loop go out together.
    if (!m_presenceDue.isActive())
        m_presenceDue.start(0);
}

void Bus::publishPresence()
{
    m_presenceDue.stop();
    NumberedLines users;
    for (auto it = m_local.cbegin(); it != m_local.cend(); ++it)
        users.append({it->clock, it.key().toUtf8()});
    m_presence = encodeBusMessage({'p', m_instance, ++m_presenceVersion, encodeNumberedLines(users)});
    if (m_publisher->isOpen()) {
        writePresence();
        call({"PUBLISH", m_channel, sealed(m_presence)});
    }
}

void Bus::writePresence()
{
    // Sealed again each time, so that it is always fresh.
    call({"SET", m_presenceKey, sealed(m_presence), "PX", QByteArray::number(m_timing.presenceTtlMs)});
    call({"SADD", kInstances, m_instance});
}

void Bus::updateRemote(const QByteArray &origin, qint64 version, const NumberedLines &users)
{
    Remote &remote = m_remotes[origin];
    if (version < remote.version)
        return;
    remote.deadlineMs = nowMs() + m_timing.presenceTtlMs;
    if (version == remote.version)
        return;
    remote.version = version;
    QHash<QString, qint64> named;
    QStringList superseded;
    for (const auto &[clock, nameBytes] : users) {
        const QString name = QString::fromUtf8(nameBytes);
        named.insert(name, clock);
        m_loginClock = std::max(m_loginClock, clock);
        const auto local = m_local.constFind(name);
        if (local != m_local.cend() && *local < LoginStamp{clock, origin})
            superseded.append(name);
    }
    bool changed = named.size() != remote.users.size();
    for (auto it = named.cbegin(); !changed && it != named.cend(); ++it)
        changed = !remote.users.contains(it.key());
    remote.users = std::move(named);
    for (const QString &name : superseded) {
        m_local.remove(name);
        qCInfo(lcBus) << name << "logged in at instance" << origin << "; the session here closes";
    }
    if (!superseded.isEmpty())
        schedulePresence();
    for (const QString &name : superseded)
        emit userSuperseded(name);
    if (changed)
        emit remoteUsersChanged();
}

void Bus::dropRemote(const QByteArray &origin)
{
    const auto it = m_remotes.constFind(origin);
    if (it == m_remotes.cend())
        return;
    const bool hadUsers = !it->users.isEmpty();
    m_remotes.erase(it);
    if (hadUsers)
        emit remoteUsersChanged();
}

void Bus::pruneBacklog()
{
    const qint64 now = nowMs();
    while (!m_backlog.empty() &&
           (now - m_backlog.front().atMs > m_timing.backlogMs || m_backlog.size() > kMaxBacklogMessages ||
            m_backlogBytes > kMaxBacklogBytes)) {
        m_backlogBytes -= m_backlog.front().message.size();
        m_backlog.pop_front();
    }
}

} // namespace tavrel::server
