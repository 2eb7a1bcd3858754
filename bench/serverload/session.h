#pragma once

#include "assembler.h"

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpSocket>

#include <functional>
#include <limits>

namespace bench {

// One client connection to the server under load. It frames what the server sends with
// the same quiet-gap rule as the real client, and notes when the bytes of each message
// arrived, so that latency is measured at the wire and not after the client's own gap.
class Session : public QObject
{
    Q_OBJECT
public:
    Session(int index, const QString &name, QObject *parent = nullptr);

    // Sessions made from now on talk TLS (and check no certificate: the server is measured).
    static void setTls(bool tls);

    int index() const { return m_index; }
    const QString &name() const { return m_name; }
    QTcpSocket *socket() { return m_socket; }
    bool isConnected() const { return m_socket->state() == QAbstractSocket::ConnectedState; }

    // Connections from this session leave from source (any loopback address will do);
    // a null address lets the system choose.
    void setSource(const QHostAddress &source) { m_source = source; }
    // The segment size the server is asked to send in (TCP_MAXSEG), as a path with a smaller
    // MTU than loopback's would make it; 0: loopback's own.
    static void setMaxSegment(int bytes) { s_maxSegment = bytes; }
    // The server instance this session talks to, one of several, and its port.
    void setServer(int instance, quint16 port)
    {
        m_instance = instance;
        m_port = port;
    }
    int instance() const { return m_instance; }
    void open(const QHostAddress &host);
    void close();

    // Writes one message the way the client does and hands it to the kernel at once, so
    // the send stamp inside it is close to the moment it leaves.
    void send(const QByteArray &message);
    // Microseconds since this session last sent a message (large when it never did).
    qint64 usSinceLastSend() const;

    bool loggedIn = false;
    // Times this process was too busy to end a message on time: bytes came after a full
    // quiet gap but before the gap's timer ran. They were still framed as the gap says.
    qint64 lateGaps = 0;
    // Messages that began less than a quiet gap after the bytes before them: the sender did
    // not keep the gap, and a client joins them to the message before. Only seen when the
    // two arrive in separate reads.
    qint64 earlyMessages = 0;
    qint64 closestEarlyUs = std::numeric_limits<qint64>::max();

    // A whole message from the server; arrivalUs is when its last bytes were read.
    std::function<void(Session *, const QByteArray &message, qint64 arrivalUs)> onMessage;
    std::function<void(Session *)> onConnected;
    std::function<void(Session *)> onClosed;

private:
    void readAvailable();
    void reportClosed();
    static bool startsLikeAMessage(const QByteArray &bytes);

    int m_index;
    QString m_name;
    QTcpSocket *m_socket;
    bool m_tls;
    QHostAddress m_source;
    static inline int s_maxSegment = 0;
    int m_instance = 0;
    quint16 m_port = 0;
    tavrel::MessageAssembler m_assembler;
    qint64 m_lastArrivalUs = 0;
    bool m_open = false;
    qint64 m_lastSendUs = 0;
};

} // namespace bench
