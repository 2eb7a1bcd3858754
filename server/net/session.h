#pragma once

#include "assembler.h"
#include "messagetail.h"
#include "pathgaps.h"
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

struct Config;

// What a session needs of the server's configuration (config.h tells what each means),
// built once by the server and shared by its sessions.
struct SessionSettings
{
    explicit SessionSettings(const Config &config);

    int loginTimeoutMs;
    qint64 maxQueuedBytes;
    int drainGraceMs;
    qint64 minDrainBytesPerSecond;
    int drainMs;
    // The quiet gap that ends a file, each way (Config::fileGapMs).
    int fileGapMs;
};

// The margin of the pause after a file or image (see Session), for what may still lie
// between the acknowledgement of its last byte and the client reading that byte (after a
// chat line, answer or list: kTextPauseMarginMs, pathgaps.h).
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
inline constexpr int kFileGapMarginMs = 600;

// The longest pause after a message of this kind (its first byte) before the next one: a
// chat line, answer or list on a path that is not near (pathgaps.h), or a file before what
// a hop may hold of it.
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
// The client tells messages apart only by the quiet gaps between them. So, the pacing rule:
// - a message goes out in one write (a file's tail back to back as the socket takes it);
// - the next one waits until the client has acknowledged every byte of it, or only an
//   acknowledgement it holds back is missing (SendQueue::isDelivered()). Qt's buffer drains
//   into the kernel's send queue long before a slow link has carried the bytes, and that
//   queue can hold megabytes, so the kernel is asked until it is empty;
// - and then for a pause. After a chat line, answer or list it is pacingPauseMs() of the
//   path as this end measures it: 2 + 10 ms when the minimum round trip is under 1 ms and
//   nothing says the path is slow or lossy, 30 + 10 ms otherwise. The client ends such a
//   message after 2 ms when its own minimum round trip is under 2 x 1 ms + 3 ms or its kernel
//   cannot tell, after 30 ms otherwise. So the pause outlasts the client's gap by 10 ms or
//   more as long as the client's figure of the round trip is at most twice this end's plus
//   3 ms, and whenever the client cannot measure (pathgaps.h states the rule and why; the
//   core's tests try its edges). After a file, the client's file gap plus kFileGapMarginMs
//   plus the time the bytes that a hop in front of the client acknowledged but may still
//   hold need to reach it (delivered()).
// Meanwhile chat lines merge into one waiting chat message (one line each), and a newer user
// list replaces a waiting one, so a busy room costs a reader at most one gap of delay, not a
// growing queue, as long as what it says in a gap fits one TCP segment: chat goes out one
// segment at a time (chattext.h).
//
// A connection may carry TLS, told by its first byte; the messages inside are the same and
// paced the same way, the kernel's send queue then holding the encrypted bytes.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(QTcpSocket *socket, std::shared_ptr<const SessionSettings> settings, QObject *parent = nullptr);
    ~Session() override;

    QString peerAddress() const { return m_peer; }
    // The key its address counts under in the limits kept in the database.
    QString source() const { return m_source; }
    QString userName() const { return m_userName; }
    bool isLoggedIn() const { return !m_userName.isEmpty(); }
    bool isClosed() const { return m_state == State::Closed; }
    // Closed or closing: it takes no more messages either way.
    bool isClosing() const { return m_state >= State::Closing; }
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
    // Bytes the kernel has been given over the connection's life; -1 once TLS is on, where
    // Qt's buffer holds bytes before they are encrypted.
    qint64 handedToKernel() const;
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
    // What the kernel (or the test's stand-in) says of the send queue.
    SendQueue kernelQueue() const;
    // Bytes of the message in flight that the client has not acknowledged yet.
    SendQueue sendQueue();
    // This end's figures of the path, looked up again once they are a little old.
    const PathFigures &path();
    // Hands a message straight to the kernel when nothing waits before it; the bytes taken.
    qint64 writeDirect(const QByteArray &message);
    void writeThroughQt(const QByteArray &bytes);
    // Takes bytes drained in elapsedMs as a sample of the rate, when they are enough to tell.
    bool noteDrainRate(qint64 bytes, qint64 elapsedMs);
    int pollIntervalMs(const SendQueue &queue) const;
    void onDisconnected();
    void continueClosing();
    // Looks at the first byte: a TLS handshake, or a plain message. False while the bytes
    // read so far are not plain messages.
    bool chooseTransport();

    // The connection reads and sends, then may stop reading (stopReading()), then closes
    // (closeAfterOutput(): it takes no more messages) and is closed. Any of them may end at once
    // in an abort.
    enum class State { Reading, SendingOnly, Closing, Closed };
    // Told by the first byte, and the same while the connection closes; a handshake that fails
    // closes it.
    enum class Transport { Undecided, Plain, Handshake, Encrypted };
    // The message in flight is being written, then waits for the client to acknowledge every
    // byte of it, then the pause after it passes (m_outputTimer in both), then the next may go.
    enum class Output { Idle, Writing, AwaitingAck, Pausing };

    QTcpSocket *m_socket;
    QSslConfiguration m_tls;
    State m_state = State::Reading;
    Transport m_transport = Transport::Undecided;
    Output m_output = Output::Idle;
    std::shared_ptr<const SessionSettings> m_settings;
    MessageAssembler m_assembler;
    QString m_peer;
    QString m_source;
    QString m_userName;
    bool m_busy = false;
    bool m_fileWork = false;
    TokenBucket m_actions;
    TokenBucket m_messages;

    // A message waiting to go out, the rest of it to be read from disk (or null), and when
    // it was queued (m_clock).
    struct Pending
    {
        QByteArray message;
        std::shared_ptr<MessageTail> tail;
        qint64 queuedAtMs;
    };
    std::deque<Pending> m_queue;
    QElapsedTimer m_clock;
    qint64 m_queuedBytes = 0;
    // A stand-in for the kernel query; empty: the kernel's.
    std::function<SendQueue(qintptr)> m_querySendQueue;
    // Bytes written straight to the kernel or into Qt's buffer over the connection's life.
    qint64 m_writtenBytes = 0;
    PathFigures m_path;
    QElapsedTimer m_pathAge;
    bool m_sendBufferChecked = false;
    // How fast this client takes bytes, smoothed over the session; 0 until measured.
    double m_drainBytesPerMs = 0;
    // The rate of the last large file from its first write to its last acknowledgement; 0
    // until measured.
    double m_linkBytesPerMs = 0;
    // The most a hop in front of the client was seen to hold of a file (see delivered()).
    qint64 m_hopHeldBytes = 0;
    // The message in flight, from its first write (pump()) until the pause after it.
    struct InFlight
    {
        char kind = 0;
        // Its size with the tail, and when it was first written (m_clock).
        qint64 size = 0;
        qint64 sinceMs = 0;
        // The tail still to be written, and how much of it.
        std::shared_ptr<MessageTail> tail;
        qint64 tailLeft = 0;
        // The rate of its last acknowledgements, measured once Qt's buffer was empty (the
        // hop, if any, full by then); 0 when they came all at once.
        double ackBytesPerMs = 0;
        // Bytes drained since the kernel's first gulp of it (-1 before that), and since when;
        // later the unacknowledged bytes when the rate was last noted.
        qint64 drainedBytes = -1;
        QElapsedTimer drainClock;
        qint64 lastUnacknowledged = -1;
        // Since Qt's buffer emptied, for platforms that cannot tell what the kernel still
        // holds, and since the kernel had sent every byte.
        QElapsedTimer sinceBufferEmpty;
        QElapsedTimer allSent;
        // The kernel could not tell, so sendQueue() estimated what it holds.
        bool queueEstimated = false;
    };
    InFlight m_inFlight;
    QTimer m_drainDeadline;
    // The next look at the send queue while AwaitingAck; the end of the pause while Pausing.
    QTimer m_outputTimer;
    QTimer m_loginDeadline;
    QTimer m_closeDeadline;
};

} // namespace tavrel::server
