#include "protocol.h"

#include <QIODevice>
#include <QStringList>

namespace tavrel {

namespace {

QByteArray withPrefix(const char *prefix, const QByteArray &body)
{
    QByteArray message(prefix);
    message += body;
    return message;
}

} // namespace

QByteArray loginSuccessAnswer()
{
    return QStringLiteral("登录成功").toUtf8();
}

QByteArray loginSuccessAnswerEnglish()
{
    return QByteArrayLiteral("succeed to log");
}

QByteArray separator()
{
    return QByteArray(kSeparatorText, kSeparatorSize);
}

QByteArray chatMessage(const QString &text)
{
    return withPrefix(kChatPrefix, text.toUtf8());
}

QByteArray loginMessage(const QString &name, const QString &saltedDigest)
{
    const QString sep = QLatin1String(kSeparatorText);
    return (QLatin1String(kLoginPrefix) + name + sep + saltedDigest).toUtf8();
}

QByteArray registrationMessage(const QString &name, const QString &email, const QString &code,
                               const QString &saltedDigest)
{
    const QString sep = QLatin1String(kSeparatorText);
    return (QLatin1String(kRegistrationPrefix) + name + sep + email + sep + code + sep + saltedDigest)
        .toUtf8();
}

QByteArray fileMessage(const QString &path, const QByteArray &contents)
{
    QByteArray message(kFilePrefix);
    message.reserve(kFilePrefixSize + path.size() * 3 + kSeparatorSize + contents.size());
    message += path.toUtf8();
    message += separator();
    message += contents;
    return message;
}

QByteArray fileRequest(const QString &name)
{
    return withPrefix(kFileRequestPrefix, name.toUtf8());
}

QByteArray chatLine(const QString &text)
{
    return withPrefix(kChatPrefix, text.toUtf8());
}

QByteArray loginAnswer(const QString &text)
{
    return withPrefix(kLoginPrefix, text.toUtf8());
}

QByteArray registrationAnswer(const QString &text)
{
    return withPrefix(kRegistrationPrefix, text.toUtf8());
}

QByteArray userList(const QStringList &names)
{
    return withPrefix(kUserListPrefix, names.join(QLatin1Char('\n')).toUtf8());
}

QByteArray imageMessage(const QString &name, const QString &sender, const QByteArray &image)
{
    QByteArray message(kImagePrefix);
    message += name.toUtf8();
    message += separator();
    message += sender.toUtf8();
    message += separator();
    message += image;
    return message;
}

qint64 writeZeroTerminated(QIODevice *device, const QByteArray &message)
{
    // QByteArray keeps a zero byte after its data, so constData() is a C string.
    return device->write(message.constData());
}

qint64 writeWhole(QIODevice *device, const QByteArray &message)
{
    return device->write(message);
}

QByteArray zeroTerminated(const QByteArray &message)
{
    const qsizetype zero = message.indexOf('\0');
    return zero < 0 ? message : message.left(zero);
}

Kind incomingKind(const QByteArray &message)
{
    if (message.isEmpty())
        return Kind::Empty;
    switch (message.at(0)) {
    case 'c':
        return Kind::Chat;
    case 'r':
        return Kind::Registration;
    case 'l':
        return Kind::Login;
    case 'o':
        return Kind::UserList;
    case 'f':
        if (message.size() < 2 || message.at(1) != 's')
            return Kind::OtherFile;
        return message.size() > 2 && message.at(2) == 'i' ? Kind::Image : Kind::File;
    default:
        return Kind::Unknown;
    }
}

QString textField(const QByteArray &message)
{
    return QString::fromUtf8(message.mid(2));
}

FileParts splitFileMessage(const QByteArray &message, bool image)
{
    FileParts parts;
    const QByteArray sep = separator();
    const qsizetype first = message.indexOf(sep, kFilePrefixSize);
    if (first > kMaxFirstSeparatorOffset) {
        parts.status = FileParts::NameTooLong;
        return parts;
    }
    if (first < 0) {
        parts.status = FileParts::NoSeparator;
        return parts;
    }
    parts.name = message.mid(kFilePrefixSize, first - kFilePrefixSize);
    const qsizetype dataStart = first + kSeparatorSize;
    if (!image) {
        parts.data = QByteArrayView(message).sliced(dataStart);
        parts.status = FileParts::Ok;
        return parts;
    }
    const qsizetype second = message.indexOf(sep, dataStart);
    if (second < 0) {
        parts.status = FileParts::Malformed;
        return parts;
    }
    parts.sender = message.mid(dataStart, second - dataStart);
    parts.data = QByteArrayView(message).sliced(second + kSeparatorSize);
    parts.status = FileParts::Ok;
    return parts;
}

} // namespace tavrel
