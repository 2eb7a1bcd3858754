// How long the window's event loop stays blocked while it receives and shows large text
// files and images.
//
// A server thread sends each message over loopback to the real Widget, whose own socket and
// message assembly take it in. Meanwhile a 1 ms precise timer on the GUI thread notes the
// time of each of its timeouts: the longest gap between two of them is the longest time the
// event loop did not come round, whatever held it (reading, storing, decoding, layout,
// painting). A measurement lasts until the window has said that it received the file and
// then its text tab, its layout and the image scene have not changed for a second.
//
// Every file is measured three ways, each in a fresh window: received while the message
// tab is current (as after a login); then, in the same window, while the tab that shows
// it is opened; and received while that tab is current. An idle window gives the floor
// that the machine's own scheduling sets.
//
// Usage: bench-display [rounds [label prefix]], for example: bench-display 5 "text 4".
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise.
#include "protocol.h"
#include "widget.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QGraphicsScene>
#include <QGraphicsView>
#include <QImage>
#include <QLoggingCategory>
#include <QMutex>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QTabWidget>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTextEdit>
#include <QThread>
#include <QTimer>
#include <QWaitCondition>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <memory>
#include <queue>
#include <vector>

namespace {

constexpr int kSettleMs = 1000;
constexpr int kMessageTab = 0, kTextTab = 1, kImageTab = 2;
constexpr int kRoundTimeoutMs = 120000;

// Sends messages to whoever connects, from a thread of its own so that the sending takes
// no time from the event loop being measured.
class ServerThread
{
public:
    ServerThread()
    {
        m_thread.reset(QThread::create([this] { run(); }));
        m_thread->start();
        m_ready.acquire();
    }
    ~ServerThread()
    {
        post(Quit);
        m_thread->wait();
    }
    quint16 port() const { return m_port; }
    // Accepts a new connection before the next message.
    void acceptNext() { post(Accept); }
    // Sends message on the last connection accepted.
    void post(const QByteArray &message)
    {
        QMutexLocker lock(&m_mutex);
        m_queue.push(message);
        m_posted.wakeOne();
    }

private:
    void run()
    {
        QTcpServer server;
        server.listen(QHostAddress::LocalHost);
        m_port = server.serverPort();
        m_ready.release();
        std::unique_ptr<QTcpSocket> client;
        for (;;) {
            QByteArray message;
            {
                QMutexLocker lock(&m_mutex);
                while (m_queue.empty())
                    m_posted.wait(&m_mutex);
                message = m_queue.front();
                m_queue.pop();
            }
            if (message == Quit)
                return;
            if (message == Accept) {
                if (!server.waitForNewConnection(10000))
                    qFatal("the window did not connect");
                client.reset(server.nextPendingConnection());
                continue;
            }
            client->write(message);
            while (client->bytesToWrite() > 0)
                client->waitForBytesWritten(10000);
        }
    }

    static constexpr char Quit[] = "quit", Accept[] = "accept";

    std::unique_ptr<QThread> m_thread;
    QSemaphore m_ready;
    QMutex m_mutex;
    QWaitCondition m_posted;
    std::queue<QByteArray> m_queue;
    quint16 m_port = 0;
};

qint64 threadCpuNs()
{
#ifdef Q_OS_UNIX
    timespec now;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1000000000 + now.tv_nsec;
#else
    return 0;
#endif
}

// Notes the GUI thread's CPU time in the longest single event it handles. Unlike the gap
// between timer ticks it leaves out the time that other processes held the core, which
// on a busy machine can be larger than the window's own work; but work spread over
// several events that run back to back counts in pieces.
class TimedApplication : public QApplication
{
public:
    using QApplication::QApplication;
    bool notify(QObject *receiver, QEvent *event) override
    {
        if (m_depth > 0)
            return QApplication::notify(receiver, event);
        ++m_depth;
        const qint64 start = threadCpuNs();
        const bool result = QApplication::notify(receiver, event);
        longestEventCpuNs = std::max(longestEventCpuNs, threadCpuNs() - start);
        --m_depth;
        return result;
    }
    qint64 longestEventCpuNs = 0;

private:
    int m_depth = 0;
};

TimedApplication *timedApp()
{
    return static_cast<TimedApplication *>(QCoreApplication::instance());
}

// Records the longest gap between the timeouts of a 1 ms timer.
class BlockProbe : public QObject
{
public:
    BlockProbe()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(1);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longest = std::max(m_longest, now - m_last);
            m_last = now;
        });
    }
    void start()
    {
        timedApp()->longestEventCpuNs = 0;
        m_longest = 0;
        m_clock.start();
        m_last = 0;
        m_timer.start();
    }
    double stop()
    {
        m_timer.stop();
        return m_longest / 1e6;
    }
    static double longestEventCpuMs() { return timedApp()->longestEventCpuNs / 1e6; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_last = 0;
    qint64 m_longest = 0;
};

