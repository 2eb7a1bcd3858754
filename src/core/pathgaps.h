#pragma once

#include <QtGlobal>

namespace tavrel {

class MessageAssembler;

// What one end of a TCP connection knows of it from its own kernel; -1 where it cannot tell.
struct PathFigures
{
    // The shortest round trip the kernel has seen on the connection, handshake included.
    qint64 minRttUs = -1;
    // The latest delivery rate that the sender's own pace did not limit.
    qint64 deliveryBytesPerSecond = -1;
    // The receive window the peer offered last.
    qint64 peerWindowBytes = -1;
    // The share of the segments sent with data that had to be sent again, 0 to 1.
    double resentShare = -1;
    // The largest segment this end sends now.
    qint64 segmentBytes = -1;
};

// Asks the kernel: TCP_INFO on Linux, SIO_TCP_INFO on Windows 10 1703 and later. Older
// Windows, Wine and other systems tell nothing (every figure -1).
PathFigures measurePath(qintptr socketDescriptor);

// The quiet gaps of chat lines, answers and lists, sized to the path (files keep
// kFileQuietGapMs everywhere). Messages carry no length, so a reader ends one after a quiet
// gap, and a writer pauses after each; the rule that keeps them apart:
//
// 1. A near path is one whose minimum round trip is under kNearRttUs, with nothing that
//    says it is slow or lossy: no more than kNearResentShare of its segments sent again, no
//    delivery rate under kNearBytesPerSecond and no peer window under kNearWindowBytes (a hop
//    that ends TCP in front of a slower link takes only what it can pass on soon: the link
//    emulator, a balancer with small buffers). Its gap is kNearQuietGapMs; any other path
//    keeps kQuietGapMs. A reader whose writer sends at a person's pace (the server, of a
//    client: a chat line a second at most) ends messages by this gap of its own figures.
// 2. A writer pauses after each message for the gap of its path by rule 1 plus
//    kTextPauseMarginMs (pacingPauseMs()).
// 3. A reader whose writer paces so (a client, of the server) ends a message after the gap of
//    rule 1 judged by round trip alone, with the wider threshold kPacedNearRttUs, and after
//    kNearQuietGapMs when its kernel cannot tell (pacedQuietGapMs()).
//
// Why the writer's pause always outlasts the reader's gap by kTextPauseMarginMs or more:
// both ends take the minimum of their own samples of the same round trip, the handshake's
// among them, and one end's may come out longer, when its peer was slow to acknowledge or a
// busy kernel put the samples off. Rule 3 lets the reader's figure exceed twice the writer's
// plus kRttSkewUs. So whenever the writer pauses for the short gap (its round trip under
// kNearRttUs), the reader's round trip is under kPacedNearRttUs and it ends messages by the
// short gap too; a reader that keeps the long gap has a writer that pauses for it; a reader
// that cannot measure keeps the short gap, which every pause outlasts; and the figures that
// make a path far by rule 1 but not by rule 3 (loss, rate, window) only lengthen the
// writer's pause. What this cannot see: a hop that ends TCP on a fast path in front of a
// slow one looks near to the end behind it (an SSH tunnel, a proxy; the link emulator to the
// client), and a chat line or list longer than one segment of the slow part may then reach
// that end with pauses inside it longer than the short gap.
//
// Loopback showed minimum round trips of 4 to 19 us at both ends at a load average of 12
// (ss -ti on 172 bench connections), a wired LAN shows 0.1 to 0.5 ms; Wi-Fi and the Internet
// take a millisecond or more and keep today's gaps.
inline constexpr qint64 kNearRttUs = 1000;
inline constexpr qint64 kRttSkewUs = 3000;
inline constexpr qint64 kPacedNearRttUs = 2 * kNearRttUs + kRttSkewUs;
// Loopback sends a segment again now and then, when a tail-loss probe fires before an
// acknowledgement the peer held back (ss -ti showed it on loopback test connections); a link that
// loses more than one segment in a hundred holds messages up by a retransmission often.
inline constexpr double kNearResentShare = 0.01;
// At 10 Mbit/s the largest text message (6 KB of chat, a few KB of user list) takes 5 ms on
// the wire; a slower link is no longer near.
inline constexpr qint64 kNearBytesPerSecond = 10'000'000 / 8;
// Linux, Windows and macOS offer 64 KiB or more on a fresh connection; the link emulator
// offers what its link carries in 15 ms (37 KB at 20 Mbit/s).
inline constexpr qint64 kNearWindowBytes = 48 * 1024;
// On a near path a text message arrives in one burst: over loopback in one piece (its segment
// holds 64 KiB), over a 100 Mbit/s LAN 6 KB within 0.5 ms, and at 10 Mbit/s, the slowest near
// path, a segment every 1.2 ms. 2 ms covers a receiver that takes the burst in batches; every
// millisecond here is a millisecond of delay per message (200 clients x 1 line/s on loopback,
// bench/run-server-load.sh, load 1 to 3: p50 11.5 and 11.6 ms with 3 ms, 9.9 and 10.2 with 2).
inline constexpr int kNearQuietGapMs = 2;
// What may lie between a message reaching the reader's kernel, which is when the writer's
// pause starts on loopback, and the reader taking it: the scheduling of a busy reader. A
// reader late by more than this joins the next message to the one it took late. It is the
// margin the pause has always had over the client's gap (30 + 10 ms). With 200 clients x 1
// line/s on loopback (bench/run-server-load.sh, 2 cores, load 0.9 to 1.3) and the 2 ms gap it
// gave p50 9.9 to 10.0 ms, p99 16.7 to 16.9 ms and none of 800,000 deliveries joined in three
// runs (30 + 10 ms: p50 52.2 to 52.7, p99 72.5 to 73.4 ms); with other work on the machine
// (load 4 to 6) 78 to 387 joined: the readers that join are the benchmark's 200 sockets on one
// thread, late by more than 10 ms now and then. Each client then gets about 80 messages a
// second instead of 25, which costs the server about 15 us of CPU each.
inline constexpr int kTextPauseMarginMs = 10;

// Rule 1: the gap that ends a chat line, answer or list on this path.
int quietGapMs(const PathFigures &figures);
// Rule 2: the pause a writer keeps after a chat line, answer or list.
int pacingPauseMs(const PathFigures &writer);
// Rule 3: the gap for a reader whose writer paces by pacingPauseMs().
int pacedQuietGapMs(const PathFigures &reader);

// Sets the assembler's gap for chat lines, answers and lists to pacedQuietGapMs() of the
// socket's path: for a reader of tavrel-server.
void followPacedPath(MessageAssembler &assembler, qintptr socketDescriptor);

} // namespace tavrel
