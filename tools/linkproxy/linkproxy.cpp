#include "linkproxy.h"

#include <QElapsedTimer>
#include <QRegularExpression>
#include <QTcpSocket>

#if defined(Q_OS_UNIX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace {

// Bytes the link takes from the sender at a time, about one TCP segment on a real link.
constexpr qint64 kSegment = 1448;
// The link takes the next segment when it will be free within this time: enough to keep
// it busy between two runs of the event loop, little enough that the sender's queue holds
// the rest.
constexpr qint64 kLookaheadUs = 5000;
// A sender quiet this long has finished a write: what comes next starts a new burst. The
// server paces its messages tens of ms apart, and hands each to the kernel at once.
constexpr qint64 kBurstGapUs = 5000;

qint64 nowUs()
{
    static QElapsedTimer clock = [] {
        QElapsedTimer c;
        c.start();
        return c;
    }();
    return clock.nsecsElapsed() / 1000;
}

// What the proxy holds of a sender's bytes before the link takes them: the kernel's receive
// buffer and Qt's read buffer, each the larger of a floor and what the link carries in a
// few ms. Less starves the link: the proxy's reads and the sender's writes then take turns
// that leave it idle.
constexpr int kReceiveBufferFloor = 4 * 1024;
constexpr qint64 kReceiveBufferUs = 15000;
constexpr qint64 kReadBufferFloor = 8 * 1024;
constexpr qint64 kReadBufferUs = 10000;

qint64 bytesIn(const LinkProfile &profile, qint64 us)
{
    return profile.bitsPerSecond / 8 * us / 1000000;
}

bool isShaped(const LinkProfile &profile)
{
    return profile.bitsPerSecond > 0 || profile.stallChance > 0;
}

// Applies to a socket before it connects, or to a listening one before it accepts: the
// window a connection offers first cannot be taken back. A buffer of a fixed size also keeps
// the kernel from growing it as the transfer goes on.
void limitReceiveBuffer(qintptr descriptor, const LinkProfile &profile)
{
#if defined(Q_OS_UNIX)
    if (!isShaped(profile))
        return;
    const int buffer = int(std::max<qint64>(kReceiveBufferFloor, bytesIn(profile, kReceiveBufferUs)));
    setsockopt(int(descriptor), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(profile);
#endif
}

// Also before the socket connects: the segment size is agreed in the handshake.
void limitSegment(qintptr descriptor, const LinkProfile &profile)
{
#if defined(Q_OS_LINUX)
    if (profile.maxSegment > 0)
        setsockopt(int(descriptor), IPPROTO_TCP, TCP_MAXSEG, &profile.maxSegment, sizeof profile.maxSegment);
#else
    Q_UNUSED(descriptor);
    Q_UNUSED(profile);
#endif
}

// The segment size a connected socket and its peer use; 0 when unknown.
qint64 segmentSizeOf(qintptr descriptor)
{
#if defined(Q_OS_LINUX)
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(int(descriptor), IPPROTO_TCP, TCP_INFO, &info, &size) == 0)
        return info.tcpi_snd_mss;
#else
    Q_UNUSED(descriptor);
#endif
    return 0;
}

} // namespace

std::optional<LinkProfile> LinkProfile::parse(const QString &text)
{
    static const QRegularExpression form(
        QStringLiteral(R"(^(\d+)k/(\d+)ms(?:/(\d+(?:\.\d+)?)%x(\d+)ms)?(?:/ahead(\d+)k)?$)"));
    const QRegularExpressionMatch match = form.match(text.trimmed());
    if (!match.hasMatch())
        return std::nullopt;
    LinkProfile profile;
    profile.bitsPerSecond = match.captured(1).toLongLong() * 1000;
    profile.delayMs = match.captured(2).toInt();
    if (match.hasCaptured(3)) {
        profile.stallChance = match.captured(3).toDouble() / 100;
        profile.stallMs = match.captured(4).toInt();
    }
    if (match.hasCaptured(5))
        profile.readAheadBytes = match.captured(5).toLongLong() * 1024;
    if (profile.stallChance > 1)
        return std::nullopt;
    return profile;
}

QString LinkProfile::toString() const
{
    QString text = QStringLiteral("%1k/%2ms").arg(bitsPerSecond / 1000).arg(delayMs);
    if (stallChance > 0)
        text += QStringLiteral("/%1%x%2ms").arg(stallChance * 100).arg(stallMs);
    if (readAheadBytes > 0)
        text += QStringLiteral("/ahead%1k").arg(readAheadBytes / 1024);
    if (maxSegment > 0)
        text +=
            QStringLiteral(", segments of at most %1 bytes, %2 ms apart").arg(maxSegment).arg(segmentPauseMs);
    return text;
}

LinkProxy::LinkProxy(QObject *parent)
    : QObject(parent)
    , m_seed(QRandomGenerator::global()->generate())
{
    connect(&m_listener, &QTcpServer::newConnection, this, &LinkProxy::accept);
}

