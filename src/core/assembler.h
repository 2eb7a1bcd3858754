#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace tavrel {

// How long the connection must stay quiet before the bytes gathered so far count as one
// message. The gap must outlast every pause inside one message, and every millisecond of
// it delays the message and risks joining it to the next one.
//
// A chat line or answer (at most about 6 KB) fits in TCP's initial window, so it arrives
// in one burst: its reads lie a few ms apart at most, even over a slow link with 200 ms
// round trips, and under 1 ms on loopback. 30 ms leaves a wide margin over that and over
// a busy machine's scheduling hiccups, and stays well below a delay a reader would notice.
//
// A file or image outgrows the window: while the sender waits for acknowledgements the
// reads pause for up to one round trip (about 90 ms at 100 ms, 190 ms at 200 ms), and a
// loaded machine adds pauses of 20 ms even on loopback. 300 ms covers round trips up to
// about 250 ms, which includes intercontinental links; a longer gap would more often
// swallow a chat line that follows a file closely.
inline constexpr int kQuietGapMs = 30;
inline constexpr int kFileQuietGapMs = 300;

// Largest message a client gathers before it gives the message up.
inline constexpr qint64 kMaxGatheredMessage = 64 * 1024 * 1024;
// Largest chat line, answer or user list a client gathers: twice what tavrel-server queues
// for a client by default (1 MiB), while laying out tens of megabytes of text would freeze
// the window.
inline constexpr qint64 kMaxGatheredTextMessage = 2 * 1024 * 1024;

// The gap that ends a message whose first byte is firstByte.
int quietGapFor(char firstByte);

// Gathers the bytes of a connection into messages: a message ends when no byte has
// arrived for quietGapFor(its first byte). A message that grows past its limit is given
// up, and the bytes that follow it are dropped until the connection is quiet again.
class MessageAssembler : public QObject
{
    Q_OBJECT
public:
    explicit MessageAssembler(QObject *parent = nullptr);

    // Limits for messages that start with 'f' and for all others.
    void setLimits(qint64 fileKinds, qint64 otherKinds);

    // Adds bytes that just arrived and restarts the quiet gap.
    void append(const QByteArray &bytes);

    // Bytes gathered for the message in progress.
    const QByteArray &pending() const { return m_pending; }
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

    QByteArray m_pending;
    QTimer m_quiet;
    QElapsedTimer m_clock;
    qint64 m_lastBytesAt = 0;
    qint64 m_fileLimit = kMaxGatheredMessage;
    qint64 m_otherLimit = kMaxGatheredMessage;
    bool m_discarding = false;
    int m_discardGap = kQuietGapMs;
};

} // namespace tavrel
