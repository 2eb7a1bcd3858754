#pragma once

// Taking apart what a client sends, as the server reads it. Each parser returns nothing
// when the message does not have the layout of its kind; fields are decoded from UTF-8.

#include <QByteArray>
#include <QString>

#include <optional>

namespace tavrel {

enum class Request {
    Chat,         // "c," text
    Login,        // "l," name ~ digest
    Registration, // "r," name ~ e-mail ~ code ~ digest
    Upload,       // "fs," path ~ contents
    FileRequest,  // "fr," name
    Unknown,
};

// The kind of a message received by the server; the whole prefix must match.
Request requestKind(const QByteArray &message);

struct LoginFields
{
    QString name;
    QString digest;
};

struct RegistrationFields
{
    QString name;
    QString email;
    QString code;
    QString digest;
};

struct UploadFields
{
    QString path;        // as the client typed it; may hold directory parts
    QByteArray contents; // everything after the first separator, later separators included
};

// Names never hold the separator, so the login splits at its first one and the digest
// must hold none.
std::optional<LoginFields> parseLogin(const QByteArray &message);
// Exactly three separators.
std::optional<RegistrationFields> parseRegistration(const QByteArray &message);
// A separator must follow the path.
std::optional<UploadFields> parseUpload(const QByteArray &message);
// The chat text or the requested name: everything after the prefix.
QString requestText(const QByteArray &message);

// True for the 32 lowercase hexadecimal characters of a salted digest.
bool isSaltedDigest(const QString &text);

} // namespace tavrel
