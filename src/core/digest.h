#pragma once

#include <QString>

namespace tavrel {

// The salt every client appends to the first digest. It is part of the credential the
// server stores, so it never changes.
inline constexpr char kPasswordSalt[] = "qzrt#=";

// Lowercase hex MD5 of the UTF-8 bytes of text: always 32 characters.
QString md5Hex(const QString &text);

// What a login or registration carries instead of the password:
// md5Hex(md5Hex(password) + salt). The password is taken exactly as typed.
QString saltedDigest(const QString &password, const QString &salt = QLatin1String(kPasswordSalt));

} // namespace tavrel
