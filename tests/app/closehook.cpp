// Preloaded into the real tavrel (LD_PRELOAD) by tst_window, so that the program under test
// is the one that ships. It connects the window to the test's peer on 127.0.0.1:12345, as
// the connect button would, and closes the window as a user would, at the moment that
// TAVREL_CLOSE_WHEN names:
//   connected  once the connection is up;
//   bytes      right after the window has taken in the first bytes that arrive.
// Just before closing it reports on stderr how many bytes of a message the window held.

#include "assembler.h"

#include <QApplication>
#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>
#include <QWidget>

#include <cstdio>

namespace {

QWidget *chatWindow()
{
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (qstrcmp(widget->metaObject()->className(), "Widget") == 0)
            return widget;
    }
    return nullptr;
}

qsizetype pendingBytes(QWidget *window)
{
    for (QObject *child : window->children()) {
        if (qstrcmp(child->metaObject()->className(), "tavrel::MessageAssembler") == 0)
            return static_cast<tavrel::MessageAssembler *>(child)->pendingSize();
    }
    return -1;
}

void closeSoon(QWidget *window)
{
    // Queued: after the window's own handler of the same signal, and before any timer, the
    // gatherer's quiet gap included.
    QMetaObject::invokeMethod(
        window,
        [window] {
            std::fprintf(stderr, "closing with %lld bytes pending\n", qlonglong(pendingBytes(window)));
            window->close();
        },
        Qt::QueuedConnection);
}

void aim()
{
    QWidget *window = chatWindow();
    if (!window) {
        QTimer::singleShot(10, aim);
        return;
    }
    auto *socket = window->findChild<QTcpSocket *>();
    if (qgetenv("TAVREL_CLOSE_WHEN") == "connected")
        QObject::connect(socket, &QTcpSocket::connected, window, [window] { closeSoon(window); });
    else
        QObject::connect(socket, &QTcpSocket::readyRead, window, [window] { closeSoon(window); });
    socket->connectToHost(QHostAddress(QHostAddress::LocalHost), 12345);
}

// Runs inside the QApplication constructor, before the window exists.
void start()
{
    QTimer::singleShot(0, aim);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(start)
