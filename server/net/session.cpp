#include "session.h"

#include "chattext.h"
#include "config.h"
#include "connectioncaps.h"
#include "logging.h"
#include "metrics.h"
#include "pathgaps.h"
#include "protocol.h"

#include <QSslSocket>

#if defined(Q_OS_LINUX)
#include <sys/socket.h>
#endif

#include <algorithm>
#include <limits>

namespace tavrel::server {

namespace {

// Chat, login and registration messages are a few KB at most (2000 UTF-16 units of chat
// text are at most 6000 bytes); a bigger one is not from a client.
constexpr qint64 kMaxTextMessage = 8 * 1024;
// An upload: the file, the prefix, the separator and the path as typed, which may be a
// whole path.
constexpr qint64 kMaxFileMessage = kMaxOutgoingFileSize + kFilePrefixSize + kSeparatorSize + 4096;
// Bounds of the wait between two looks at the kernel's send queue. The wait is the time the
// queue should take to drain, so a message is looked at a few times; the longest wait
// holds the next message back by at most that much after the last acknowledgement.
constexpr int kMinAckPollMs = 1;
constexpr int kMaxAckPollMs = 50;
// Drain rates are measured over at least this long and this many bytes: single writes come
// too close together, and a short message says more about the round trip than the rate.
constexpr qint64 kRateSampleMs = 5;
constexpr qint64 kRateSampleBytes = 16 * 1024;
// Where the kernel cannot tell what it still holds, it is given a send buffer this small, so
// that what it may hold drains in a time the measured rate can estimate. Until a rate has
// been measured, 1 Mbit/s is assumed: slower links are rare, and an estimate too long only
// delays the next message.
constexpr int kBoundedSendBuffer = 64 * 1024;
constexpr double kAssumedBytesPerMs = 125;
// The rest of a file message is read in pieces of this size, the next one as soon as Qt's
// buffer holds less than one: the socket never waits for the disk, and a connection holds
// at most two pieces of a file, whatever its size.
constexpr qint64 kTailPiece = 64 * 1024;
// A hop that ends TCP in front of the client (a proxying load balancer, a carrier's
// performance proxy) acknowledges bytes it still holds: up to this many of a file may
// still be on their way when the last one is acknowledged. The pause after a file covers
// them at the rate acknowledgements came, at kAssumedBytesPerMs when that was faster (a file
// the hop took in whole tells nothing of the link behind it), and at the rate of the last
// large file when that was slower. With it, every file arrived whole through the link
// emulator's 32 and 64 KiB read-ahead and through haproxy with 16 KiB socket buffers (about
// 64 KiB held), on 1, 2 and 10 Mbit/s links with 300 and 400 ms stalls (3% per 16 KiB, 5 to
// 7 stalls in 12 files, seeds 1 to 3); without it, 6 to 8 of 12 and 10 of 12 at 1 Mbit/s.
// haproxy's stock buffers hold megabytes, which no pause can cover (5 to 8 of 12 on those
// links). Re-measure with bench/run-link.sh.
constexpr qint64 kReadAheadBytes = 64 * 1024;
// Files at least this large say how fast the link behind such a hop is: at 500 kbit/s the
// held 64 KiB take a second, twice what the 1 Mbit/s bound above allows for.
constexpr qint64 kLinkSampleBytes = 4 * kReadAheadBytes;
// A hop may hold more than kReadAheadBytes: a carrier's proxy or a balancer with larger
// buffers. Once a file has been acknowledged bit by bit, the rate the acknowledgements came
// at says how much the link behind carried since the first write, and the hop holds the
// rest. Through the emulator's 192 KiB read-ahead at 1 Mbit/s the pause then covers about
// 210 KiB (without it, 64 KiB: chat joined every file larger than the read-ahead). A stall
// among the samples makes the rate look slower and the estimate larger: this bounds the
// pause at 4 s a file at 1 Mbit/s. haproxy with its stock buffers takes a whole file of
// up to megabytes at once, and its acknowledgements then tell nothing (see the README).
constexpr qint64 kMaxHeldBytes = 512 * 1024;
// The segment size TCP assumes when a peer names none, and the smallest an IPv4 path
// carries: relayed chat is laid out for it where the kernel cannot tell the real one.
constexpr qint64 kFallbackSegment = 536;
// This end's figures of a path change over seconds (the minimum round trip only falls, the
// share sent again moves slowly) and each look costs a system call. Looked up for every
// message (its segment size and, after it, its pause), they took two of the three TCP_INFO
// calls per message: 24,000 a second at 200 clients x 1 line/s on loopback.
constexpr qint64 kPathFiguresMaxAgeMs = 250;

} // namespace

int pacingGapFor(char kind)
{
    return quietGapFor(kind) + (kind == 'f' ? kFileGapMarginMs : kTextPauseMarginMs);
}

SessionSettings::SessionSettings(const Config &config)
    : loginTimeoutMs(config.loginTimeoutMs)
    , maxQueuedBytes(config.maxQueuedBytes)
    , drainGraceMs(config.drainGraceMs)
    , minDrainBytesPerSecond(config.minDrainBytesPerSecond)
    , drainMs(config.drainSeconds * 1000)
    , fileGapMs(std::clamp(config.fileGapMs, kQuietGapMs, kFileQuietGapMs))
{}

TokenBucket::TokenBucket(double capacity, double perSecond)
    : m_capacity(capacity)
    , m_rate(perSecond)
    , m_tokens(capacity)
{
    m_clock.start();
}

bool TokenBucket::take()
{
    m_tokens = std::min(m_capacity, m_tokens + m_clock.restart() * m_rate / 1000.0);
    if (m_tokens < 1.0)
        return false;
    m_tokens -= 1.0;
    return true;
}

Session::Session(QTcpSocket *socket, std::shared_ptr<const SessionSettings> settings, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_settings(std::move(settings))
    , m_peer(socket->peerAddress().toString())
    , m_source(sourceKey(socket->peerAddress()))
    // The client sends at most one chat message a second; bursts of five leave room for
    // a file or a request in between.
    , m_actions(5, 2)
    , m_messages(20, 10)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_assembler.setLimits(kMaxFileMessage, kMaxTextMessage);
    m_assembler.setQuietGaps(kQuietGapMs, m_settings->fileGapMs);
    m_outputTimer.setSingleShot(true);
    m_outputTimer.setTimerType(Qt::PreciseTimer);
    m_drainDeadline.setSingleShot(true);
    m_loginDeadline.setSingleShot(true);
    m_closeDeadline.setSingleShot(true);

    m_clock.start();
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        if (m_transport == Transport::Undecided && !chooseTransport())
            return;
        const QByteArray bytes = m_socket->readAll();
        metrics().bytesReceived += quint64(bytes.size());
        // What a closing connection still sends is not read as messages. A client sends a chat
        // line a second at most and the rest at a person's pace, so the gap may follow this
        // end's own figures of the path (pathgaps.h, rule 1).
        if (m_state != State::Reading)
            return;
        if (m_assembler.pendingSize() == 0)
            m_assembler.setTextQuietGap(quietGapMs(path()));
        m_assembler.append(bytes);
    });
    connect(&m_assembler, &MessageAssembler::messageReady, this, [this](const QByteArray &message) {
        if (isClosing())
            return;
        emit messageReceived(message);
    });
    connect(&m_assembler, &MessageAssembler::overflowed, this, [this](qint64 bytes) {
        qCWarning(lcServer) << "message of" << bytes << "bytes or more from" << m_peer;
        abort("oversized message");
    });
    // Once TLS is on, bytesWritten counts the bytes encrypted, not those sent.
    connect(m_socket, &QTcpSocket::bytesWritten, this, [this](qint64 bytes) {
        if (m_transport == Transport::Undecided || m_transport == Transport::Plain)
            onBytesWritten(bytes);
    });
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
        connect(tls, &QSslSocket::encryptedBytesWritten, this, &Session::onBytesWritten);
        connect(tls, &QSslSocket::encrypted, this, [this] {
            m_transport = Transport::Encrypted;
            pump();
        });
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &Session::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            qCDebug(lcServer) << "socket error from" << m_peer << m_socket->errorString();
        if (m_socket->state() == QAbstractSocket::UnconnectedState) {
            onDisconnected();
            return;
        }
        // TLS ends before TCP does: a failed handshake, a record that does not decrypt, or the
        // client's own end of TLS. Nothing more can be read either way.
        if (m_transport != Transport::Handshake && m_transport != Transport::Encrypted)
            return;
        if (error != QAbstractSocket::RemoteHostClosedError)
            qCInfo(lcServer).noquote() << "TLS from" << m_peer << "failed:" << m_socket->errorString();
        abort(m_transport == Transport::Handshake               ? "TLS handshake failed"
              : error == QAbstractSocket::RemoteHostClosedError ? "the client ended TLS"
                                                                : "broken TLS");
    });
    connect(&m_outputTimer, &QTimer::timeout, this, [this] {
        if (m_output == Output::AwaitingAck) {
            checkAcknowledged();
            return;
        }
        m_output = Output::Idle;
        pump();
        continueClosing();
    });
    connect(&m_drainDeadline, &QTimer::timeout, this, [this] {
        qCWarning(lcServer).noquote() << "a message of" << m_inFlight.size << "bytes was not taken in"
                                      << m_drainDeadline.interval() << "ms by" << m_peer << m_userName;
        abort("reads too slowly");
    });
    connect(&m_loginDeadline, &QTimer::timeout, this, [this] { abort("no login in time"); });
    connect(&m_closeDeadline, &QTimer::timeout, this, [this] { abort("did not take its last message"); });
    m_loginDeadline.start(m_settings->loginTimeoutMs);
}

