#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

namespace tavrel {

// How long the connection must stay quiet before the bytes gathered so far count as one
// message. File and image messages are large and cross the network in many segments, so
// they get a longer gap; chat lines and answers must show without a noticeable delay.
inline constexpr int kQuietGapMs = 30;
inline constexpr int kFileQuietGapMs = 300;

// Largest message a client gathers before it gives the message up.
inline constexpr qint64 kMaxGatheredMessage = 64 * 1024 * 1024;

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

    // Ends the message in progress now, as if the gap had passed.
    void flush();
    // Forgets the message in progress without emitting it.
    void clear();

signals:
    void messageReady(const QByteArray &message);
    // The message in progress passed its limit and was given up; bytes is how many of
    // its bytes had arrived.
    void overflowed(qint64 bytes);

private:
    qint64 limitFor(char firstByte) const;

    QByteArray m_pending;
    QTimer m_quiet;
    qint64 m_fileLimit = kMaxGatheredMessage;
    qint64 m_otherLimit = kMaxGatheredMessage;
    bool m_discarding = false;
    int m_discardGap = kQuietGapMs;
};

} // namespace tavrel
