#pragma once

#include "assembler.h"
#include "config.h"
#include "messagetail.h"
#include "sendqueue.h"

#include <QElapsedTimer>
#include <QObject>
#include <QSslConfiguration>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;

namespace tavrel::server {

// Extra wait, beyond the client's own quiet gap, before the next message goes out. It
// starts once the client's side has acknowledged the last byte of a message, and covers
// what may still lie between that moment and the client reading the byte.
//
// After a chat line or answer that is the scheduling of both processes: the client's
// kernel has the bytes when it acknowledges them, and over loopback once they are sent.
// With 200 clients x 1 line/s on loopback (bench/run-server-load.sh) 5 ms gave the same
// latency as 10 ms, but a loaded client then joined three times as many messages (load
// average 9). With 10 ms p99 was 85 to 107 ms at load averages of 10 to 14, the same as
// when the pause started without waiting for acknowledgements.
//
// After a file or image, something on the way may acknowledge for the client: a proxy or
// a link with its own buffer, as the link emulator is. The bytes it holds then still take
// their time, and a stall among them (a retransmission on the far side) holds them up
// longer. Through the emulator (bench-link-gaps, 40 files a link) the last byte arrived at
// most 52 ms after the acknowledgement at 2 Mbit/s, on top of the one-way delay, and 269 ms
// after it at 20 Mbit/s when a 250 ms stall fell among those bytes. 600 ms covers a 500 ms
// stall there, the held bytes and a busy window; the pause after a file is then 1.6 s,
// which a chat line that waits behind a file adds to the file's own time. Re-measure with
// bench-link-gaps and build/bench/bench-link (every file and chat line intact on every link).
inline constexpr int kGapMarginMs = 10;
inline constexpr int kFileGapMarginMs = 600;

// The pause after a message of this kind (its first byte) before the next one.
int pacingGapFor(char kind);

// Allows bursts of up to capacity events, refilled at rate per second.
class TokenBucket
{
public:
    TokenBucket(double capacity, double perSecond);
    bool take();

private:
    double m_capacity;
    double m_rate;
    double m_tokens;
    QElapsedTimer m_clock;
};

// One client connection: gathers what it sends into messages, and paces what it is sent.
//
// The client tells messages apart only by the quiet gaps between them, so each message goes
// out in one write, and the next one only once the client has acknowledged every byte of
// the previous one and the client's gap for its kind has passed. Qt's buffer drains into
// the kernel's send queue long before a slow link has carried the bytes: the queue can hold
// megabytes, so it is watched until it is empty. Meanwhile chat lines merge into one waiting
// chat message (one line each), and a newer user list replaces a waiting one, so a busy
// room costs a reader at most one gap of delay, not a growing queue, as long as what it
// says in a gap fits one TCP segment: chat goes out one segment at a time (chattext.h).
//
// A connection may carry TLS, told by its first byte; the messages inside are the same and
// paced the same way, the kernel's send queue then holding the encrypted bytes.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(QTcpSocket *socket, const Config &config, QObject *parent = nullptr);
    ~Session() override;

    QString peerAddress() const { return m_peer; }
    // The key its address counts under in the limits kept in the database.
    QString source() const { return m_source; }
    QString userName() const { return m_userName; }
    bool isLoggedIn() const { return !m_userName.isEmpty(); }
    bool isClosed() const { return m_closed; }
    // Closed or closing: it takes no more messages either way.
    bool isClosing() const { return m_closing; }
    // Logging in ends the wait that closes a connection which does not log in in time.
    void setUserName(const QString &name);

    // Lets the connection start a TLS handshake with these credentials; socket must be a
    // QSslSocket. Without, a connection that starts one is closed.
    void offerTls(const QSslConfiguration &configuration) { m_tls = configuration; }
    bool isEncrypted() const { return m_transport == Transport::Encrypted; }

    // A login or registration of this session is being worked on.
    bool isBusy() const { return m_busy; }
    void setBusy(bool busy) { m_busy = busy; }
    // An upload or a file request of this session is being worked on or its file is
    // still on its way: the file work it may cause is bounded.
    bool isFileBusy() const;
    void setFileWork(bool working) { m_fileWork = working; }
    // Bytes of a message have arrived whose end has not.
    bool isGathering() const { return m_assembler.pendingSize() > 0; }

    // Rate limits: chat, uploads and requests; and any message at all.
    bool allowAction() { return m_actions.take(); }
    bool allowMessage() { return m_messages.take(); }

