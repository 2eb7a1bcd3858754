#pragma once

#include <QString>

namespace tavrel::server {

inline constexpr int kMaxUserNameLength = 32;

// User names are shown after "我: ", in the user list (one per line) and before ": " in
// every chat line, so they are kept to letters, digits, '_', '-' and '.': nothing that
// could break a line, fake a chat line's "name: " or hide in white space. The name files
// are attributed to when no user uploaded them is reserved.
bool isValidUserName(const QString &name);

// A plausible mail address: one '@', a local part and a dotted domain of the characters
// addresses use in practice, nothing that could leave the To: header of a mail.
bool isPlausibleEmail(const QString &email);

} // namespace tavrel::server
