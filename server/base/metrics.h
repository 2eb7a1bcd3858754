#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>

#include <array>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QHttpServer;
class QTcpServer;

namespace tavrel::server {

// The quantiles of the last samples of a delay, for a Prometheus summary.
class DelaySummary
{
public:
    // Long enough to cover a few minutes of a busy room, small enough to sort on each scrape.
    static constexpr int kWindow = 4096;

    void record(double seconds);
    // The q-quantile (0..1) of the samples in the window; 0 with no samples.
    double quantile(double q) const;
    quint64 count() const;
    double sum() const;

private:
    mutable std::mutex m_mutex;
    std::vector<double> m_window;
    size_t m_next = 0;
    quint64 m_count = 0;
    double m_sum = 0;
};

// The server's counters, for its operator's monitoring. Process-wide, like the default
// registry of a Prometheus client library, so that any part of the server counts without
// being handed anything. Counters only ever grow; tests compare before and after.
//
// Nothing here holds a user name, a mail address or a network address.
class Metrics
{
public:
    // The kinds of message a client is sent, by their prefix.
    enum Kind { ChatLine, UserList, LoginAnswer, RegistrationAnswer, File, Image, OtherKind, KindCount };
    static Kind kindOf(const QByteArray &message);
    static const char *kindName(Kind kind);

    void countSent(const QByteArray &message);

    std::array<std::atomic<quint64>, KindCount> messagesSent{};
    std::atomic<quint64> bytesReceived{0};
    std::atomic<quint64> bytesSent{0};
    std::atomic<quint64> loginsSucceeded{0};
    std::atomic<quint64> loginsFailed{0};
    // A code counts as sent when the relay accepts its mail (or, with no relay, when the mail
    // is in the outbox), as failed when its mail cannot be written or will not go out.
    std::atomic<quint64> codesSent{0};
    std::atomic<quint64> codesFailed{0};
    std::atomic<quint64> mailRetries{0};
    std::atomic<int> mailQueue{0};
    // Messages on the bus that no instance sealed, that are malformed or oversized, or that
    // were heard before: the order is Bus::Drop's.
    std::array<std::atomic<quint64>, 4> busDropped{};
    // Connections by what their first byte started: plain messages or a TLS handshake; and
    // the handshakes that failed, or that the connection closed before they finished.
    std::atomic<quint64> plainConnections{0};
    std::atomic<quint64> tlsConnections{0};
    std::atomic<quint64> tlsHandshakeFailures{0};
    std::atomic<quint64> tlsReloadsSucceeded{0};
    std::atomic<quint64> tlsReloadsFailed{0};
    // How long a message waits in a connection's queue for the quiet gap before it.
    DelaySummary pacingDelay;
};

Metrics &metrics();

// What the server knows only at the moment of a scrape.
struct MetricsGauges
{
    int connections = 0;
    int loggedIn = 0;
    qint64 sendQueueMessages = 0;
    qint64 sendQueueBytes = 0;
    int workQueue = 0;
    // When the certificate served expires, in seconds since the epoch; 0 without TLS.
    qint64 tlsCertificateExpiry = 0;
};

// The Prometheus text exposition of the metrics.
QByteArray renderMetrics(const Metrics &metrics, const MetricsGauges &gauges);

// Serves renderMetrics on GET /metrics.
class MetricsEndpoint
{
public:
    explicit MetricsEndpoint(std::function<MetricsGauges()> gauges);
    ~MetricsEndpoint();
    bool listen(const QHostAddress &address, quint16 port);
    quint16 port() const;

private:
    std::unique_ptr<QHttpServer> m_http;
    QTcpServer *m_listener = nullptr; // owned by m_http once bound
    std::function<MetricsGauges()> m_gauges;
};

} // namespace tavrel::server
