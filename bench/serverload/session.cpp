#include "session.h"

#include "assembler.h"
#include "clock.h"
#include "pathgaps.h"
#include "protocol.h"

#include <QSslSocket>

#include <limits>

#if defined(Q_OS_LINUX)
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#endif

namespace bench {

namespace {

bool tlsSessions = false;

} // namespace

void Session::setTls(bool tls)
{
    tlsSessions = tls;
}

Session::Session(int index, const QString &name, QObject *parent)
    : QObject(parent)
    , m_index(index)
    , m_name(name)
    , m_socket(tlsSessions ? new QSslSocket(this) : new QTcpSocket(this))
    , m_tls(tlsSessions)
    , m_assembler(this)
{
    connect(m_socket, &QTcpSocket::readyRead, this, &Session::readAvailable);
    connect(m_socket, &QTcpSocket::connected, this, [this] {
        // Chat lines are small; waiting to fill a segment would only add latency.
        m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (onConnected && !m_tls)
            onConnected(this);
    });
    if (auto *tls = qobject_cast<QSslSocket *>(m_socket)) {
        tls->setPeerVerifyMode(QSslSocket::VerifyNone);
        connect(tls, &QSslSocket::encrypted, this, [this] {
            if (onConnected)
                onConnected(this);
        });
    }
    connect(m_socket, &QTcpSocket::disconnected, this, &Session::reportClosed);
    // A refused connection never reaches the connected state, so it only reports an error.
    connect(m_socket, &QTcpSocket::errorOccurred, this, [this](QAbstractSocket::SocketError) {
        if (m_socket->state() == QAbstractSocket::UnconnectedState)
            reportClosed();
    });
    connect(&m_assembler, &tavrel::MessageAssembler::messageReady, this, [this](const QByteArray &message) {
        if (onMessage)
            onMessage(this, message, m_lastArrivalUs);
    });
}

void Session::open(const QHostAddress &host)
{
    m_assembler.clear();
    m_open = true;
    if (!m_source.isNull() || s_maxSegment > 0)
        m_socket->bind(m_source.isNull() ? QHostAddress(QHostAddress::LocalHost) : m_source);
#if defined(Q_OS_LINUX)
    if (s_maxSegment > 0)
        setsockopt(int(m_socket->socketDescriptor()), IPPROTO_TCP, TCP_MAXSEG, &s_maxSegment,
                   sizeof s_maxSegment);
#endif
    if (m_tls)
        static_cast<QSslSocket *>(m_socket)->connectToHostEncrypted(host.toString(), m_port);
    else
        m_socket->connectToHost(host, m_port);
}

void Session::close()
{
    loggedIn = false;
    m_open = false;
    m_socket->abort();
    m_assembler.clear();
}

void Session::send(const QByteArray &message)
{
    tavrel::writeZeroTerminated(m_socket, message);
    m_socket->flush();
    m_lastSendUs = nowUs();
}

qint64 Session::usSinceLastSend() const
{
    return m_lastSendUs == 0 ? std::numeric_limits<qint64>::max() / 2 : nowUs() - m_lastSendUs;
}

bool Session::startsLikeAMessage(const QByteArray &bytes)
{
    // What the server sends to a logged-in client opens with one of these; the middle of a
    // chat message, split by the transport, opens with part of a line instead.
    return bytes.startsWith(tavrel::kChatPrefix) || bytes.startsWith(tavrel::kUserListPrefix) ||
           bytes.startsWith(tavrel::kLoginPrefix) || bytes.startsWith(tavrel::kRegistrationPrefix);
}

void Session::reportClosed()
{
    loggedIn = false;
    if (!m_open)
        return;
    m_open = false;
    if (onClosed)
        onClosed(this);
}

void Session::readAvailable()
{
    const QByteArray bytes = m_socket->readAll();
    if (bytes.isEmpty())
        return;
    const qint64 now = nowUs();
    // The timer that ends a message may run late when this process is busy; the bytes
    // themselves say whether the sender kept the gap, and that is what is measured here.
    if (m_assembler.pendingSize() > 0) {
        const qint64 gapUs = now - m_lastArrivalUs;
        if (gapUs >= qint64(m_assembler.gapForStart(m_assembler.pendingStart(2))) * 1000) {
            ++lateGaps;
            m_assembler.flush();
        } else if (startsLikeAMessage(bytes)) {
            ++earlyMessages;
            closestEarlyUs = std::min(closestEarlyUs, gapUs);
        }
    }
    m_lastArrivalUs = now;
    if (m_assembler.pendingSize() == 0)
        tavrel::followPacedPath(m_assembler, m_socket->socketDescriptor());
    m_assembler.append(bytes);
}

} // namespace bench
