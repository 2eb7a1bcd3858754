#include "session.h"

#include "logging.h"
#include "metrics.h"
#include "protocol.h"

#include <QTcpSocket>

namespace tavrel::server {

namespace {

// Chat, login and registration messages are a few KB at most (2000 UTF-16 units of chat
// text are at most 6000 bytes); a bigger one is not from a client.
constexpr qint64 kMaxTextMessage = 8 * 1024;
// An upload: the file, the prefix, the separator and the path as typed, which may be a
// whole path.
constexpr qint64 kMaxFileMessage = kMaxOutgoingFileSize + kFilePrefixSize + kSeparatorSize + 4096;
// How long a connection that is being closed may take to hand over its last message.
constexpr int kCloseDeadlineMs = 5000;

} // namespace

int pacingGapFor(char kind)
{
    return quietGapFor(kind) + (kind == 'f' ? kFileGapMarginMs : kGapMarginMs);
}

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

Session::Session(QTcpSocket *socket, const Config &config, QObject *parent)
    : QObject(parent)
    , m_socket(socket)
    , m_config(config)
    , m_peer(socket->peerAddress().toString())
    // The client sends at most one chat message a second; bursts of five leave room for
    // a file or a request in between.
    , m_actions(5, 2)
    , m_messages(20, 10)
{
    m_socket->setParent(this);
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    m_socket->setSocketOption(QAbstractSocket::KeepAliveOption, 1);
    m_assembler.setLimits(kMaxFileMessage, kMaxTextMessage);
    m_gap.setSingleShot(true);
    m_gap.setTimerType(Qt::PreciseTimer);
    m_idle.setSingleShot(true);
    m_closeDeadline.setSingleShot(true);

    m_clock.start();
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        const QByteArray bytes = m_socket->readAll();
        metrics().bytesReceived += quint64(bytes.size());
        m_assembler.append(bytes);
    });
    connect(&m_assembler, &MessageAssembler::messageReady, this, [this](const QByteArray &message) {
        if (m_closing)
            return;
        emit messageReceived(message);
    });
    connect(&m_assembler, &MessageAssembler::overflowed, this, [this](qint64 bytes) {
        qCWarning(lcServer) << "message of" << bytes << "bytes or more from" << m_peer;
        abort("oversized message");
    });
    connect(m_socket, &QTcpSocket::bytesWritten, this, &Session::onBytesWritten);
    connect(m_socket, &QTcpSocket::disconnected, this, &Session::onDisconnected);
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError error) {
        if (error != QAbstractSocket::RemoteHostClosedError)
            qCDebug(lcServer) << "socket error from" << m_peer << m_socket->errorString();
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            onDisconnected();
    });
    connect(&m_gap, &QTimer::timeout, this, &Session::pump);
    connect(&m_idle, &QTimer::timeout, this, [this] { abort("no login in time"); });
    connect(&m_closeDeadline, &QTimer::timeout, this, [this] { abort("did not take its last message"); });
    m_idle.start(m_config.loginIdleTimeoutMs);
}

Session::~Session() = default;

void Session::keepWaitingForLogin()
{
    if (!isLoggedIn() && !m_closed)
        m_idle.start();
}

void Session::setUserName(const QString &name)
{
    m_userName = name;
    if (isLoggedIn())
        m_idle.stop();
}

void Session::send(const QByteArray &message)
{
    if (m_closing || m_closed || message.isEmpty())
        return;
    const char kind = message.at(0);
    if (kind == 'c') {
        // Join the last waiting chat message unless something other than a user list is
        // queued behind it: the order of chat lines and files stays as it was sent.
        for (auto it = m_queue.rbegin(); it != m_queue.rend(); ++it) {
            if (it->at(0) == 'c') {
                const QByteArray line = message.mid(int(qstrlen(kChatPrefix)));
                if (m_queuedBytes + line.size() + 1 > m_config.maxQueuedBytes) {
                    abort("reads too slowly");
                    return;
                }
                it->append('\n');
                it->append(line);
                m_queuedBytes += line.size() + 1;
                return;
            }
            if (it->at(0) != 'o')
                break;
        }
    } else if (kind == 'o') {
        for (QByteArray &waiting : m_queue) {
            if (waiting.at(0) == 'o') {
                m_queuedBytes += message.size() - waiting.size();
                waiting = message;
                return;
            }
        }
    }
    // A message always fits into an empty queue, so one big file can still be sent.
    if (!m_queue.empty() && m_queuedBytes + message.size() > m_config.maxQueuedBytes) {
        abort("reads too slowly");
        return;
    }
    m_queue.push_back(message);
    m_queuedSince.push_back(m_clock.elapsed());
    m_queuedBytes += message.size();
    pump();
}

void Session::sendAndClose(const QByteArray &message)
{
    if (m_closing || m_closed)
        return;
    m_queue.clear();
    m_queuedSince.clear();
    m_queuedBytes = 0;
    send(message);
    m_closing = true;
    m_closeDeadline.start(kCloseDeadlineMs);
    if (!m_inFlight && m_queue.empty())
        m_socket->disconnectFromHost();
}

void Session::pump()
{
    if (m_inFlight || m_gap.isActive() || m_queue.empty() ||
        m_socket->state() != QAbstractSocket::ConnectedState)
        return;
    const QByteArray message = std::move(m_queue.front());
    m_queue.pop_front();
    metrics().pacingDelay.record(double(m_clock.elapsed() - m_queuedSince.front()) / 1000.0);
    m_queuedSince.pop_front();
    metrics().countSent(message);
    m_queuedBytes -= message.size();
    m_lastKind = message.at(0);
    m_inFlight = true;
    // One write per message: the client reads one message per quiet gap.
    writeWhole(m_socket, message);
}

void Session::onBytesWritten()
{
    if (!m_inFlight || m_socket->bytesToWrite() > 0)
        return;
    m_inFlight = false;
    if (m_closing && m_queue.empty()) {
        m_socket->disconnectFromHost();
        return;
    }
    m_gap.start(pacingGapFor(m_lastKind));
}

void Session::abort(const char *reason)
{
    if (m_closed)
        return;
    qCInfo(lcServer).noquote() << "closing the connection from" << m_peer << m_userName << "-" << reason;
    m_closing = true;
    m_socket->abort();
    onDisconnected();
}

void Session::onDisconnected()
{
    if (m_closed)
        return;
    m_closed = true;
    m_closing = true;
    m_gap.stop();
    m_idle.stop();
    m_closeDeadline.stop();
    m_assembler.clear();
    m_queue.clear();
    m_queuedSince.clear();
    m_queuedBytes = 0;
    emit closed();
}

} // namespace tavrel::server
