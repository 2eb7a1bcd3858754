#pragma once

#include <QtGlobal>

namespace tavrel::server {

// What the kernel knows of the bytes a TCP socket has sent.
struct SendQueue
{
    // Bytes handed to the kernel that the peer has not acknowledged yet; -1 when this
    // platform cannot tell.
    qint64 unacknowledged = -1;
    // Of those, the bytes not sent yet; -1 when unknown.
    qint64 unsent = -1;
    // The kernel's smoothed round-trip time and the shortest it has seen, in microseconds;
    // -1 when unknown.
    qint64 rttUs = -1;
    qint64 minRttUs = -1;
    // Microseconds since bytes were last sent (the kernel counts in its clock ticks of a few
    // ms), and the size of a segment; -1 when unknown.
    qint64 sinceLastSendUs = -1;
    qint64 segmentSize = -1;

    // Every byte has reached the peer's side: it acknowledged them all, or only a held-back
    // acknowledgement is missing (below), or everything has been sent over a connection
    // whose round trip is under half a millisecond (loopback, a wired LAN), where no byte
    // lingers on the way for longer than the pause after a message.
    bool isDelivered() const;

    // Microseconds until only an acknowledgement the peer holds back can be missing (0: it
    // is so now; -1: something else is missing). That is when everything has been sent, no
    // more than two segments are unacknowledged (a receiver acknowledges every second full
    // segment at once and may delay the rest by 40 to 200 ms, more so when it sends too),
    // and twice the shortest round trip and a millisecond have passed since they left. The
    // smoothed round trip will not do: delayed acknowledgements make it longer.
    qint64 untilOnlyDelayedAcknowledgementUs() const;
};

// Asks the kernel about the socket: SIOCOUTQ and TCP_INFO on Linux, SO_NWRITE on macOS.
// Given the bytes the caller has handed the kernel over the connection's life, Linux answers
// with one call: those bytes less the ones TCP_INFO counts acknowledged are what SIOCOUTQ
// would say (an accepted socket's handshake is not counted, a segment sent again is counted
// once), but for the one sequence number a FIN takes.
SendQueue querySendQueue(qintptr socketDescriptor, qint64 handedBytes = -1);

} // namespace tavrel::server