LinkProxy::~LinkProxy()
{
    // The links go before the sockets under them: a socket still connected closes as it is
    // deleted, and its signals would drive a link on into m_stats, freed by then.
    qDeleteAll(findChildren<LinkDirection *>());
}

void LinkProxy::setProfiles(const LinkProfile &down, const LinkProfile &up)
{
    m_down = down;
    m_up = up;
}

bool LinkProxy::listen(const QHostAddress &address, quint16 port, const QHostAddress &target,
                       quint16 targetPort)
{
    if (!address.isLoopback() || !target.isLoopback()) {
        m_error = QStringLiteral("the proxy only works between loopback addresses");
        return false;
    }
    m_target = target;
    m_targetPort = targetPort;
    if (!m_listener.listen(address, port)) {
        m_error = m_listener.errorString();
        return false;
    }
    limitReceiveBuffer(m_listener.socketDescriptor(), m_up);
    return true;
}

LinkStats LinkProxy::total(bool down) const
{
    LinkStats sum;
    for (size_t i = down ? 0 : 1; i < m_stats.size(); i += 2) {
        sum.taken += m_stats[i].taken;
        sum.delivered += m_stats[i].delivered;
        sum.stalls += m_stats[i].stalls;
        sum.segmentSize = std::max(sum.segmentSize, m_stats[i].segmentSize);
    }
    return sum;
}

void LinkProxy::accept()
{
    while (QTcpSocket *client = m_listener.nextPendingConnection()) {
        // The connection's objects live and die together.
        auto *connection = new QObject(this);
        client->setParent(connection);
        auto *server = new QTcpSocket(connection);
        m_stats.emplace_back();
        m_stats.emplace_back();
        const quint32 seed = m_seed + quint32(m_stats.size());
        auto *down =
            new LinkDirection(server, client, m_down, seed, &m_stats[m_stats.size() - 2], connection);
        auto *up = new LinkDirection(client, server, m_up, seed + 1, &m_stats.back(), connection);
        const auto closeIfDone = [connection, client, server] {
            if (client->state() == QAbstractSocket::UnconnectedState &&
                server->state() == QAbstractSocket::UnconnectedState)
                connection->deleteLater();
        };
        // A sender that closed has its link drain first; then its receiver is closed too.
        connect(down, &LinkDirection::finished, client, &QTcpSocket::disconnectFromHost);
        connect(up, &LinkDirection::finished, server, &QTcpSocket::disconnectFromHost);
        for (QTcpSocket *socket : {client, server}) {
            connect(socket, &QTcpSocket::disconnected, connection, closeIfDone);
            connect(socket, &QTcpSocket::errorOccurred, connection,
                    [client, server, closeIfDone](QAbstractSocket::SocketError error) {
                        // A peer that vanishes takes the whole connection with it.
                        if (error != QAbstractSocket::RemoteHostClosedError) {
                            client->abort();
                            server->abort();
                        }
                        closeIfDone();
                    });
        }
        connect(server, &QTcpSocket::connected, connection, [down, up] {
            down->start();
            up->start();
        });
        server->bind(m_target.protocol() == QAbstractSocket::IPv6Protocol ? QHostAddress::LocalHostIPv6
                                                                          : QHostAddress::LocalHost);
        limitReceiveBuffer(server->socketDescriptor(), m_down);
        limitSegment(server->socketDescriptor(), m_down);
        server->connectToHost(m_target, m_targetPort);
    }
}

LinkDirection::LinkDirection(QTcpSocket *from, QTcpSocket *to, const LinkProfile &profile, quint32 seed,
                             LinkStats *stats, QObject *parent)
    : QObject(parent)
    , m_from(from)
    , m_to(to)
    , m_profile(profile)
    , m_random(seed)
    , m_stats(stats)
{
    m_pullTimer.setSingleShot(true);
    m_pullTimer.setTimerType(Qt::PreciseTimer);
    m_deliverTimer.setSingleShot(true);
    m_deliverTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_pullTimer, &QTimer::timeout, this, &LinkDirection::pull);
    connect(&m_deliverTimer, &QTimer::timeout, this, &LinkDirection::deliver);
    connect(m_from, &QTcpSocket::readyRead, this, &LinkDirection::arrived);
    connect(m_from, &QTcpSocket::disconnected, this, [this] {
        m_senderClosed = true;
        pull();
    });
}

void LinkDirection::start()
{
    // Qt's buffer and the kernel's hold only a little more than the link takes at a time.
    if (isShaped(m_profile)) {
        m_from->setReadBufferSize(std::max(kReadBufferFloor, bytesIn(m_profile, kReadBufferUs)));
        limitReceiveBuffer(m_from->socketDescriptor(), m_profile);
    }
    m_to->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    if (m_profile.maxSegment > 0)
        m_stats->segmentSize = segmentSizeOf(m_from->socketDescriptor());
    m_started = true;
    pull();
}

