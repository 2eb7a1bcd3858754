#include "sendqueue.h"

#if defined(Q_OS_LINUX)
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#elif defined(Q_OS_DARWIN)
#include <sys/socket.h>
#endif

namespace tavrel::server {

SendQueue querySendQueue(qintptr socketDescriptor)
{
    SendQueue queue;
    if (socketDescriptor < 0)
        return queue;
#if defined(Q_OS_LINUX)
    const int fd = int(socketDescriptor);
    // Unsent and unacknowledged bytes together.
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) == 0)
        queue.unacknowledged = queued;
    tcp_info info = {};
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) == 0 && size >= sizeof info)
        queue.rttUs = info.tcpi_rtt;
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