    void send(const QByteArray &message);
    // Sends head and then all of tail as one message, written back to back as the socket
    // takes it. A tail that ends early aborts the connection.
    void sendWithTail(const QByteArray &head, std::shared_ptr<MessageTail> tail);
    // Drops what waits, sends the message and closes the connection as closeAfterOutput does.
    void sendAndClose(const QByteArray &message);
    // Takes no more messages, sends what waits, and closes the connection once the client
    // has acknowledged the last byte and its quiet gap has passed, so that it never sees a
    // message cut by the close. Aborts when that takes longer than deadlineMs.
    void closeAfterOutput(int deadlineMs);
    void abort(const char *reason);
    // Reads no more messages; what is half gathered is dropped. Sending goes on.
    void stopReading();

    qint64 queuedBytes() const { return m_queuedBytes; }
    // Bytes handed to Qt's socket buffer and not yet to the kernel.
    qint64 bufferedBytes() const;
    qint64 queuedMessages() const { return qint64(m_queue.size()); }

    // Replaces the kernel query, so that a test can stand in for a platform without one.
    void setSendQueueQuery(std::function<SendQueue(qintptr)> query) { m_querySendQueue = std::move(query); }

signals:
    void messageReceived(const QByteArray &message);
    void closed();

private:
    void enqueue(const QByteArray &message, std::shared_ptr<MessageTail> tail);
    void pump();
    void feedTail();
    // Bytes that went from Qt's buffers to the kernel: encrypted ones once TLS is on.
    void onBytesWritten(qint64 bytes);
    void checkAcknowledged();
    void delivered();
    // Bytes of the message in flight that the client has not acknowledged yet.
    SendQueue sendQueue();
    // Takes bytes drained in elapsedMs as a sample of the rate, when they are enough to tell.
    bool noteDrainRate(qint64 bytes, qint64 elapsedMs);
    int pollIntervalMs(const SendQueue &queue) const;
    void onDisconnected();
    void continueClosing();
    // Looks at the first byte: a TLS handshake, or a plain message. False while the bytes
    // read so far are not plain messages.
    bool chooseTransport();

    // Undecided until the first byte arrives; a handshake that fails closes the connection.
    enum class Transport { Undecided, Plain, Handshake, Encrypted };

    QTcpSocket *m_socket;
    QSslConfiguration m_tls;
    Transport m_transport = Transport::Undecided;
    Config m_config;
    MessageAssembler m_assembler;
    QString m_peer;
    QString m_source;
    QString m_userName;
    bool m_busy = false;
    bool m_fileWork = false;
    TokenBucket m_actions;
    TokenBucket m_messages;

    std::deque<QByteArray> m_queue;
    std::deque<std::shared_ptr<MessageTail>> m_queuedTails; // null for a message without one
    std::deque<qint64> m_queuedSince;                       // when each waiting message was queued (m_clock)
    QElapsedTimer m_clock;
    qint64 m_queuedBytes = 0;
    // A message is in flight from its write until the client has acknowledged all of it;
    // it waits for the acknowledgement once Qt's buffer is empty.
    bool m_inFlight = false;
    // The tail of the message in flight still to be written, and how much of it.
    std::shared_ptr<MessageTail> m_tail;
    qint64 m_tailLeft = 0;
    bool m_awaitingAck = false;
    qint64 m_inFlightSize = 0;
    std::function<SendQueue(qintptr)> m_querySendQueue = querySendQueue;
    bool m_sendBufferChecked = false;
    // The kernel could not tell, so sendQueue() estimated what it holds.
    bool m_queueEstimated = false;
    // How fast this client takes bytes, smoothed over the session; 0 until measured.
    double m_drainBytesPerMs = 0;
    // The rate of the last large file from its first write to its last acknowledgement, and
    // when the message in flight was first written (m_clock); 0 until measured.
    double m_linkBytesPerMs = 0;
    qint64 m_inFlightSinceMs = 0;
    // The rate of the last acknowledgements of the message in flight, measured once Qt's
    // buffer was empty (the hop, if any, full by then); 0 when they came all at once.
    double m_ackBytesPerMs = 0;
    // The most a hop in front of the client was seen to hold of a file (see delivered()).
    qint64 m_hopHeldBytes = 0;
    // Bytes drained since the kernel's first gulp of a message (-1 before it), and since when;
    // later the unacknowledged bytes when the rate was last noted.
    qint64 m_drainedBytes = -1;
    QElapsedTimer m_drainClock;
    qint64 m_lastUnacknowledged = -1;
    // Since Qt's buffer emptied, for platforms that cannot tell what the kernel still holds,
    // and since the kernel had sent every byte.
    QElapsedTimer m_sinceBufferEmpty;
    QElapsedTimer m_allSent;
    QTimer m_ackPoll;
    QTimer m_drainDeadline;
    bool m_reading = true;
    bool m_closing = false;
    bool m_closed = false;
    char m_lastKind = 0;
    QTimer m_gap;
    QTimer m_loginDeadline;
    QTimer m_closeDeadline;
};

} // namespace tavrel::server
