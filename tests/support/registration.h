#pragma once

#include "widgetprobe.h"

#include <QDir>
#include <QRegularExpression>

// Registers a new user of the real server through the window: asks for a verification
// code, reads it from the mail to email the server leaves in outbox, and registers with it. A
// failure is recorded in the running test; check QTest::currentTestFailed() after it.
inline void registerThroughMail(Widget &w, const QDir &outbox, const QString &name, const QString &email,
                                const QString &password)
{
    const auto type = [&w](const char *edit, const QString &text) {
        WidgetProbe::lineEdit(w, edit)->setText(text);
    };
    type("lineEditName", name);
    type("lineEditEmail", email);
    type("lineEditPasswd", password);
    type("lineEditPasswd2", password);
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("验证码已发送到") + email), 10000);
    // The server may have written mails to others before.
    const auto mailTo = [&] {
        for (const QString &name : outbox.entryList({QStringLiteral("*.eml")}, QDir::Files)) {
            const QString text = QString::fromUtf8(contents(outbox.filePath(name)));
            if (text.contains(email))
                return text;
        }
        return QString();
    };
    QTRY_VERIFY(!mailTo().isEmpty());
    const QString text = mailTo();

    // The client's one-minute lockout is tested on its own; here the minute has passed.
    WidgetProbe::button(w, "btnReg")->setEnabled(true);
    type("lineEditCheckCode", QRegularExpression(QStringLiteral("验证码：(\\d{6})")).match(text).captured(1));
    click(w, "btnReg");
    QTRY_VERIFY_WITH_TIMEOUT(shown(w).contains(QStringLiteral("注册成功，请登录")), 10000);
}