Session::~Session() = default;

void Session::setUserName(const QString &name)
{
    m_userName = name;
    if (isLoggedIn())
        m_loginDeadline.stop();
}

qint64 Session::handedToKernel() const
{
    if (m_transport != Transport::Plain && m_transport != Transport::Undecided)
        return -1;
    return m_writtenBytes - m_socket->bytesToWrite();
}

qint64 Session::bufferedBytes() const
{
    qint64 bytes = m_socket->bytesToWrite();
    if (const auto *tls = qobject_cast<const QSslSocket *>(m_socket))
        bytes += tls->encryptedBytesToWrite();
    return bytes;
}

bool Session::chooseTransport()
{
    char first = 0;
    if (m_socket->peek(&first, 1) != 1)
        return false;
    if (first != kTlsHandshakeByte) {
        m_transport = Transport::Plain;
        ++metrics().plainConnections;
        return true;
    }
    ++metrics().tlsConnections;
    auto *tls = qobject_cast<QSslSocket *>(m_socket);
    if (!tls || m_tls.isNull()) {
        ++metrics().tlsHandshakeFailures;
        abort("TLS, which this server does not serve");
        return false;
    }
    m_transport = Transport::Handshake;
    tls->setSslConfiguration(m_tls);
    // The handshake reads the bytes that were only looked at.
    tls->startServerEncryption();
    return false;
}

