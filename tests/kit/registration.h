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

// Asks for a verification code, reads it from the mail to email the server leaves in
// outbox, and registers with it.
inline void registerThroughMail(Widget &w, const QDir &outbox, const QString &name, const QString &email,
                                const QString &password)
{
    type(w, "lineEditName", name);
    type(w, "lineEditEmail", email);
    type(w, "lineEditPasswd", password);
    type(w, "lineEditPasswd2", password);
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("验证码已发送到") + email), 10000);
    QTRY_VERIFY(!mailedCode(outbox.path(), email).isEmpty());

    // The client's one-minute lockout is tested on its own; here the minute has passed.
    WidgetProbe::button(w, "btnReg")->setEnabled(true);
    type(w, "lineEditCheckCode", mailedCode(outbox.path(), email));
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("注册成功，请登录")), 10000);
}

// Sends the text file at path with 发送文件, asks for it back by its name with 接收文件, and
// compares what was stored in the working folder.
inline void sendAndFetchBack(Widget &w, const QString &path, const QString &name, const QByteArray &bytes)
{
    QVERIFY(write(path, bytes));
    type(w, "lineEditFile", path);
    click(w, "btnSendFile");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(name), 5000);
    type(w, "lineEditFile2", name);
    click(w, "btnReceiveFile");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("收到文件：") + name), 5000);
    QCOMPARE(contents(name), bytes);
}
