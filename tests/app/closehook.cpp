// Preloaded into the real tavrel (LD_PRELOAD) by tst_window and bench-flood, so that the
// program under test is the one that ships. It connects the window to the peer on
// 127.0.0.1:12345 (or TAVREL_HOOK_PORT), as the connect button would, and closes the window
// as a user would, at the moment that TAVREL_CLOSE_WHEN names:
//   bytes    right after the window has taken in the first bytes that arrive;
//   drained  once the peer has closed and the message box has not changed for 2 s;
//   started  at once, without connecting.
// Just before closing it reports on stderr how many bytes of a message the window held, and
// in the file TAVREL_HOOK_REPORT, if set: the working folder on the first line, the peak
// resident memory in KiB on the second, the paragraphs of the message box on the third,
// the images in the picture scene on the fourth, and the message box's text after them.

#include "assembler.h"

#include <QApplication>
#include <QDir>
#include <QGraphicsScene>
#include <QHostAddress>
#include <QSaveFile>
#include <QTcpSocket>
#include <QTextDocument>
#include <QTextEdit>
#include <QTimer>
#include <QWidget>

#include <cstdio>

#include <sys/resource.h>

namespace {

QWidget *chatWindow()
{
    const QWidgetList windows = QApplication::topLevelWidgets();
    const auto found =
        std::find_if(windows.begin(), windows.end(), [](QWidget *w) { return w->inherits("Widget"); });
    return found == windows.end() ? nullptr : *found;
}

qsizetype pendingBytes(QWidget *window)
{
    for (QObject *child : window->children()) {
        if (qstrcmp(child->metaObject()->className(), "tavrel::MessageAssembler") == 0)
            return static_cast<tavrel::MessageAssembler *>(child)->pendingSize();
    }
    return -1;
}

// The peak resident set of this process, in KiB, as the kernel counts it.
QByteArray peakResidentKiB()
{
    rusage usage{};
    return getrusage(RUSAGE_SELF, &usage) == 0 ? QByteArray::number(qlonglong(usage.ru_maxrss)) : "?";
}

void report(QWidget *window)
{
    std::fprintf(stderr, "closing with %lld bytes pending\n", qlonglong(pendingBytes(window)));
    const QString path = qEnvironmentVariable("TAVREL_HOOK_REPORT");
    if (path.isEmpty())
        return;
    const auto *box = window->findChild<QTextEdit *>(QStringLiteral("textEditRead"));
    const auto *scene = window->findChild<QGraphicsScene *>();
    // Whole or not at all: the test reads it as soon as it appears.
    QSaveFile file(path);
    if (file.open(QIODevice::WriteOnly)) {
        file.write(QDir::currentPath().toUtf8() + '\n' + peakResidentKiB() + '\n' +
                   QByteArray::number(box->document()->blockCount()) + '\n' +
                   QByteArray::number(scene ? scene->items().size() : -1) + '\n' +
                   box->toPlainText().toUtf8());
        file.commit();
    }
}

void closeSoon(QWidget *window)
{
    // Queued: after the window's own handler of the same signal, and before any timer, the
    // gatherer's quiet gap included.
    QMetaObject::invokeMethod(
        window,
        [window] {
            report(window);
            window->close();
        },
        Qt::QueuedConnection);
}

// Closes the window once the peer has gone and the message box has been still for 2 s.
void closeWhenDrained(QWidget *window, QTcpSocket *socket)
{
    auto *box = window->findChild<QTextEdit *>(QStringLiteral("textEditRead"));
    auto *still = new QTimer(window);
    still->setSingleShot(true);
    still->setInterval(2000);
    QObject::connect(box->document(), &QTextDocument::contentsChanged, still, [still, socket] {
        if (socket->state() == QAbstractSocket::UnconnectedState)
            still->start();
    });
    QObject::connect(socket, &QTcpSocket::disconnected, still, qOverload<>(&QTimer::start));
    QObject::connect(still, &QTimer::timeout, window, [window] { closeSoon(window); });
}

void aim()
{
    QWidget *window = chatWindow();
    if (!window) {
        QTimer::singleShot(10, aim);
        return;
    }
    const QByteArray when = qgetenv("TAVREL_CLOSE_WHEN");
    if (when == "started") {
        closeSoon(window);
        return;
    }
    auto *socket = window->findChild<QTcpSocket *>();
    if (when == "drained")
        closeWhenDrained(window, socket);
    else
        QObject::connect(socket, &QTcpSocket::readyRead, window, [window] { closeSoon(window); });
    const int port = qEnvironmentVariableIntValue("TAVREL_HOOK_PORT");
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), port > 0 ? quint16(port) : 12345);
}

// Runs inside the QApplication constructor, before the window exists.
void start()
{
    QTimer::singleShot(0, aim);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
