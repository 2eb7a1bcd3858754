#include "connectioncaps.h"

namespace tavrel::server {

QString sourceKey(const QHostAddress &address)
{
    bool isV4 = false;
    const quint32 v4 = address.toIPv4Address(&isV4);
    if (isV4)
        return QHostAddress(v4).toString();
    Q_IPV6ADDR bytes = address.toIPv6Address();
    std::fill(bytes.c + 8, bytes.c + 16, quint8(0));
    return QHostAddress(bytes).toString() + QStringLiteral("/64");
}

ConnectionCaps::ConnectionCaps(const Config &config)
    : m_maxConnections(config.maxConnections)
    , m_maxPerSource(config.maxPerAddress)
    , m_maxUnauthenticated(config.maxUnauthenticated)
    , m_maxUnauthenticatedPerSource(config.maxUnauthenticatedPerAddress)
{}

ConnectionCaps::Refusal ConnectionCaps::admit(const QString &source)
{
    if (m_connections >= m_maxConnections)
        return Refusal::Full;
    if (m_perSource.value(source) >= m_maxPerSource)
        return Refusal::SourceFull;
    if (m_unauthenticated >= m_maxUnauthenticated)
        return Refusal::UnauthenticatedFull;
    if (m_unauthenticatedPerSource.value(source) >= m_maxUnauthenticatedPerSource)
        return Refusal::SourceUnauthenticatedFull;
    ++m_connections;
    ++m_perSource[source];
    ++m_unauthenticated;
    ++m_unauthenticatedPerSource[source];
    return Refusal::None;
}

void ConnectionCaps::loggedIn(const QString &source)
{
    --m_unauthenticated;
    decrement(m_unauthenticatedPerSource, source);
}

void ConnectionCaps::closed(const QString &source, bool wasLoggedIn)
{
    if (!wasLoggedIn)
        loggedIn(source);
    --m_connections;
    decrement(m_perSource, source);
}

void ConnectionCaps::decrement(QHash<QString, int> &counts, const QString &source)
{
    const auto found = counts.find(source);
    if (found != counts.end() && --*found <= 0)
        counts.erase(found);
}

} // namespace tavrel::server