void LinkDirection::arrived()
{
    const qint64 now = nowUs();
    if (m_lastArrivalUs < 0 || now - m_lastArrivalUs > kBurstGapUs)
        m_burstStarts.push_back(m_arrived);
    m_arrived = m_stats->taken + available();
    m_lastArrivalUs = now;
    pull();
}

void LinkDirection::pull()
{
    if (!m_started)
        return;
    const qint64 now = nowUs();
    // Bytes that waited for the link went out the moment it was free, however late this
    // process got to them; a link that had nothing to send starts afresh.
    const bool waited = std::exchange(m_backlogged, false);
    if (!waited)
        m_linkFreeUs = std::max(m_linkFreeUs, now);
    readAhead();
    while (available() > 0) {
        if (m_linkFreeUs - now > kLookaheadUs) {
            // The link is busy: what the sender has sent waits in its own queue meanwhile.
            m_backlogged = true;
            m_pullTimer.start(int((m_linkFreeUs - now - kLookaheadUs + 999) / 1000));
            break;
        }
        // A stall falls between two units, so a read never crosses a unit's end; nor a
        // segment's, when segments pause.
        qint64 most = std::min(kSegment, LinkProfile::kStallUnit - m_stats->taken % LinkProfile::kStallUnit);
        const qint64 segment = m_stats->segmentSize;
        if (segment > 0 && m_profile.segmentPauseMs > 0 && !m_burstStarts.empty()) {
            while (m_burstStarts.size() > 1 && m_burstStarts[1] <= m_stats->taken)
                m_burstStarts.pop_front();
            const qint64 intoBurst = m_stats->taken - m_burstStarts.front();
            const bool linkBusy = !m_inTransit.empty() || m_linkFreeUs > now;
            if (intoBurst % segment == 0 && linkBusy && m_pausedAt != m_stats->taken) {
                m_pausedAt = m_stats->taken;
                m_linkFreeUs = std::max(m_linkFreeUs, now) + qint64(m_profile.segmentPauseMs) * 1000;
            }
            most = std::min(most, segment - intoBurst % segment);
            if (m_burstStarts.size() > 1)
                most = std::min(most, m_burstStarts[1] - m_stats->taken);
            if (m_linkFreeUs - now > kLookaheadUs)
                continue; // the pause is the link's: the loop waits for it above
        }
        const QByteArray bytes = take(most);
        if (bytes.isEmpty())
            break;
        m_stats->taken += bytes.size();
        if (m_profile.bitsPerSecond > 0)
            m_linkFreeUs += bytes.size() * 8 * 1000000 / m_profile.bitsPerSecond;
        m_inTransit.push_back({bytes, m_linkFreeUs + qint64(m_profile.delayMs) * 1000});
        if (m_stats->taken % LinkProfile::kStallUnit == 0 && m_profile.stallChance > 0 &&
            m_random.generateDouble() < m_profile.stallChance) {
            // Everything after this unit waits, as behind a lost segment.
            m_linkFreeUs += qint64(m_profile.stallMs) * 1000;
            ++m_stats->stalls;
        }
    }
    schedule();
}

void LinkDirection::readAhead()
{
    while (m_heldBytes < m_profile.readAheadBytes && m_from->bytesAvailable() > 0) {
        const QByteArray bytes = m_from->read(std::min(m_profile.readAheadBytes - m_heldBytes, kSegment));
        if (bytes.isEmpty())
            break;
        m_held.push_back(bytes);
        m_heldBytes += bytes.size();
    }
}

qint64 LinkDirection::available() const
{
    return m_heldBytes + m_from->bytesAvailable();
}

QByteArray LinkDirection::take(qint64 max)
{
    if (m_held.empty())
        return m_from->read(std::min(m_from->bytesAvailable(), max));
    QByteArray &front = m_held.front();
    const QByteArray bytes = front.left(max);
    front.remove(0, bytes.size());
    if (front.isEmpty())
        m_held.pop_front();
    m_heldBytes -= bytes.size();
    // Room in the read-ahead: the sender's next bytes are taken at once.
    readAhead();
    return bytes;
}

void LinkDirection::deliver()
{
    const qint64 now = nowUs();
    QByteArray due;
    while (!m_inTransit.empty() && m_inTransit.front().dueUs <= now + 500) {
        due += m_inTransit.front().bytes;
        m_inTransit.pop_front();
    }
    if (!due.isEmpty() && m_to->state() == QAbstractSocket::ConnectedState) {
        m_to->write(due);
        m_stats->delivered += due.size();
    }
    schedule();
}

void LinkDirection::schedule()
{
    if (!m_inTransit.empty()) {
        if (!m_deliverTimer.isActive())
            m_deliverTimer.start(
                int(std::max<qint64>(0, (m_inTransit.front().dueUs - nowUs() + 999) / 1000)));
        return;
    }
    if (m_senderClosed && available() == 0 && !std::exchange(m_finished, true))
        emit finished();
}