// Lines of mixed Chinese and Latin text ended by lineEnd; a blank makes them one paragraph.
QByteArray textFile(qint64 size, char lineEnd)
{
    QByteArray text;
    text.reserve(size + 200);
    for (int line = 1; text.size() < size; ++line)
        text +=
            QStringLiteral("第%1行：the quick brown fox jumps over the lazy dog 敏捷的棕色狐狸跳过了懒狗%2")
                .arg(line)
                .arg(QLatin1Char(lineEnd))
                .toUtf8();
    text.truncate(size);
    return text;
}

// A photograph stand-in: smooth gradients with noise, which compress about as well as one.
QByteArray imageFile(int width, int height, const char *format)
{
    QImage image(width, height, QImage::Format_RGB32);
    QRandomGenerator random(7);
    for (int y = 0; y < height; ++y) {
        auto *line = reinterpret_cast<QRgb *>(image.scanLine(y));
        for (int x = 0; x < width; ++x) {
            const int noise = int(random.bounded(24u));
            line[x] = qRgb((x * 255 / width + noise) & 255, (y * 255 / height + noise) & 255,
                           ((x + y) / 16 + noise) & 255);
        }
    }
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format, 85);
    return buffer.data();
}

struct Case
{
    const char *label;
    QByteArray message;
    QString name;
    int tab; // the tab that shows it
};

struct Outcome
{
    double longestMs = 0;
    double eventCpuMs = 0;
    double settledMs = 0; // from the first byte sent, or the tab switch, until the display settled
};

// A window connected to the bench server, on the given tab.
class Window
{
public:
    Window(ServerThread &server, int tab)
    {
        w.show();
        auto *socket = w.findChild<QTcpSocket *>();
        socket->connectToHost(QHostAddress::LocalHost, server.port());
        if (!socket->waitForConnected(5000))
            qFatal("cannot connect to the bench server");
        server.acceptNext();
        showTab(tab);
        for (const char *name : {"textEditFile", "textEditRead"})
            w.findChild<QTextEdit *>(QLatin1String(name))
                ->document()
                ->documentLayout()
                ->installEventFilter(&m_layoutSteps);
    }
    void showTab(int tab) { w.findChild<QTabWidget *>(QStringLiteral("tabWidget"))->setCurrentIndex(tab); }
    bool saysReceived(const QString &name) const
    {
        return read()->toPlainText().contains(QStringLiteral("文件：") + name);
    }
    // What changes while a file is shown: the text, its layout and the scene. Asking a text
    // layout for its size would finish it at once; a large text is laid out in steps that
    // its own timer runs, so these steps are counted instead.
    QVariantList state() const
    {
        auto *text = w.findChild<QTextEdit *>(QStringLiteral("textEditFile"));
        auto *view = w.findChild<QGraphicsView *>(QStringLiteral("graphicsViewImage"));
        return {text->document()->characterCount(), m_layoutSteps.count, view->scene()->items().size()};
    }

private:
    QTextEdit *read() const { return w.findChild<QTextEdit *>(QStringLiteral("textEditRead")); }

    struct TimerCount : QObject
    {
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Timer;
            return false;
        }
        int count = 0;
    };

    TimerCount m_layoutSteps; // outlives w, which it watches
    Widget w;
};

// Runs the event loop, probing it, until ready() holds and the window's state has then not
// changed for kSettleMs.
Outcome probeUntilSettled(const Window &window, const std::function<bool()> &ready)
{
    BlockProbe probe;
    QElapsedTimer clock, still;
    probe.start();
    clock.start();
    QVariantList last = window.state();
    bool seen = false;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (clock.elapsed() > kRoundTimeoutMs)
            qFatal("the window did not settle within %d ms", kRoundTimeoutMs);
        if (!seen) {
            seen = ready();
            still.start();
            return;
        }
        const QVariantList now = window.state();
        if (now != last) {
            last = now;
            still.start();
        } else if (still.elapsed() >= kSettleMs) {
            loop.quit();
        }
    });
    check.start(5);
    loop.exec();
    return {probe.stop(), BlockProbe::longestEventCpuMs(), double(clock.elapsed() - kSettleMs)};
}

