#pragma once

#include "outbox.h"
#include "widgetprobe.h"

#include <QDir>

// A new user's first steps with the real server through the window. A failure is recorded
// in the running test; check QTest::currentTestFailed() after each step.

// Clicks 连接服务器, which must connect at once.
inline void connectThroughButton(Widget &w)
{
    click(w, "btnConnect");
    QCOMPARE(WidgetProbe::button(w, "btnConnect")->text(), QStringLiteral("断开"));
    QCOMPARE(shown(w), QStringLiteral("成功和服务器连接"));
}

// Connects, asks for a verification code, reads it from the mail to email the server leaves
// in outbox, registers with it and logs in: the send buttons unlock and the user list shows
// the user, first as 我.
inline void startAsNewUser(Widget &w, const QDir &outbox, const QString &name, const QString &email)
{
    connectThroughButton(w);
    type(w, "lineEditName", name);
    type(w, "lineEditEmail", email);
    for (const char *edit : {"lineEditPasswd", "lineEditPasswd2"})
        type(w, edit, QStringLiteral("秘密 secret"));
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("验证码已发送到") + email), 10000);
    QTRY_VERIFY(!mailedCode(outbox.path(), email).isEmpty());

    // The client's one-minute lockout is tested on its own; here the minute has passed.
    WidgetProbe::button(w, "btnReg")->setEnabled(true);
    type(w, "lineEditCheckCode", mailedCode(outbox.path(), email));
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("注册成功，请登录")), 10000);

    // The answer and the user list come apart: a free-running event loop, as the program's,
    // reads them as two. The list names the others online, never the reader.
    click(w, "btnLog");
    const auto loggedIn = [&] {
        const QString users = shown(w, "textEditUsers");
        return sendButtonsEnabled(w) == 3 && shown(w).endsWith(QStringLiteral("登录成功")) &&
               users.startsWith(QStringLiteral("我: ") + name + u'\n') &&
               !users.split(u'\n').mid(1).contains(name);
    };
    QVERIFY2(waitUntil(loggedIn, 10000), qPrintable(shown(w) + u'|' + shown(w, "textEditUsers")));
}

// Sends text with 发送; the server echoes it to its sender.
inline void chat(Widget &w, const QString &sender, const QString &text)
{
    WidgetProbe::textEdit(w, "textEditWrite")->setPlainText(text);
    click(w, "btnSend");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).endsWith(sender + QStringLiteral(": ") + text), 5000);
}

// Asks for a file by name with 接收文件, and waits for the line that reports it.
inline void fetch(Widget &w, const QString &name, const QString &line)
{
    type(w, "lineEditFile2", name);
    click(w, "btnReceiveFile");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(line), 5000);
}

// Sends the text file at path with 发送文件, asks for it back by its name, and compares what
// was stored in the working folder.
inline void sendAndFetchBack(Widget &w, const QString &path, const QString &name, const QByteArray &bytes)
{
    QVERIFY(write(path, bytes));
    type(w, "lineEditFile", path);
    click(w, "btnSendFile");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(name), 5000);
    fetch(w, name, QStringLiteral("收到文件：") + name);
    QCOMPARE(contents(name), bytes);
}
