#include "eventdispatcher.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSocketNotifier>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <cstdlib>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

using namespace tavrel::server;

// The event loop tavrel-server runs on (this test, like every server test, runs on it too:
// see eventloop.cpp), tried on real descriptors (eventfds and pipes) and timers.
class TestEventLoop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(qobject_cast<EpollEventDispatcher *>(QAbstractEventDispatcher::instance()));
    }

    // Two notifiers ready in the same turn; the first one run takes the other away. It must
    // not run afterwards (a deleted one would be a use after free).
    void notifierRemovedByAnother_data()
    {
        QTest::addColumn<bool>("sameFd");
        QTest::addColumn<bool>("deleteIt");
        QTest::newRow("other descriptor, deleted") << false << true;
        QTest::newRow("other descriptor, disabled") << false << false;
        QTest::newRow("same descriptor, deleted") << true << true;
        QTest::newRow("same descriptor, disabled") << true << false;
    }
    void notifierRemovedByAnother()
    {
        QFETCH(bool, sameFd);
        QFETCH(bool, deleteIt);
        // Ready to read and to write (eventfds with a count), closed last.
        const int first = ::eventfd(1, EFD_CLOEXEC), second = ::eventfd(1, EFD_CLOEXEC);
        const auto closeFirst = qScopeGuard([first] { ::close(first); });
        const auto closeSecond = qScopeGuard([second] { ::close(second); });
        QVERIFY(first >= 0 && second >= 0);
        QObject owner; // deletes what is left before the descriptors close
        // Read and write on one descriptor are one epoll entry; two descriptors are two.
        QPointer<QSocketNotifier> notifiers[2] = {
            new QSocketNotifier(first, QSocketNotifier::Read, &owner),
            sameFd ? new QSocketNotifier(first, QSocketNotifier::Write, &owner)
                   : new QSocketNotifier(second, QSocketNotifier::Read, &owner)};
        int runs = 0;
        for (int i = 0; i < 2; ++i) {
            connect(notifiers[i], &QSocketNotifier::activated, &owner, [&, other = notifiers[1 - i]] {
                ++runs;
                if (deleteIt)
                    delete other.data();
                else if (other)
                    other->setEnabled(false);
            });
        }
        QAbstractEventDispatcher::instance()->processEvents(QEventLoop::AllEvents);
        QCOMPARE(runs, 1);
    }

    // A peer that vanishes wakes the side that waits on it, whatever it waits for: on a pipe
    // the kernel reports only the hang-up or the error, never "readable" or "writable". (A TCP
    // reset also makes the socket readable; every server test sees clients vanish.)
    void peerVanishes_data()
    {
        QTest::addColumn<bool>("reader");
        QTest::newRow("pipe, writer gone") << true;
        QTest::newRow("pipe, reader gone") << false;
    }
    void peerVanishes()
    {
        QFETCH(bool, reader);
        int ends[2];
        QVERIFY(::pipe(ends) == 0);
        const int watched = reader ? ends[0] : ends[1];
        QSocketNotifier notifier(watched, reader ? QSocketNotifier::Read : QSocketNotifier::Write);
        // A writer with room in the pipe would be woken for that alone: fill it first.
        if (!reader) {
            QVERIFY(::fcntl(watched, F_SETFL, O_NONBLOCK) == 0);
            const QByteArray block(65536, 'x');
            while (::write(watched, block.constData(), block.size()) > 0) {
            }
        }
        QSignalSpy wakes(&notifier, &QSocketNotifier::activated);
        connect(&notifier, &QSocketNotifier::activated, this, [&notifier] { notifier.setEnabled(false); });
        QVERIFY(!wakes.wait(20));
        ::close(reader ? ends[1] : ends[0]);
        QVERIFY(wakes.wait(5000));
        ::close(watched);
    }

    // Turns run by hand: what one turn delivers.
    void oneTurn()
    {
        QAbstractEventDispatcher *loop = QAbstractEventDispatcher::instance();
        int zero = 0, later = 0;
        QTimer zeroTimer, laterTimer; // both of interval 0
        connect(&laterTimer, &QTimer::timeout, this, [&later] { ++later; });
        connect(&zeroTimer, &QTimer::timeout, this, [&] {
            if (++zero == 1)
                laterTimer.start();
        });
        zeroTimer.start();
        // A zero timer fires on every turn without the turn blocking; one started by a
        // timer's handler waits for the next pass.
        QElapsedTimer clock;
        clock.start();
        loop->processEvents(QEventLoop::WaitForMoreEvents);
        QCOMPARE(zero, 1);
        QCOMPARE(later, 0);
        loop->processEvents(QEventLoop::WaitForMoreEvents);
        loop->processEvents(QEventLoop::WaitForMoreEvents);
        QCOMPARE(zero, 3);
        QCOMPARE(later, 2);
        QVERIFY(clock.elapsed() < 1000);

        // Without socket notifiers a readable descriptor waits for a turn with them.
        const int ready = ::eventfd(1, EFD_CLOEXEC);
        const auto closing = qScopeGuard([ready] { ::close(ready); });
        QSocketNotifier notifier(ready, QSocketNotifier::Read);
        int reads = 0;
        connect(&notifier, &QSocketNotifier::activated, this, [&reads] { ++reads; });
        loop->processEvents(QEventLoop::ExcludeSocketNotifiers);
        QCOMPARE(reads, 0);
        loop->processEvents(QEventLoop::AllEvents);
        QCOMPARE(reads, 1);
    }

    // A 12 ms timer, the pause between two messages to one client, fires on its millisecond:
    // each expiry counts from the previous one, so lateness does not add up (the overrun shifts
    // every later tick by half a period if it does), and a handler that overruns (the fifth, by
    // 3.5 periods) makes the missed periods skipped, not fired in a burst.
    void timerKeepsItsPeriod()
    {
        constexpr int kPeriodMs = 12, kTicks = 40;
        QList<qint64> ticks;
        QElapsedTimer clock;
        QEventLoop loop;
        QTimer timer;
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(kPeriodMs);
        connect(&timer, &QTimer::timeout, this, [&] {
            ticks.append(clock.nsecsElapsed());
            if (ticks.size() == 5)
                QThread::msleep(42);
            if (ticks.size() == kTicks)
                loop.quit();
        });
        // The loop's own exec(): QTest's waits sleep between turns.
        QTimer::singleShot(10000, &loop, [&loop] { loop.exit(1); });
        clock.start();
        timer.start();
        QCOMPARE(loop.exec(), 0);

        // Lateness against the tick's own slot on the grid started at 0; no two ticks in a slot.
        double load = 0;
        getloadavg(&load, 1);
        qint64 lateSum = 0, lastSlot = 0;
        for (int i = 0; i < kTicks; ++i) {
            const qint64 slot = (ticks[i] + 100'000) / (kPeriodMs * 1'000'000);
            QVERIFY2(slot > lastSlot, qPrintable(QStringLiteral("tick %1 came early or in a burst").arg(i)));
            lateSum += ticks[i] - slot * kPeriodMs * 1'000'000;
            lastSlot = slot;
        }
        const double meanLateMs = lateSum / double(kTicks) / 1e6;
        qInfo("mean lateness %.3f ms at load %.2f", meanLateMs, load);
        // Within a millisecond on a quiet machine; a loaded one delays the wake-up itself.
        QVERIFY2(meanLateMs < (load < 1.0 ? 1.0 : 4.0), qPrintable(QString::number(meanLateMs)));
    }

    // Another thread wakes a loop that waits with nothing else to wake it for.
    void wokenFromAnotherThread()
    {
        QEventLoop loop;
        QScopedPointer<QThread> thread(QThread::create([&loop] {
            QThread::msleep(50);
            QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
        }));
        // Woken within a second, or the loop ends unwoken.
        QTimer::singleShot(1000, &loop, [&loop] { loop.exit(1); });
        thread->start();
        QCOMPARE(loop.exec(), 0);
        thread->wait();
    }
};

QTEST_GUILESS_MAIN(TestEventLoop)
#include "tst_eventloop.moc"
