#pragma once

// Every text the server sends. Login answers go out as "l,", registration answers as
// "r,", notices as chat lines. Every one of them but the login success answer is shown
// after "服务器: ", a sender no user can be, so that no user line can pass for one.
//
// Texts that hold user data are built with one multi-argument arg() or by concatenation:
// a chained arg() would read a "%1" inside the first value as a place for the second.

#include "chattext.h"
#include "names.h"
#include "protocol.h"

#include <QString>

namespace tavrel::server::answers {

// The sender of an image that no user uploaded, and of every notice.
inline QString serverSender()
{
    return serverName();
}

// A text of the server as a client shows it.
inline QString notice(const QString &text)
{
    return relayedChat(serverSender(), text);
}

// The client enables its send buttons on exactly this text.
inline QString loginOk()
{
    return QStringLiteral("登录成功");
}
// Unknown names and wrong passwords get the same answer, so that a login cannot be used to
// find out which names exist.
inline QString loginRefused()
{
    return QStringLiteral("登录失败：用户名或密码错误");
}
// Both are given for unknown names just the same.
inline QString loginThrottled(int seconds)
{
    return QStringLiteral("登录失败：尝试太频繁，请%1秒后再试").arg(seconds);
}
inline QString loginLocked(int minutes)
{
    return QStringLiteral("登录失败：尝试次数过多，请%1分钟后再试").arg(minutes);
}

inline QString codeSent(const QString &email, int minutes)
{
    return QStringLiteral("验证码已发送到%1，%2分钟内有效").arg(email, QString::number(minutes));
}
inline QString codeResendWait(int seconds)
{
    return QStringLiteral("验证码刚刚发出，请%1秒后再重新获取").arg(seconds);
}
inline QString codeDailyLimit()
{
    return QStringLiteral("注册失败：今天的验证码次数已用完，请明天再试");
}
inline QString codeSourceLimit()
{
    return QStringLiteral("注册失败：验证码请求太多，请稍后再试");
}
inline QString codeDeliveryFailed()
{
    return QStringLiteral("注册失败：验证码发送失败，请稍后再试");
}
inline QString codeWrong(int triesLeft)
{
    return QStringLiteral("注册失败：验证码错误，还可以再试%1次").arg(triesLeft);
}
inline QString codeBlocked(int seconds)
{
    return QStringLiteral("注册失败：验证码错误次数过多，请%1秒后重新获取验证码").arg(seconds);
}
inline QString nameTaken()
{
    return QStringLiteral("注册失败：用户名已被占用");
}
// A name that looks like an account's: told apart from nameTaken only in the words, so
// the same limits hold for both.
inline QString nameLooksTaken()
{
    return QStringLiteral("注册失败：用户名与已有用户名太相似");
}
inline QString nameDeceptive()
{
    return QStringLiteral("注册失败：用户名含有不可见、易混淆或混用的文字");
}
inline QString registrationThrottled(int seconds)
{
    return QStringLiteral("注册失败：尝试太频繁，请%1秒后再试").arg(seconds);
}
inline QString nameInvalid()
{
    return QStringLiteral("注册失败：用户名须为1到32个字母、数字、_、-或.");
}
inline QString emailInvalid()
{
    return QStringLiteral("注册失败：邮箱地址无效");
}
inline QString registrationMalformed()
{
    return QStringLiteral("注册失败：请求格式错误");
}
inline QString registered()
{
    return QStringLiteral("注册成功，请登录");
}

// This connection's previous request is still being worked on.
inline QString busy()
{
    return QStringLiteral("请等上一个请求处理完");
}
// The queue of work of this kind is full.
inline QString serverBusy()
{
    return QStringLiteral("服务器繁忙，请稍后再试");
}
inline QString internalError()
{
    return QStringLiteral("服务器内部错误，请稍后再试");
}

inline QString loginFirst()
{
    return QStringLiteral("请先登录");
}
inline QString chatTooLong(int limit)
{
    return QStringLiteral("消息太长（最多%1个字符），未发送").arg(limit);
}
inline QString slowDown()
{
    return QStringLiteral("发送太快，请稍后再试");
}
inline QString replaced()
{
    return QStringLiteral("你的账号已在别处登录，此连接将关闭");
}

inline QString uploaded(const QString &user, const QString &name, qint64 size)
{
    return QStringLiteral("%1 上传了文件：%2（%3字节）").arg(user, name, QString::number(size));
}
inline QString uploadBadName()
{
    return QStringLiteral("文件上传失败：文件名无效");
}
inline QString uploadTooBig(qint64 limit)
{
    return QStringLiteral("文件上传失败：文件太大（最多%1字节）").arg(limit);
}
inline QString uploadNotText()
{
    return QStringLiteral("文件上传失败：只接受UTF-8文本文件");
}
inline QString uploadQuotaExceeded(qint64 quota)
{
    return QStringLiteral("文件上传失败：超出每人%1字节的上传总量").arg(quota);
}
inline QString uploadDiskFull()
{
    return QStringLiteral("文件上传失败：服务器磁盘空间不足");
}
inline QString uploadFailed()
{
    return QStringLiteral("文件上传失败：服务器无法保存文件");
}

inline QString requestBadName()
{
    return QStringLiteral("文件名无效");
}
inline QString noSuchFile(const QString &name)
{
    return QStringLiteral("没有这个文件：") + name;
}
inline QString fileTooBig(const QString &name)
{
    return QStringLiteral("文件太大，无法发送：") + name;
}
// A file for this connection is still on its way.
inline QString fileBusy()
{
    return QStringLiteral("请等上一个文件发送完");
}

// A plain connection to a server that takes only TLS ones.
inline QString encryptionRequired()
{
    return QStringLiteral("此服务器只接受加密连接");
}

// The messages that carry them.
inline QByteArray noticeMessage(const QString &text)
{
    return chatLine(notice(text));
}
inline QByteArray loginReply(const QString &text)
{
    return loginAnswer(text == loginOk() ? text : notice(text));
}
inline QByteArray registrationReply(const QString &text)
{
    return registrationAnswer(notice(text));
}

} // namespace tavrel::server::answers
