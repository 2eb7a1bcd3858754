#pragma once

#include <QtGlobal>

namespace tavrel::server {

// What the kernel knows of the bytes a TCP socket has sent.
struct SendQueue
{
    // Bytes handed to the kernel that the peer has not acknowledged yet; -1 when this
    // platform cannot tell.
    qint64 unacknowledged = -1;
    // The kernel's smoothed round-trip time in microseconds; -1 when unknown.
    qint64 rttUs = -1;
};

// Asks the kernel about the socket: SIOCOUTQ and TCP_INFO on Linux, SO_NWRITE on macOS.
SendQueue querySendQueue(qintptr socketDescriptor);

} // namespace tavrel::server
