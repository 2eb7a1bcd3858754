#include "requests.h"

#include "protocol.h"

#include <QList>

namespace tavrel {

namespace {

QList<QByteArray> splitAtSeparators(const QByteArray &body)
{
    QList<QByteArray> parts;
    const QByteArray sep = separator();
    qsizetype from = 0;
    for (;;) {
        const qsizetype at = body.indexOf(sep, from);
        if (at < 0) {
            parts.append(body.mid(from));
            return parts;
        }
        parts.append(body.mid(from, at - from));
        from = at + kSeparatorSize;
    }
}

// The fields after the prefix of a message of the given kind, when there are exactly count.
std::optional<QList<QByteArray>> fieldsOf(const QByteArray &message, Request kind, const char *prefix,
                                          int count)
{
    if (requestKind(message) != kind)
        return std::nullopt;
    QList<QByteArray> parts = splitAtSeparators(message.mid(qstrlen(prefix)));
    if (parts.size() != count)
        return std::nullopt;
    return parts;
}

} // namespace

Request requestKind(const QByteArray &message)
{
    if (message.startsWith(kChatPrefix))
        return Request::Chat;
    if (message.startsWith(kLoginPrefix))
        return Request::Login;
    if (message.startsWith(kRegistrationPrefix))
        return Request::Registration;
    if (message.startsWith(kFilePrefix))
        return Request::Upload;
    if (message.startsWith(kFileRequestPrefix))
        return Request::FileRequest;
    return Request::Unknown;
}

std::optional<LoginFields> parseLogin(const QByteArray &message)
{
    const auto parts = fieldsOf(message, Request::Login, kLoginPrefix, 2);
    if (!parts)
        return std::nullopt;
    return LoginFields{QString::fromUtf8(parts->at(0)), QString::fromUtf8(parts->at(1))};
}

std::optional<RegistrationFields> parseRegistration(const QByteArray &message)
{
    const auto parts = fieldsOf(message, Request::Registration, kRegistrationPrefix, 4);
    if (!parts)
        return std::nullopt;
    return RegistrationFields{QString::fromUtf8(parts->at(0)), QString::fromUtf8(parts->at(1)),
                              QString::fromUtf8(parts->at(2)), QString::fromUtf8(parts->at(3))};
}

std::optional<UploadFields> parseUpload(const QByteArray &message)
{
    if (requestKind(message) != Request::Upload)
        return std::nullopt;
    const qsizetype at = message.indexOf(separator(), kFilePrefixSize);
    if (at < 0)
        return std::nullopt;
    return UploadFields{QString::fromUtf8(message.mid(kFilePrefixSize, at - kFilePrefixSize)),
                        message.mid(at + kSeparatorSize)};
}

QString requestText(const QByteArray &message)
{
    switch (requestKind(message)) {
    case Request::Chat:
        return QString::fromUtf8(message.mid(qstrlen(kChatPrefix)));
    case Request::FileRequest:
        return QString::fromUtf8(message.mid(qstrlen(kFileRequestPrefix)));
    default:
        return QString();
    }
}

bool isSaltedDigest(const QString &text)
{
    if (text.size() != 32)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

} // namespace tavrel
