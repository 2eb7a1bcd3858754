#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QTimer>

namespace tavrel {

// How long the connection must stay quiet before the bytes gathered so far count as one
// message. The gap must outlast every pause inside one message, and every millisecond of
// it delays the message and risks joining it to the next one.
//
// A chat line or answer (at most about 6 KB) fits in TCP's initial window, so it arrives
// in one burst spread only by the link's rate: through the link emulator its reads lie at
// most 11 ms apart at 2 to 20 Mbit/s (under 1 ms on loopback). 30 ms leaves a margin over
// that and over a busy machine's scheduling hiccups, covers a chat message of several
// segments down to about 0.5 Mbit/s, and stays well below a delay a reader would notice.
//
// A file or image outgrows the window and, on a real link, loses a segment now and then:
// its reads then stop until the retransmission, 200 ms to 1 s. Through the link emulator
// (bench-link-gaps, 40 files of 10 KB to 1 MB per link, on a loaded 2-core machine) the
// longest pause inside a file was 16 ms at 4 Mbit/s without stalls, the stall plus at most
// 55 ms with them (251 ms for 250 ms stalls, 506 to 555 ms for 500 ms stalls). 1000 ms
// covers a 500 ms stall with room for a slower retransmission or a busy reader. The
// server's pause after a file grows with it (tavrel-server's kFileGapMarginMs).
// Re-measure with: build/bench/bench-link-gaps [--profiles ...] and build/bench/bench-link.
inline constexpr int kQuietGapMs = 30;
inline constexpr int kFileQuietGapMs = 1000;

// Largest message a client gathers before it gives the message up.
inline constexpr qint64 kMaxGatheredMessage = 64 * 1024 * 1024;
// Largest chat line, answer or user list a client gathers: twice what tavrel-server queues
// for a client by default (1 MiB), while laying out tens of megabytes of text would freeze
// the window.
inline constexpr qint64 kMaxGatheredTextMessage = 2 * 1024 * 1024;

// The gap that ends a message whose first byte is firstByte: the long one for 'f'.
int quietGapFor(char firstByte);
// The gap that ends a message that starts with these bytes. Only file contents ("fs":
// uploads, files and images) wait for the long gap; a file request ("fr") is a name, as
// short as a chat line. An 'f' whose second byte has not come yet counts as file contents.
int quietGapForStart(const QByteArray &start);

// Gathers the bytes of a connection into messages: a message ends when no byte has
// arrived for quietGapForStart(its first bytes). A message that grows past its limit is given
// up, and the bytes that follow it are dropped until the connection is quiet again.
class MessageAssembler : public QObject
{
    Q_OBJECT
public:
    explicit MessageAssembler(QObject *parent = nullptr);

    // Limits for messages that start with 'f' and for all others.
    void setLimits(qint64 fileKinds, qint64 otherKinds);
    // The gaps that end messages here, in place of kQuietGapMs and kFileQuietGapMs: for tests
    // that wait out a gap but do not measure it. Takes effect at the next byte.
    void setQuietGaps(int gapMs, int fileGapMs);
    // The gap of chat lines, answers and lists alone, as the path allows (pathgaps.h).
    void setTextQuietGap(int gapMs) { m_gap = gapMs; }
    // The gap that ends a message here that starts with these bytes.
    int gapForStart(const QByteArray &start) const;

    // Adds bytes that just arrived and restarts the quiet gap.
    void append(const QByteArray &bytes);

    // How many bytes are gathered for the message in progress, and its first bytes (at most
    // count of them).
    qint64 pendingSize() const { return m_pendingSize; }
    QByteArray pendingStart(qsizetype count) const;
    bool isDiscarding() const { return m_discarding; }
    // The time on now()'s clock at which the message in progress, or the dropping of an
    // oversized one, ends unless more bytes come first; -1 when there is neither.
    qint64 quietDeadline() const;

    // Ends the message in progress now, as if the gap had passed.
    void flush();
    // Forgets the message in progress without emitting it.
    void clear();
    // The connection is gone, so no byte will follow. A chat line, answer or user list in
    // progress is whole and ends as flush() ends it; so does a message whose gap has passed.
    // A file or image message (first byte 'f') still within its gap was cut short and goes
    // to cutOff instead.
    void endOfStream();

signals:
    void messageReady(const QByteArray &message);
    // The message in progress passed its limit and was given up; bytes is how many of
    // its bytes had arrived.
    void overflowed(qint64 bytes);
    void cutOff(const QByteArray &partial);

protected:
    // Milliseconds on a steady clock. A test that drives the gaps itself overrides it and
    // calls flush() once its clock reaches quietDeadline(), in place of the quiet timer.
    virtual qint64 now() const;

private:
    qint64 limitFor(char firstByte) const;
    // The quiet gap has passed, whether or not the timer has run yet.
    bool gapHasPassed() const;
    // Takes the message in progress, joined into one array.
    QByteArray takePending();

    // The reads of the message in progress, joined only once it ends: appending each read
    // to one growing array copied all that came before whenever the array moved, up to
    // 17 ms for one read near the end of a 16 MiB file.
    QList<QByteArray> m_pending;
    qint64 m_pendingSize = 0;
    QTimer m_quiet;
    QElapsedTimer m_clock;
    qint64 m_lastBytesAt = 0;
    qint64 m_fileLimit = kMaxGatheredMessage;
    qint64 m_otherLimit = kMaxGatheredMessage;
    bool m_discarding = false;
    int m_discardGap = kQuietGapMs;
    int m_gap = kQuietGapMs;
    int m_fileGap = kFileQuietGapMs;
};

} // namespace tavrel
