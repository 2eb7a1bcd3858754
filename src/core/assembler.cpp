#include "assembler.h"

#include <QPointer>

namespace tavrel {

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

void MessageAssembler::setLimits(qint64 fileKinds, qint64 otherKinds)
{
    m_fileLimit = fileKinds;
    m_otherLimit = otherKinds;
}

qint64 MessageAssembler::limitFor(char firstByte) const
{
    return firstByte == 'f' ? m_fileLimit : m_otherLimit;
}

void MessageAssembler::append(const QByteArray &bytes)
{
    if (bytes.isEmpty())
        return;
    // A busy event loop can get to these bytes after the gap has passed without running the
    // timer first: the message in progress ended all the same, so it goes out on its own.
    if (m_quiet.isActive() && now() - m_lastBytesAt >= m_quiet.interval()) {
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
    const char first = m_pending.isEmpty() ? bytes.at(0) : m_pending.at(0);
    if (m_pending.size() + bytes.size() > limitFor(first)) {
        const qint64 seen = m_pending.size() + bytes.size();
        m_discardGap = quietGapForStart((m_pending.left(2) + bytes.left(2)).left(2));
        m_pending.clear();
        m_pending.squeeze();
        m_discarding = true;
        m_quiet.start(m_discardGap);
        emit overflowed(seen);
        return;
    }
    m_pending += bytes;
    m_quiet.start(quietGapForStart(m_pending.left(2)));
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
    const QByteArray message = std::exchange(m_pending, QByteArray());
    emit messageReady(message);
}

void MessageAssembler::clear()
{
    m_quiet.stop();
    m_pending.clear();
    m_discarding = false;
}

void MessageAssembler::endOfStream()
{
    // A late event loop can see the close before it runs the quiet timer: a message whose
    // gap has passed is whole all the same.
    const bool quiet = m_quiet.isActive() && now() - m_lastBytesAt >= m_quiet.interval();
    if (!quiet && m_pending.startsWith('f')) {
        m_quiet.stop();
        emit cutOff(std::exchange(m_pending, QByteArray()));
        return;
    }
    flush();
}

} // namespace tavrel
