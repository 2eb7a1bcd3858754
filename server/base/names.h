#pragma once

#include <QString>

namespace tavrel::server {

inline constexpr int kMaxUserNameLength = 32;

// The name the server sends its notices and its own images under; no account may have it
// or one that looks like it.
inline QString serverName()
{
    return QStringLiteral("服务器");
}

// User names are shown after "我: ", in the user list (one per line) and before ": " in
// every chat line, so they are kept to letters, digits, '_', '-' and '.': nothing that
// could break a line, fake a chat line's "name: " or hide in white space. The name files
// are attributed to when no user uploaded them is reserved. This is the shape of every name
// an account may have, older ones included: logins and presence from other instances are
// checked with it.
bool isValidUserName(const QString &name);

// Why a new account may not take this name, beyond its shape: NewNameOk when it may. The
// stricter rules hold for registration only, so that accounts made before them keep their
// names.
enum class NewNameProblem {
    NewNameOk,
    Shape,     // fails isValidUserName
    Deceptive, // invisible fillers, scripts mixed to look like another, characters outside
               // the identifier set Unicode recommends
    LooksLikeServer,
};
NewNameProblem newNameProblem(const QString &name);

// The key under which a name is one account: Unicode case folding with NFKC (NFKC_Casefold),
// so that "Émile" and "émile", or "Ｚoe" and "zoe", are the same name on every backend.
QString canonicalName(const QString &name);

// What a name looks like: names with the same skeleton are confusable ("аlice" with a
// Cyrillic а and "alice"). Taken of the canonical name with traditional Han letters turned
// to simplified ones, which Unicode's confusable data leaves apart (服務器, 服务器).
QString nameSkeleton(const QString &name);

// A plausible mail address: one '@', a local part and a dotted domain of the characters
// addresses use in practice, nothing that could leave the To: header of a mail.
bool isPlausibleEmail(const QString &email);

} // namespace tavrel::server