bool Session::isFileBusy() const
{
    if (m_fileWork ||
        ((m_output == Output::Writing || m_output == Output::AwaitingAck) && m_inFlight.kind == 'f'))
        return true;
    return std::any_of(m_queue.begin(), m_queue.end(),
                       [](const Pending &p) { return p.message.at(0) == 'f'; });
}

void Session::send(const QByteArray &message)
{
    if (isClosing() || message.isEmpty())
        return;
    const char kind = message.at(0);
    if (kind == 'c') {
        // Join the last waiting chat message unless something other than a user list is
        // queued behind it: the order of chat lines and files stays as it was sent.
        for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
            const char waiting = it->message.at(0);
            if (waiting == 'c') {
                // A view, not a copy: a line goes to every reader, 40,000 times a second at 200
                // clients x 1 line/s.
                const QByteArrayView line = QByteArrayView(message).sliced(qstrlen(kChatPrefix));
                if (m_queuedBytes + line.size() + 1 > m_settings->maxQueuedBytes) {
                    abort("reads too slowly");
                    return;
                }
                it->message.append('\n');
                it->message.append(line);
                m_queuedBytes += line.size() + 1;
                return;
            }
            if (waiting != 'o')
                break;
        }
    } else if (kind == 'o') {
        for (Pending &waiting : m_queue) {
            if (waiting.message.at(0) == 'o') {
                m_queuedBytes += message.size() - waiting.message.size();
                waiting.message = message;
                return;
            }
        }
    }
    enqueue(message, nullptr);
}

void Session::sendWithTail(const QByteArray &head, std::shared_ptr<MessageTail> tail)
{
    if (isClosing() || head.isEmpty())
        return;
    enqueue(head, std::move(tail));
}

void Session::enqueue(const QByteArray &message, std::shared_ptr<MessageTail> tail)
{
    // A tail waits on disk, not here: only the head counts.
    if (m_queuedBytes + message.size() > m_settings->maxQueuedBytes) {
        abort("reads too slowly");
        return;
    }
    m_queue.push_back({message, std::move(tail), m_clock.elapsed()});
    m_queuedBytes += message.size();
    pump();
}

