#include "assembler.h"

#include <QPointer>

namespace tavrel {

namespace {
constexpr qsizetype kJoinedReadBytes = 64 * 1024;
} // namespace

int quietGapFor(char firstByte)
{
    return firstByte == 'f' ? kFileQuietGapMs : kQuietGapMs;
}

int quietGapForStart(const QByteArray &start)
{
    if (start.size() >= 2 && start.at(0) == 'f' && start.at(1) != 's')
        return kQuietGapMs;
    return start.isEmpty() ? kQuietGapMs : quietGapFor(start.at(0));
}

MessageAssembler::MessageAssembler(QObject *parent)
    : QObject(parent)
{
    m_quiet.setSingleShot(true);
    m_quiet.setTimerType(Qt::PreciseTimer);
    connect(&m_quiet, &QTimer::timeout, this, &MessageAssembler::flush);
    m_clock.start();
}

qint64 MessageAssembler::now() const
{
    return m_clock.elapsed();
}

qint64 MessageAssembler::quietDeadline() const
{
    return m_quiet.isActive() ? m_lastBytesAt + m_quiet.interval() : -1;
}

bool MessageAssembler::gapHasPassed() const
{
    const qint64 deadline = quietDeadline();
    return deadline >= 0 && now() >= deadline;
}

void MessageAssembler::setLimits(qint64 fileKinds, qint64 otherKinds)
{
    m_fileLimit = fileKinds;
    m_otherLimit = otherKinds;
}

qint64 MessageAssembler::limitFor(char firstByte) const
{
    return firstByte == 'f' ? m_fileLimit : m_otherLimit;
}

void MessageAssembler::setQuietGaps(int gapMs, int fileGapMs)
{
    m_gap = gapMs;
    m_fileGap = fileGapMs;
}

int MessageAssembler::gapForStart(const QByteArray &start) const
{
    static_assert(kQuietGapMs != kFileQuietGapMs, "the two gaps are told apart by their length");
    return quietGapForStart(start) == kFileQuietGapMs ? m_fileGap : m_gap;
}

void MessageAssembler::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // A busy event loop can get to these bytes after the gap has passed without running the
    // timer first: the message in progress ended all the same, so it goes out on its own.
    if (gapHasPassed()) {
        // Whoever handles that message may destroy this assembler's owner, and this with it.
        const QPointer<MessageAssembler> alive(this);
        flush();
        if (!alive)
            return;
    }
    m_lastBytesAt = now();
    if (m_discarding) {
        m_quiet.start(m_discardGap);
        return;
    }
    const QByteArray start = (pendingStart(2) + bytes.left(2)).left(2);
    const qint64 seen = m_pendingSize + bytes.size();
    if (seen > limitFor(start.at(0))) {
        m_discardGap = gapForStart(start);
        m_pending.clear();
        m_pendingSize = 0;
        m_discarding = true;
        m_quiet.start(m_discardGap);
        emit overflowed(seen);
        return;
    }
    // Small reads join the one before, so that a peer that sends a byte at a time costs a
    // list entry per 64 KiB rather than one per byte.
    if (!m_pending.isEmpty() && m_pending.last().size() < kJoinedReadBytes)
        m_pending.last() += bytes;
    else
        m_pending.append(bytes);
    m_pendingSize = seen;
    m_quiet.start(gapForStart(start));
}

QByteArray MessageAssembler::pendingStart(qsizetype count) const
{
    QByteArray start;
    for (const QByteArray &read : m_pending) {
        if (start.size() >= count)
            break;
        start += read.left(count - start.size());
    }
    return start;
}

QByteArray MessageAssembler::takePending()
{
    QByteArray message;
    if (m_pending.size() == 1) {
        message = m_pending.first();
    } else {
        message.reserve(m_pendingSize);
        for (const QByteArray &read : std::as_const(m_pending))
            message += read;
    }
    m_pending.clear();
    m_pendingSize = 0;
    return message;
}

void MessageAssembler::flush()
{
    m_quiet.stop();
    if (m_discarding) {
        m_discarding = false;
        return;
    }
    if (m_pending.isEmpty())
        return;
    const QByteArray message = takePending();
    emit messageReady(message);
}

void MessageAssembler::clear()
{
    m_quiet.stop();
    m_pending.clear();
    m_pendingSize = 0;
    m_discarding = false;
}

void MessageAssembler::endOfStream()
{
    // A late event loop can see the close before it runs the quiet timer: a message whose
    // gap has passed is whole all the same.
    if (!gapHasPassed() && pendingStart(1) == "f") {
        m_quiet.stop();
        emit cutOff(takePending());
        return;
    }
    flush();
}

} // namespace tavrel
