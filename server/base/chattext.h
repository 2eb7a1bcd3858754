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

// Characters dropped from relayed text: they show nothing, and can change how the text
// around them shows. Bidi controls (embeddings, overrides, isolates, marks) turn a line
// around so that it reads as another; the other format characters (zero-width space, word
// joiner, soft hyphen, byte order mark, tags) hide what a text holds; controls other than
// tab and the line breaks have nothing to show. The zero-width joiner and non-joiner stay:
// emoji sequences and several scripts need them, and they reorder nothing.
bool isHiddenCharacter(char32_t c);

// A user's text as relayed: without hidden characters, its line breaks indented, and with
// no separator in it, so that no reader splits a relayed message at a separator a user
// wrote: the separator's last byte, '&', becomes '＆' (U+FF06) behind the other four.
QString relayedText(QStringView text);

// A user's chat text as every client receives it: "name: text" with the text as relayed.
QString relayedChat(const QString &sender, QStringView text);

// A relayed message and TCP's segments. A reader that takes each read as one message, as
// the protocol allows, takes a message that reaches it in two reads for two, and the second
// for whatever its first byte says: had it begun inside a user's text, that reader would
// store a file ("fs"), accept a login answer or show a line of any sender, the server's
// included. A link delivers a message in two reads only where TCP cut it into segments
// (a segment is never split on the way, short of a middlebox that rebuilds them), and TCP
// cuts a write into an empty send queue at multiples of the segment size (MSS) counted from
// its first byte. The server writes each message at once, and only once the client has
// the one before it (Session). So a message of at most one segment reaches every reader
// whole, however long the link holds its segments up, and the next message starts a
// segment of its own.
//
// Relayed chat is therefore sent in pieces of at most the connection's segment size, read
// from TCP_INFO before each piece: a batch of lines merged while the client was busy is
// broken at line ends, each piece starting with a line of its own (a sender's name or
// the two blanks of a continuation), and a line longer than a segment where a line may
// wrap, its rest going on as a continuation line, which claims no sender. Segments are
// 1448 bytes on Ethernet and at least 536 on any IPv4 path, so this only cuts chat text
// longer than a few hundred characters, or a batch of many lines; each further piece
// waits for the pause after a message (about 45 ms on a fast link). A client so takes at
// most one segment of chat per pause: some 30 KB/s at 1448 bytes, 12 KB/s at 536.
//
// Cost, by bench/run-server-load.sh at 200 clients x 1 line/s (60-byte texts, about 15 KB/s
// to every client; segment size set with bench-server-load --max-segment) against the
// server as it was, one session, 2 shared cores: on loopback (32 KiB segments) and with
// Ethernet's 1448-byte segments nothing changes, p50/p99 53.7/77.4 and 52.2/72.5 ms at
// 40000 lines/s against 52.5/73.0 and 52.5/73.6 ms (loads 1 to 5). With 536-byte segments
// the room outruns what a client takes: p50/p99 3.0/5.0 s and 0.35% of the lines later
// than 5 s, against 53.5/78.6 ms. Re-measure with
// SCENARIOS=200 PER_ADDRESS=4 bench/run-server-load.sh -- --max-segment 548 (or 1460).
//
// What the rule cannot cover: a path whose segment size shrinks after the piece was laid
// out, and a middlebox that cuts segments anew. A piece cut there still holds no separator
// and no hidden character, and its continuation lines are indented. User lists and files
// are longer than a segment by nature and go out whole.
//
// Takes from a chat message ("c,") longer than room bytes its first piece, of at most room
// bytes where the text allows, and leaves the rest in message as a chat message of its own;
// returns the whole message, and leaves message empty, when it fits.
QByteArray takeChatPiece(QByteArray &message, qsizetype room);

} // namespace tavrel::server
