#pragma once

#include "scriptedpeer.h"
#include "widget.h"
#include "widgetprobe.h"

#include <QPushButton>
#include <QTest>

// Connects the window's socket straight to the scripted peer on 127.0.0.1, without the
// candidate search of the connect button, and leaves the message box empty.
inline bool connectToPeer(Widget &w, ScriptedPeer &peer)
{
    const int before = peer.connectionCount();
    QTcpSocket *socket = WidgetProbe::socket(w);
    socket->connectToHost(QHostAddress(QStringLiteral("127.0.0.1")), 12345);
    if (!socket->waitForConnected(3000))
        return false;
    if (!QTest::qWaitFor([&] { return peer.connectionCount() > before; }, 3000))
        return false;
    WidgetProbe::textEdit(w, "textEditRead")->clear();
    return true;
}

// Sends a marker through the window's socket and returns everything the peer got up to and
// without it: what the window wrote before, or nothing when it wrote nothing.
inline QByteArray receivedBeforeMarker(Widget &w, ScriptedPeer &peer)
{
    static const QByteArray marker("<<end of test bytes>>");
    WidgetProbe::socket(w)->write(marker);
    if (!QTest::qWaitFor([&] { return peer.received().endsWith(marker); }, 5000))
        return QByteArray("<<marker missing>>");
    return peer.received().chopped(marker.size());
}

inline void setSendButtonsEnabled(Widget &w, bool enabled)
{
    for (const char *name : {"btnSend", "btnSendFile", "btnReceiveFile"})
        WidgetProbe::button(w, name)->setEnabled(enabled);
}

inline bool anySendButtonEnabled(Widget &w)
{
    return WidgetProbe::button(w, "btnSend")->isEnabled() ||
           WidgetProbe::button(w, "btnSendFile")->isEnabled() ||
           WidgetProbe::button(w, "btnReceiveFile")->isEnabled();
}

inline void click(Widget &w, const char *name)
{
    QTest::mouseClick(WidgetProbe::button(w, name), Qt::LeftButton);
}