void Session::sendAndClose(const QByteArray &message)
{
    if (isClosing())
        return;
    m_queue.clear();
    m_queuedBytes = 0;
    send(message);
    closeAfterOutput(m_settings->drainMs);
}

void Session::stopReading()
{
    if (m_state == State::Reading)
        m_state = State::SendingOnly;
    m_assembler.clear();
}

void Session::closeAfterOutput(int deadlineMs)
{
    if (isClosing())
        return;
    m_state = State::Closing;
    m_assembler.clear();
    m_closeDeadline.start(deadlineMs);
    continueClosing();
}

// The last message must be acknowledged (delivered()) and the client's quiet gap after it
// passed before the close: the client ends a message by that gap, and gives up one
// whose connection closes first.
void Session::continueClosing()
{
    if (m_state != State::Closing || m_output != Output::Idle || !m_queue.empty())
        return;
    m_socket->disconnectFromHost();
}

void Session::pump()
{
    if (m_output != Output::Idle || m_queue.empty() || m_transport == Transport::Handshake ||
        m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    Pending next = std::move(m_queue.front());
    m_queue.pop_front();
    QByteArray message = std::move(next.message);
    if (next.tail && next.tail->size() == 0)
        next.tail.reset();
    metrics().pacingDelay.record(double(m_clock.elapsed() - next.queuedAtMs) / 1000.0);
    m_queuedBytes -= message.size();
    if (message.at(0) == kChatPrefix[0]) {
        // Within one segment, so that no reader gets a piece of it on its own (chattext.h).
        const qint64 segment = path().segmentBytes;
        QByteArray rest = std::exchange(message, QByteArray());
        message = takeChatPiece(rest, segment > 0 ? segment : kFallbackSegment);
        if (!rest.isEmpty()) {
            m_queuedBytes += rest.size();
            m_queue.push_front({std::move(rest), nullptr, next.queuedAtMs});
        }
    }
    metrics().countSent(message);
    m_output = Output::Writing;
    m_inFlight = InFlight();
    m_inFlight.kind = message.at(0);
    m_inFlight.tail = std::move(next.tail);
    m_inFlight.tailLeft = m_inFlight.tail ? m_inFlight.tail->size() : 0;
    metrics().bytesSent += quint64(m_inFlight.tailLeft);
    m_inFlight.size = message.size() + m_inFlight.tailLeft;
    m_inFlight.sinceMs = m_clock.elapsed();
    if (!m_sendBufferChecked) {
        m_sendBufferChecked = true;
        if (kernelQueue().unacknowledged < 0)
            m_socket->setSocketOption(QAbstractSocket::SendBufferSizeSocketOption, kBoundedSendBuffer);
    }
    // One message goes out without a pause: the client reads one message per quiet gap.
    const qint64 direct = m_inFlight.tail ? 0 : writeDirect(message);
    if (direct < message.size())
        writeThroughQt(direct > 0 ? message.mid(direct) : message);
    feedTail();
    if (direct == message.size())
        onBytesWritten(direct);
    // A message the client took at once needs no deadline (nor a timer to set and clear).
    if (!isClosing() && (m_output == Output::Writing || m_output == Output::AwaitingAck)) {
        const qint64 deadline =
            m_settings->drainGraceMs +
            m_inFlight.size * 1000 / std::max<qint64>(1, m_settings->minDrainBytesPerSecond);
        m_drainDeadline.start(int(std::min<qint64>(deadline, std::numeric_limits<int>::max())));
    }
}

// Qt would write a message on the next turn of the event loop, and would take up and drop a write
// notification for it, waking its own loop with two more write(2) calls. With nothing waiting in Qt's buffer
// a plain connection's message goes to the kernel at once instead; what the kernel does not take goes through
// Qt as before, and an error is left for Qt's write to find. At 200 clients x 1 line/s on loopback this and
// the path figures kept for a while (kPathFiguresMaxAgeMs) halved the server's system calls, from 86,000 to
// 43,000 a second, and took its CPU from 30 to 35% of a core to 19 to 26% in alternating runs
// (bench/run-server-load.sh).
qint64 Session::writeDirect(const QByteArray &message)
{
#if defined(Q_OS_LINUX)
    if (m_transport != Transport::Plain || bufferedBytes() > 0)
        return 0;
    const ssize_t sent = ::send(int(m_socket->socketDescriptor()), message.constData(),
                                size_t(message.size()), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent <= 0)
        return 0;
    m_writtenBytes += sent;
    return sent;
#else
    Q_UNUSED(message);
    return 0;
#endif
}

void Session::writeThroughQt(const QByteArray &bytes)
{
    m_writtenBytes += std::max<qint64>(0, writeWhole(m_socket, bytes));
}

const PathFigures &Session::path()
{
    if (!m_pathAge.isValid() || m_pathAge.elapsed() >= kPathFiguresMaxAgeMs) {
        m_path = measurePath(m_socket->socketDescriptor());
        m_pathAge.start();
    }
    return m_path;
}

void Session::feedTail()
{
    while (m_inFlight.tail && bufferedBytes() < kTailPiece) {
        QByteArray piece(std::min(kTailPiece, m_inFlight.tailLeft), Qt::Uninitialized);
        const qint64 read = m_inFlight.tail->read(piece.data(), piece.size());
        if (read <= 0) {
            // What went out cannot be taken back: a client must not take it for a whole file.
            qCWarning(lcServer) << "a file for" << m_peer << "ended" << m_inFlight.tailLeft << "bytes early";
            abort("a file could not be read to its end");
            return;
        }
        piece.truncate(read);
        writeThroughQt(piece);
        m_inFlight.tailLeft -= read;
        if (m_inFlight.tailLeft == 0)
            m_inFlight.tail.reset();
    }
}

void Session::onBytesWritten(qint64 bytes)
{
    if (m_output != Output::Writing)
        return;
    // While Qt's buffer waits for room, the kernel takes bytes as fast as the client
    // acknowledges them; its first gulp of a message says nothing about the client.
    if (m_inFlight.drainedBytes < 0) {
        m_inFlight.drainedBytes = 0;
        m_inFlight.drainClock.start();
    } else {
        m_inFlight.drainedBytes += bytes;
    }
    if (m_inFlight.tail) {
        feedTail();
        return;
    }
    if (bufferedBytes() > 0)
        return;
    noteDrainRate(m_inFlight.drainedBytes, m_inFlight.drainClock.elapsed());
    m_output = Output::AwaitingAck;
    m_inFlight.sinceBufferEmpty.start();
    checkAcknowledged();
}

SendQueue Session::kernelQueue() const
{
    const qintptr fd = m_socket->socketDescriptor();
    return m_querySendQueue ? m_querySendQueue(fd) : querySendQueue(fd, handedToKernel());
}

SendQueue Session::sendQueue()
{
    SendQueue queue = kernelQueue();
    // The kernel tells the time since the last send in ticks of a few ms; a look every ms
    // tells it finer.
    if (queue.unsent == 0 && !m_inFlight.allSent.isValid())
        m_inFlight.allSent.start();
    if (m_inFlight.allSent.isValid())
        queue.sinceLastSendUs = std::max(queue.sinceLastSendUs, m_inFlight.allSent.nsecsElapsed() / 1000);
    m_inFlight.queueEstimated = queue.unacknowledged < 0;
    if (!m_inFlight.queueEstimated)
        return queue;
    // Without the kernel's word: it may hold up to its buffer of the message, and drains at
    // the rate measured while Qt's buffer waited for room.
    const qint64 buffer = m_socket->socketOption(QAbstractSocket::SendBufferSizeSocketOption).toLongLong();
    const qint64 held = std::min(m_inFlight.size, buffer > 0 ? buffer : m_inFlight.size);
    const double rate = m_drainBytesPerMs > 0 ? m_drainBytesPerMs : kAssumedBytesPerMs;
    queue.unacknowledged =
        std::max<qint64>(0, held - qint64(rate * double(m_inFlight.sinceBufferEmpty.elapsed())));
    return queue;
}

bool Session::noteDrainRate(qint64 bytes, qint64 elapsedMs)
{
    if (bytes < kRateSampleBytes || elapsedMs < kRateSampleMs)
        return false;
    const double rate = double(bytes) / double(elapsedMs);
    m_drainBytesPerMs = m_drainBytesPerMs > 0 ? 0.7 * m_drainBytesPerMs + 0.3 * rate : rate;
    return true;
}

int Session::pollIntervalMs(const SendQueue &queue) const
{
    const qint64 heldBackUs = queue.untilOnlyDelayedAcknowledgementUs();
    if (heldBackUs > 0)
        return qBound(kMinAckPollMs, int((heldBackUs + 999) / 1000), kMaxAckPollMs);
    // The rest should be gone after what is left at the measured rate, and the last bytes
    // take a round trip to be acknowledged after they left: half of one is a fair first look.
    double ms = m_drainBytesPerMs > 0 ? double(queue.unacknowledged) / m_drainBytesPerMs : 0;
    if (queue.rttUs > 0)
        ms = std::max(ms, double(queue.rttUs) / 2000.0);
    return qBound(kMinAckPollMs, int(ms), kMaxAckPollMs);
}

void Session::checkAcknowledged()
{
    if (m_output != Output::AwaitingAck || isClosed())
        return;
    const SendQueue queue = sendQueue();
    // A client that sends too (chat) gets its acknowledgements delayed; waiting for those
    // would add up to 40 ms (200 ms on some systems) to every message, and on loopback the
    // wait for any acknowledgement costs a busy machine more than the bytes take.
    if (queue.isDelivered()) {
        delivered();
        return;
    }
    if (m_inFlight.lastUnacknowledged < 0) {
        m_inFlight.lastUnacknowledged = queue.unacknowledged;
        m_inFlight.drainClock.start();
    } else if (!m_inFlight.queueEstimated) {
        const qint64 acknowledged = m_inFlight.lastUnacknowledged - queue.unacknowledged;
        const qint64 elapsedMs = m_inFlight.drainClock.elapsed();
        if (noteDrainRate(acknowledged, elapsedMs)) {
            m_inFlight.ackBytesPerMs = double(acknowledged) / double(elapsedMs);
            m_inFlight.lastUnacknowledged = queue.unacknowledged;
            m_inFlight.drainClock.restart();
        }
    }
    m_outputTimer.start(pollIntervalMs(queue));
}

void Session::delivered()
{
    m_output = Output::Pausing;
    m_drainDeadline.stop();
    if (m_inFlight.kind != 'f') {
        m_outputTimer.start(pacingPauseMs(path()));
        return;
    }
    // After a file: the client's file gap, the margin, and the time what a hop in front of the
    // client may still hold of it takes to reach the client.
    const int gap = m_settings->fileGapMs + kFileGapMarginMs;
    // A file many times the read-ahead took about as long as the link needs for it,
    // whatever a hop took in at first: its rate is the link's, more or less.
    if (m_inFlight.size >= kLinkSampleBytes)
        m_linkBytesPerMs =
            double(m_inFlight.size) / double(std::max<qint64>(1, m_clock.elapsed() - m_inFlight.sinceMs));
    double rate =
        std::min(m_drainBytesPerMs > 0 ? m_drainBytesPerMs : kAssumedBytesPerMs, kAssumedBytesPerMs);
    if (m_linkBytesPerMs > 0)
        rate = std::min(rate, m_linkBytesPerMs);
    if (m_inFlight.ackBytesPerMs > 0) {
        const double carried = m_inFlight.ackBytesPerMs * double(m_clock.elapsed() - m_inFlight.sinceMs);
        m_hopHeldBytes = std::max(m_hopHeldBytes, std::min(m_inFlight.size - qint64(carried), kMaxHeldBytes));
    }
    // A later file the hop takes in whole may leave it holding as much again. Until a
    // large file has shown the link, a smaller one acknowledged all at once may be held in
    // whole. Through the emulator's 192 KiB read-ahead at 1 Mbit/s a first file of 210 KiB
    // partly acknowledged bit by bit still came out short of that estimate (see the README).
    qint64 cover = std::max(kReadAheadBytes, m_hopHeldBytes);
    if (m_linkBytesPerMs <= 0 && m_inFlight.ackBytesPerMs <= 0)
        cover = kLinkSampleBytes;
    const qint64 held = std::min(m_inFlight.size, cover);
    m_outputTimer.start(gap + int(double(held) / rate));
}

void Session::abort(const char *reason)
{
    if (isClosed())
        return;
    qCInfo(lcServer).noquote() << "closing the connection from" << m_peer << m_userName << "-" << reason;
    m_state = State::Closing;
    m_socket->abort();
    onDisconnected();
}

void Session::onDisconnected()
{
    if (isClosed())
        return;
    m_state = State::Closed;
    if (m_transport == Transport::Handshake)
        ++metrics().tlsHandshakeFailures;
    m_inFlight.tail.reset();
    m_outputTimer.stop();
    m_drainDeadline.stop();
    m_loginDeadline.stop();
    m_closeDeadline.stop();
    m_assembler.clear();
    m_queue.clear();
    m_queuedBytes = 0;
    emit closed();
}

} // namespace tavrel::server