struct Series
{
    std::vector<double> longest, cpu, settled;
    void add(const Outcome &o)
    {
        longest.push_back(o.longestMs);
        cpu.push_back(o.eventCpuMs);
        settled.push_back(o.settledMs);
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

void printRow(const char *label, const std::vector<Series> &columns, std::vector<double> Series::*values,
              bool range)
{
    std::printf("  %-22s", label);
    for (const Series &s : columns) {
        const std::vector<double> &v = s.*values;
        if (range)
            std::printf(" %8.1f (%6.1f-%6.1f)", median(v), *std::min_element(v.begin(), v.end()),
                        *std::max_element(v.begin(), v.end()));
        else
            std::printf(" %24.0f", median(v));
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TimedApplication app(argc, argv);
    if (qEnvironmentVariableIsEmpty("BENCH_DEBUG"))
        QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    int rounds = 3;
    if (argc > 1 && std::atoi(argv[1]) > 0)
        rounds = std::atoi(argv[1]);
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();

    QTemporaryDir dir;
    QDir::setCurrent(dir.path());

    const auto file = [](const char *name, const QByteArray &data) {
        return tavrel::kFilePrefix + QByteArray(name) + tavrel::separator() + data;
    };
    const auto image = [](const char *name, const QByteArray &data) {
        return tavrel::imageMessage(QString::fromUtf8(name), QStringLiteral("bob"), data);
    };
    const std::vector<Case> cases = {
        {"text 64 KiB", file("t64k.txt", textFile(64 * 1024, '\n')), "t64k", kTextTab},
        {"text 64 KiB, one line", file("line.txt", textFile(64 * 1024, ' ')), "line", kTextTab},
        {"text 4 MiB", file("t4m.txt", textFile(4 * 1024 * 1024, '\n')), "t4m", kTextTab},
        {"text 16 MiB", file("t16m.txt", textFile(16 * 1024 * 1024, '\n')), "t16m", kTextTab},
        {"image 0.3 MP PNG", image("s.png", imageFile(640, 480, "PNG")), "s", kImageTab},
        {"image 8 MP JPEG", image("b.jpg", imageFile(3264, 2448, "JPEG")), "b", kImageTab},
        {"image 8 MP PNG", image("b.png", imageFile(3264, 2448, "PNG")), "b", kImageTab},
    };

    ServerThread server;
    Series idle;
    std::vector<std::vector<Series>> results(cases.size(), std::vector<Series>(3));
    for (int round = 0; round < rounds; ++round) {
        {
            Window window(server, kMessageTab);
            idle.add(probeUntilSettled(window, [] { return true; }));
        }
        for (size_t i = 0; i < cases.size(); ++i) {
            const Case &c = cases[i];
            if (!QString::fromUtf8(c.label).startsWith(only))
                continue;
            {
                Window window(server, kMessageTab);
                server.post(c.message);
                results[i][0].add(probeUntilSettled(window, [&] { return window.saysReceived(c.name); }));
                window.showTab(c.tab);
                results[i][1].add(probeUntilSettled(window, [] { return true; }));
            }
            Window window(server, c.tab);
            server.post(c.message);
            results[i][2].add(probeUntilSettled(window, [&] { return window.saysReceived(c.name); }));
        }
    }

    const struct
    {
        const char *title;
        std::vector<double> Series::*values;
        bool range;
    } tables[] = {
        {"Longest event-loop block, wall clock, ms: median (min-max)", &Series::longest, true},
        {"Longest single event, GUI thread CPU time, ms: median (min-max)", &Series::cpu, true},
        {"Time until the window settled (received and shown, or the tab switched), ms: median",
         &Series::settled, false},
    };
    std::printf("%d rounds\n", rounds);
    for (const auto &table : tables) {
        std::printf("%s\n  %-22s %24s %24s %24s\n", table.title, "", "received, message tab",
                    "then its tab opened", "received, its tab open");
        printRow("idle window", {idle, idle, idle}, table.values, table.range);
        for (size_t i = 0; i < cases.size(); ++i)
            if (!results[i][0].longest.empty())
                printRow(cases[i].label, results[i], table.values, table.range);
    }
    return 0;
}
