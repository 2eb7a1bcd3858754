#pragma once

#include "config.h"

#include <QHash>
#include <QHostAddress>
#include <QString>

namespace tavrel::server {

// The key under which limits count a client's address: an IPv4 address, or the /64 an
// IPv6 address belongs to, since one host usually holds a whole /64.
QString sourceKey(const QHostAddress &address);

// The connection slots: in all, per source (an IPv4 address or an IPv6 /64, the key
// sourceKey() gives), and fewer for connections that have not logged in yet, per source
// and in all, so that connections which only idle until their login deadline cannot take
// the slots of those who chat.
class ConnectionCaps
{
public:
    explicit ConnectionCaps(const Config &config = Config());

    enum class Refusal {
        None,
        Full,                      // every slot is taken
        SourceFull,                // every slot of this source is taken
        UnauthenticatedFull,       // the slots for connections not logged in are taken
        SourceUnauthenticatedFull, // ... those of this source
    };
    // Takes a slot, not logged in, unless a cap says no.
    Refusal admit(const QString &source);
    // The connection logged in: it no longer counts as one that has not.
    void loggedIn(const QString &source);
    // It closed; wasLoggedIn: whether loggedIn() was called for it.
    void closed(const QString &source, bool wasLoggedIn);

    int connections() const { return m_connections; }
    int unauthenticated() const { return m_unauthenticated; }

private:
    static void decrement(QHash<QString, int> &counts, const QString &source);

    int m_maxConnections;
    int m_maxPerSource;
    int m_maxUnauthenticated;
    int m_maxUnauthenticatedPerSource;
    int m_connections = 0;
    int m_unauthenticated = 0;
    QHash<QString, int> m_perSource;
    QHash<QString, int> m_unauthenticatedPerSource;
};

} // namespace tavrel::server
