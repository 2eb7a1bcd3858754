#pragma once

#include "assembler.h"
#include "config.h"
#include "messagetail.h"
#include "sendqueue.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>

class QTcpSocket;

namespace tavrel::server {

// Extra wait, beyond the client's own quiet gap, before the next message goes out. The
// wait starts once the client's kernel has acknowledged the last byte of a message, which
// the client's event loop reads a moment later; the margin covers that moment and the
// scheduling of both processes. 10 ms covers loopback and a LAN with room to spare. A file
// or image message ends a longer transfer, whose last reads a busy window may take late,
// so those get 100 ms.
inline constexpr int kGapMarginMs = 10;
inline constexpr int kFileGapMarginMs = 100;

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
// room costs a reader at most one gap of delay, not a growing queue.
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

    // A login or registration of this session is being worked on.
    bool isBusy() const { return m_busy; }
    void setBusy(bool busy) { m_busy = busy; }
    // An upload or a file request of this session is being worked on or its file is
    // still on its way: the file work it may cause is bounded.
    bool isFileBusy() const;
    void setFileWork(bool working) { m_fileWork = working; }
    // Bytes of a message have arrived whose end has not.
    bool isGathering() const { return !m_assembler.pending().isEmpty(); }

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
    void onBytesWritten(qint64 bytes);
    void checkAcknowledged();
    void delivered();
    // Bytes of the message in flight that the client has not acknowledged yet.
    SendQueue sendQueue() const;
    void noteDrainRate(qint64 bytes, qint64 elapsedMs);
    int pollIntervalMs(const SendQueue &queue) const;
    void onDisconnected();
    void continueClosing();

    QTcpSocket *m_socket;
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
    // How fast this client takes bytes, smoothed over the session; 0 until measured.
    double m_drainBytesPerMs = 0;
    // Bytes drained since the rate was last noted (-1 before the kernel's first gulp of a
    // message), and since when.
    qint64 m_drainedBytes = -1;
    QElapsedTimer m_drainClock;
    qint64 m_lastUnacknowledged = -1;
    // Since Qt's buffer emptied, for platforms that cannot tell what the kernel still holds.
    QElapsedTimer m_sinceBufferEmpty;
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
