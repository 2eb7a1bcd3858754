#include "sendqueue.h"

#include <algorithm>

#if defined(Q_OS_LINUX)
#include <linux/sockios.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstddef>
#elif defined(Q_OS_DARWIN)
#include <sys/socket.h>
#endif

namespace tavrel::server {

bool SendQueue::isDelivered() const
{
    constexpr qint64 kNoLingerRttUs = 500;
    return unacknowledged == 0 || (unsent == 0 && minRttUs >= 0 && minRttUs < kNoLingerRttUs) ||
           untilOnlyDelayedAcknowledgementUs() == 0;
}

qint64 SendQueue::untilOnlyDelayedAcknowledgementUs() const
{
    if (unsent != 0 || segmentSize <= 0 || minRttUs < 0 || sinceLastSendUs < 0 ||
        unacknowledged > 2 * segmentSize)
        return -1;
    return std::max<qint64>(0, 2 * minRttUs + 1000 - sinceLastSendUs);
}

SendQueue querySendQueue(qintptr socketDescriptor, qint64 handedBytes)
{
    SendQueue queue;
    if (socketDescriptor < 0)
        return queue;
#if defined(Q_OS_LINUX)
    const int fd = int(socketDescriptor);
    tcp_info info = {};
    socklen_t size = sizeof info;
    // An older kernel fills less of the structure.
    const auto has = [&size](std::size_t end) { return size >= end; };
    bool haveInfo = false;
    if (handedBytes >= 0) {
        haveInfo = getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0;
        if (haveInfo && has(offsetof(tcp_info, tcpi_bytes_acked) + sizeof info.tcpi_bytes_acked))
            queue.unacknowledged = std::max<qint64>(0, handedBytes - qint64(info.tcpi_bytes_acked));
    }
    if (queue.unacknowledged < 0) {
        // Unsent and unacknowledged bytes together.
        int queued = 0;
        if (ioctl(fd, SIOCOUTQ, &queued) == 0)
            queue.unacknowledged = queued;
        if (queued == 0)
            return queue;
    }
    if (!haveInfo) {
        size = sizeof info;
        haveInfo = getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0;
    }
    if (haveInfo) {
        if (has(offsetof(tcp_info, tcpi_rtt) + sizeof info.tcpi_rtt)) {
            queue.rttUs = info.tcpi_rtt;
            queue.sinceLastSendUs = qint64(info.tcpi_last_data_sent) * 1000;
            queue.segmentSize = info.tcpi_snd_mss;
        }
        if (has(offsetof(tcp_info, tcpi_min_rtt) + sizeof info.tcpi_min_rtt)) {
            queue.unsent = info.tcpi_notsent_bytes;
            queue.minRttUs = info.tcpi_min_rtt;
        }
    }
#elif defined(Q_OS_DARWIN)
    // The send buffer keeps each byte until the peer has acknowledged it.
    int queued = 0;
    socklen_t size = sizeof queued;
    if (getsockopt(int(socketDescriptor), SOL_SOCKET, SO_NWRITE, &queued, &size) == 0)
        queue.unacknowledged = queued;
#endif
    return queue;
}

} // namespace tavrel::server
