// The gatherer fed reads of random sizes at random times, on a clock the target moves. Three
// gatherers take the same reads: one whose quiet timer runs the moment it is due, one whose
// event loop is always late (the timer never runs and the next read or the close finds the
// gap passed), and one that mixes the two as the input says. All three must give the same
// messages, and none past its kind's limit.
//
// Input: two bytes for the limits ('f' messages, others), then reads: a delay byte, a flags
// byte (bit 0: the mixed gatherer's timer runs; bit 1: the connection closes after the
// delay), a size byte, and that many bytes (fewer at the end of the input).

#include "assembler.h"
#include "fuzzcheck.h"

#include <QCoreApplication>

#include <cstdint>

namespace {

// Records what it gives: 'm' and a message, 'o' and the size of one given up, 'c' and a cut one.
class SteppedAssembler : public tavrel::MessageAssembler
{
public:
    SteppedAssembler()
    {
        connect(this, &MessageAssembler::messageReady, this,
                [this](const QByteArray &m) { events << 'm' + m; });
        connect(this, &MessageAssembler::overflowed, this,
                [this](qint64 n) { events << 'o' + QByteArray::number(n); });
        connect(this, &MessageAssembler::cutOff, this, [this](const QByteArray &m) { events << 'c' + m; });
    }
    QByteArrayList events;
    qint64 clock = 0;

protected:
    qint64 now() const override { return clock; }
};

// Delays cluster around the two gaps, where an off-by-one would show. A steady clock never
// goes back.
qint64 delayFor(uint8_t byte)
{
    if (byte < 64)
        return byte;
    if (byte < 128)
        return qMax(0, tavrel::kQuietGapMs + byte - 96);
    if (byte < 192)
        return qMax(0, tavrel::kFileQuietGapMs + byte - 160);
    return (byte - 192) * 20;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)
{
    // The quiet timers need an event dispatcher, though none of them is ever run by it.
    new QCoreApplication(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const qint64 fileLimit = 1 + data[0] * 8;
    const qint64 otherLimit = 1 + data[1] * 2;
    SteppedAssembler gatherers[3]; // on time, late, mixed
    for (SteppedAssembler &g : gatherers)
        g.setLimits(fileLimit, otherLimit);
    qint64 clock = 0;

    size_t at = 2;
    while (at + 3 <= size) {
        clock += delayFor(data[at]);
        const uint8_t flags = data[at + 1];
        const size_t length = qMin<size_t>(data[at + 2], size - at - 3);
        const QByteArray bytes(reinterpret_cast<const char *>(data + at + 3), qsizetype(length));
        at += 3 + length;

        for (SteppedAssembler &g : gatherers) {
            g.clock = clock;
            // What the quiet timer does when the event loop gets to it.
            const bool timerRuns = &g == &gatherers[0] || (&g == &gatherers[2] && (flags & 1));
            if (timerRuns && g.quietDeadline() >= 0 && g.quietDeadline() <= clock)
                g.flush();
            if (flags & 2)
                g.endOfStream();
            g.append(bytes);
        }
    }
    for (SteppedAssembler &g : gatherers)
        g.endOfStream();

    check(gatherers[0].events == gatherers[1].events && gatherers[1].events == gatherers[2].events);
    for (const QByteArray &event : std::as_const(gatherers[0].events)) {
        const qint64 limit = event.startsWith("mf") || event.startsWith("cf") ? fileLimit : otherLimit;
        check(event.startsWith('o') || event.size() - 1 <= limit);
    }
    return 0;
}
