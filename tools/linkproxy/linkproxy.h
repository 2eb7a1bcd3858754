#pragma once

#include <QHostAddress>
#include <QObject>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <optional>

class QTcpSocket;

// One direction of an emulated network link.
struct LinkProfile
{
    // Stalls are drawn once for every this many bytes carried.
    static constexpr qint64 kStallUnit = 16 * 1024;

    qint64 bitsPerSecond = 0; // 0: no limit
    int delayMs = 0;          // one way
    double stallChance = 0;   // per kStallUnit bytes
    int stallMs = 0;          // what a retransmission costs
    // Bytes taken from the sender ahead of the link, as a hop that ends TCP does (a proxying
    // load balancer, a carrier's performance proxy): the sender sees them acknowledged long
    // before the receiver has them.
    qint64 readAheadBytes = 0;
    // The segment size the sender is told to use (TCP_MAXSEG on the proxy's side of the
    // connection, 0: the system's), and a pause between every two segments of a burst: the
    // receiver then reads each segment on its own, as a reader does when a link holds
    // every segment up a little. A burst is what the sender writes after a quiet moment;
    // its segments are cut from its first byte, as TCP cuts a write into an empty queue.
    int maxSegment = 0;
    int segmentPauseMs = 0;

    // "2000k/100ms/0.5%x500ms/ahead64k": rate in kbit/s (0: none), one-way delay, stall
    // chance and length, read-ahead in KiB; the stall and the read-ahead may be left out.
    // Null when the text is not of this form.
    static std::optional<LinkProfile> parse(const QString &text);
    QString toString() const;
};

// What one direction of one connection has carried.
struct LinkStats
{
    qint64 taken = 0;     // bytes read from the sender
    qint64 delivered = 0; // bytes written to the receiver
    int stalls = 0;
    qint64 segmentSize = 0; // the segment size in force, with maxSegment (totals: the largest)
};

// A TCP proxy on loopback that carries each direction of every connection through its own
// emulated link: a bandwidth limit, a one-way delay, and now and then a stall as when a
// lost segment waits for its retransmission. It reads from a sender only as fast as the
// link drains, through small buffers, so the sender's kernel queue fills as on a real link.
//
// "Down" is from the target (the server) to whoever connected (the client), "up" the other way.
class LinkProxy : public QObject
{
    Q_OBJECT
public:
    explicit LinkProxy(QObject *parent = nullptr);
    ~LinkProxy() override;

    // Before listen(): the window a connection offers is set when it is made.
    void setProfiles(const LinkProfile &down, const LinkProfile &up);
    // Stalls are drawn from a generator seeded with this, one stream per direction and connection.
    void setSeed(quint32 seed) { m_seed = seed; }
    quint32 seed() const { return m_seed; }

    // Both addresses must be loopback addresses; port 0 picks a free one.
    bool listen(const QHostAddress &address, quint16 port, const QHostAddress &target, quint16 targetPort);
    quint16 port() const { return m_listener.serverPort(); }
    QString errorString() const { return m_error; }

    // Totals over every connection so far.
    LinkStats down() const { return total(true); }
    LinkStats up() const { return total(false); }
    int connectionCount() const { return int(m_stats.size() / 2); }

private:
    void accept();
    LinkStats total(bool down) const;

    QTcpServer m_listener;
    QHostAddress m_target;
    quint16 m_targetPort = 0;
    LinkProfile m_down;
    LinkProfile m_up;
    quint32 m_seed;
    QString m_error;
    // Down and up of each connection in turn; kept when the connection is gone.
    std::deque<LinkStats> m_stats;
};

// Carries the bytes of one socket to another through an emulated link.
class LinkDirection : public QObject
{
    Q_OBJECT
public:
    LinkDirection(QTcpSocket *from, QTcpSocket *to, const LinkProfile &profile, quint32 seed,
                  LinkStats *stats, QObject *parent);

    // Both ends are connected: bytes may flow.
    void start();

signals:
    // Everything the sender sent has been delivered and the sender has closed.
    void finished();

private:
    struct Chunk
    {
        QByteArray bytes;
        qint64 dueUs;
    };
    void arrived();
    void pull();
    // Reads what the sender has into m_held, up to the read-ahead.
    void readAhead();
    // The next bytes for the link, at most max of them: held ones first.
    QByteArray take(qint64 max);
    qint64 available() const;
    void deliver();
    void schedule();

    QTcpSocket *m_from;
    QTcpSocket *m_to;
    LinkProfile m_profile;
    QRandomGenerator m_random;
    LinkStats *m_stats;
    bool m_started = false;
    bool m_senderClosed = false;
    bool m_finished = false;
    bool m_backlogged = false;
    // Where each burst of the sender's starts in what it sent, from the current one on, and
    // when its bytes last arrived.
    std::deque<qint64> m_burstStarts;
    qint64 m_lastArrivalUs = -1;
    qint64 m_arrived = 0;   // bytes the sender has sent so far
    qint64 m_pausedAt = -1; // the offset of the last segment that began with a pause
    std::deque<Chunk> m_inTransit;
    // Taken from the sender ahead of the link, in the order they came.
    std::deque<QByteArray> m_held;
    qint64 m_heldBytes = 0;
    // When the link will have sent everything taken so far, stalls included.
    qint64 m_linkFreeUs = 0;
    QTimer m_pullTimer;
    QTimer m_deliverTimer;
};
