#include "metrics.h"

#include "logging.h"
#include "protocol.h"

#include <QHttpServer>
#include <QHttpServerResponse>
#include <QTcpServer>

#include <algorithm>
#include <cmath>

namespace tavrel::server {

void DelaySummary::record(double seconds)
{
    const std::lock_guard lock(m_mutex);
    if (m_window.size() < size_t(kWindow))
        m_window.push_back(seconds);
    else
        m_window[m_next] = seconds;
    m_next = (m_next + 1) % size_t(kWindow);
    ++m_count;
    m_sum += seconds;
}

double DelaySummary::quantile(double q) const
{
    std::vector<double> samples;
    {
        const std::lock_guard lock(m_mutex);
        samples = m_window;
    }
    if (samples.empty())
        return 0;
    // The nearest rank: the smallest sample that at least q of all samples do not exceed.
    const size_t rank = size_t(std::max(1.0, std::ceil(q * double(samples.size())))) - 1;
    std::nth_element(samples.begin(), samples.begin() + qsizetype(rank), samples.end());
    return samples[rank];
}

quint64 DelaySummary::count() const
{
    const std::lock_guard lock(m_mutex);
    return m_count;
}

double DelaySummary::sum() const
{
    const std::lock_guard lock(m_mutex);
    return m_sum;
}

Metrics::Kind Metrics::kindOf(const QByteArray &message)
{
    if (message.startsWith(kImagePrefix))
        return Image;
    switch (message.isEmpty() ? 0 : message.at(0)) {
    case 'c':
        return ChatLine;
    case 'o':
        return UserList;
    case 'l':
        return LoginAnswer;
    case 'r':
        return RegistrationAnswer;
    case 'f':
        return File;
    default:
        return OtherKind;
    }
}

const char *Metrics::kindName(Kind kind)
{
    switch (kind) {
    case ChatLine:
        return "chat";
    case UserList:
        return "user_list";
    case LoginAnswer:
        return "login_answer";
    case RegistrationAnswer:
        return "registration_answer";
    case File:
        return "file";
    case Image:
        return "image";
    case OtherKind:
    case KindCount:
        break;
    }
    return "other";
}

void Metrics::countSent(const QByteArray &message)
{
    messagesSent[kindOf(message)]++;
    bytesSent += quint64(message.size());
}

Metrics &metrics()
{
    static Metrics instance;
    return instance;
}

namespace {

class Exposition
{
public:
    void family(const char *name, const char *type, const char *help)
    {
        m_text += QByteArray("# HELP ") + name + ' ' + help + "\n# TYPE " + name + ' ' + type + '\n';
    }
    template<typename Number> void sample(const QByteArray &name, Number value)
    {
        m_text += name + ' ' + QByteArray::number(value) + '\n';
    }
    QByteArray text() const { return m_text; }

private:
    QByteArray m_text;
};

} // namespace

QByteArray renderMetrics(const Metrics &m, const MetricsGauges &g)
{
    Exposition out;
    out.family("tavrel_connections", "gauge", "Open client connections.");
    out.sample("tavrel_connections", g.connections);
    out.family("tavrel_users_logged_in", "gauge", "Connections with a user logged in.");
    out.sample("tavrel_users_logged_in", g.loggedIn);

    out.family("tavrel_connections_total", "counter",
               "Connections that began, by what their first byte started: plain messages or TLS.");
    out.sample("tavrel_connections_total{transport=\"plain\"}", m.plainConnections.load());
    out.sample("tavrel_connections_total{transport=\"tls\"}", m.tlsConnections.load());
    out.family("tavrel_tls_handshake_failures_total", "counter",
               "TLS handshakes that failed or were left unfinished.");
    out.sample("tavrel_tls_handshake_failures_total", m.tlsHandshakeFailures.load());
    out.family("tavrel_tls_reloads_total", "counter", "Certificate reloads on SIGHUP, by result.");
    out.sample("tavrel_tls_reloads_total{result=\"succeeded\"}", m.tlsReloadsSucceeded.load());
    out.sample("tavrel_tls_reloads_total{result=\"failed\"}", m.tlsReloadsFailed.load());
    if (g.tlsCertificateExpiry > 0) {
        out.family("tavrel_tls_certificate_expiry_timestamp_seconds", "gauge",
                   "When the certificate served expires, in seconds since 1970.");
        out.sample("tavrel_tls_certificate_expiry_timestamp_seconds", g.tlsCertificateExpiry);
    }

    out.family("tavrel_messages_relayed_total", "counter", "Messages sent to clients, by kind.");
    for (int kind = 0; kind < Metrics::KindCount; ++kind) {
        out.sample(QByteArray("tavrel_messages_relayed_total{kind=\"") +
                       Metrics::kindName(Metrics::Kind(kind)) + "\"}",
                   m.messagesSent[kind].load());
    }
    out.family("tavrel_received_bytes_total", "counter", "Bytes read from clients.");
    out.sample("tavrel_received_bytes_total", m.bytesReceived.load());
    out.family("tavrel_sent_bytes_total", "counter", "Bytes of the messages written to clients.");
    out.sample("tavrel_sent_bytes_total", m.bytesSent.load());

    out.family("tavrel_logins_total", "counter", "Login requests answered, by result.");
    out.sample("tavrel_logins_total{result=\"succeeded\"}", m.loginsSucceeded.load());
    out.sample("tavrel_logins_total{result=\"failed\"}", m.loginsFailed.load());
    out.family("tavrel_codes_total", "counter",
               "Verification code mails accepted by the relay (or written, without one) and failed.");
    out.sample("tavrel_codes_total{result=\"sent\"}", m.codesSent.load());
    out.sample("tavrel_codes_total{result=\"failed\"}", m.codesFailed.load());
    out.family("tavrel_mail_retries_total", "counter", "Attempts to hand a mail over that must be repeated.");
    out.sample("tavrel_mail_retries_total", m.mailRetries.load());

    out.family("tavrel_bus_dropped_total", "counter", "Messages on the bus that were not taken, by why.");
    const char *const dropReasons[] = {"unauthenticated", "malformed", "oversized", "replayed"};
    for (size_t why = 0; why < m.busDropped.size(); ++why)
        out.sample(QByteArray("tavrel_bus_dropped_total{reason=\"") + dropReasons[why] + "\"}",
                   m.busDropped[why].load());

    out.family("tavrel_mail_queue", "gauge", "Mails waiting for the relay.");
    out.sample("tavrel_mail_queue", m.mailQueue.load());
    out.family("tavrel_send_queue_messages", "gauge", "Messages waiting in the connections' send queues.");
    out.sample("tavrel_send_queue_messages", g.sendQueueMessages);
    out.family("tavrel_send_queue_bytes", "gauge", "Bytes waiting in the connections' send queues.");
    out.sample("tavrel_send_queue_bytes", g.sendQueueBytes);
    out.family("tavrel_work_queue", "gauge", "Logins, registrations and file jobs queued or running.");
    out.sample("tavrel_work_queue", g.workQueue);

    out.family("tavrel_pacing_delay_seconds", "summary",
               "Time a message waits for the quiet gap before it, over the last 4096 messages.");
    for (const double q : {0.5, 0.99})
        out.sample("tavrel_pacing_delay_seconds{quantile=\"" + QByteArray::number(q) + "\"}",
                   m.pacingDelay.quantile(q));
    out.sample("tavrel_pacing_delay_seconds_sum", m.pacingDelay.sum());
    out.sample("tavrel_pacing_delay_seconds_count", m.pacingDelay.count());
    return out.text();
}

MetricsEndpoint::MetricsEndpoint(std::function<MetricsGauges()> gauges)
    : m_http(std::make_unique<QHttpServer>())
    , m_gauges(std::move(gauges))
{
    m_http->route(QStringLiteral("/metrics"), [this] {
        return QHttpServerResponse(QByteArrayLiteral("text/plain; version=0.0.4; charset=utf-8"),
                                   renderMetrics(metrics(), m_gauges()));
    });
}

MetricsEndpoint::~MetricsEndpoint() = default;

bool MetricsEndpoint::listen(const QHostAddress &address, quint16 port)
{
    m_listener = new QTcpServer(m_http.get());
    if (!m_listener->listen(address, port)) {
        qCCritical(lcServer) << "cannot serve metrics on" << address.toString() << port
                             << m_listener->errorString();
        return false;
    }
    static_cast<void>(m_http->bind(m_listener)); // a bool from Qt 6.8 on: the listener already listens
    qCInfo(lcServer).noquote() << "metrics on" << address.toString() << m_listener->serverPort();
    return true;
}

quint16 MetricsEndpoint::port() const
{
    return m_listener ? m_listener->serverPort() : 0;
}

} // namespace tavrel::server
