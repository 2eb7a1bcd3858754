#pragma once

// What a client shows of the text the server relays. The client appends each chat
// message to its message box as plain text, one paragraph per message, so a line break
// inside a user's text would start a line of its own that could claim any sender. The
// server alone decides where a line starts: the first line of a relayed message is the
// sender's name and ": ", the lines of several messages merged into one start at column
// 0, and every line break inside a user's text is followed by two blanks, which neither
// a name nor a notice of the server ever starts with.

#include <QString>

namespace tavrel::server {

// Characters at which the client's text view starts a new line: the paragraph breaks of
// QTextCursor::insertText (LF, CR, U+2029 and Qt's frame marks U+FDD0, U+FDD1) and the
// mandatory breaks of Unicode line breaking that its layout honours (VT, FF, NEL, U+2028).
bool isLineBreak(QChar c);

// True when the text holds no line break and no other control or format character that
// could make it show as something else: what a name in a notice may hold.
bool isDisplaySafe(QStringView text);

// The text with every line break (CR LF counting once) turned into "\n" and two blanks.
QString indentedLines(QStringView text);

// A user's chat text as every client receives it: "name: text", continuation lines indented.
QString relayedChat(const QString &sender, QStringView text);

} // namespace tavrel::server
