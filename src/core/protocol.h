#pragma once

// The Tavrel wire protocol: one TCP connection, port 12345.
//
// A message is a run of bytes that opens with a kind prefix and carries fields divided by
// the five-byte separator "~+^`&" (7E 2B 5E 60 26). There is no length field, terminator
// or escaping: a field that holds the separator is sent as it is, and a reader splits at
// the first occurrence. Text is UTF-8; file contents are raw bytes.
//
// Client to server:
//   "c,"  text                                   chat message          zero-terminated write
//   "l,"  name ~ digest                          login                 zero-terminated write
//   "r,"  name ~ e-mail ~ code ~ digest          registration          zero-terminated write
//   "fs," path ~ contents                        file (<= 64512 bytes) whole-array write
//   "fr," name                                   file request          whole-array write
//
// Server to client (byte 0 names the kind; byte 1, normally ',', is skipped unread):
//   'c'  chat line           text from offset 2
//   'r'  registration answer text from offset 2
//   'l'  login answer        "登录成功" or "succeed to log" exactly means success
//   'o'  online-user list    text from offset 2, one name per line
//   "fs" + byte 2 != 'i'     file:  name ~ contents                (name from offset 3)
//   "fsi"                    image: name ~ sender ~ image bytes
//   'f'  + byte 1 != 's'     other file kind: only its name is read
//
// In file and image messages the first separator must begin at offset 3..200, so a
// received name holds at most 197 bytes. The zero-terminated write sends the bytes before
// the first zero byte, so a chat, login or registration text is cut at U+0000.
//
// Messages are delimited by time: a message ends when the connection has been quiet for a
// gap (longer for messages that start with 'f'); see MessageAssembler.
//
// A connection may carry TLS instead, on the same port: its first byte is then 0x16, which
// opens a TLS handshake and no message, and the messages travel inside it unchanged.

#include <QByteArray>
#include <QString>

class QIODevice;

namespace tavrel {

inline constexpr quint16 kServerPort = 12345;
// The first byte of a TLS handshake record.
inline constexpr char kTlsHandshakeByte = 0x16;
inline constexpr char kSeparatorText[] = "~+^`&";
inline constexpr int kSeparatorSize = 5;

inline constexpr char kChatPrefix[] = "c,";
inline constexpr char kLoginPrefix[] = "l,";
inline constexpr char kRegistrationPrefix[] = "r,";
inline constexpr char kUserListPrefix[] = "o,";
inline constexpr char kFilePrefix[] = "fs,";
inline constexpr char kImagePrefix[] = "fsi";
inline constexpr char kFileRequestPrefix[] = "fr,";
inline constexpr int kFilePrefixSize = 3;

// Longest chat text a client sends, in UTF-16 code units.
inline constexpr int kMaxChatLength = 2000;
// Largest file a client sends: 63 KiB.
inline constexpr qint64 kMaxOutgoingFileSize = 64512;
// Largest offset at which the first separator of a received file or image message may begin.
inline constexpr int kMaxFirstSeparatorOffset = 200;

// The two answers that count as a successful login, compared byte for byte.
QByteArray loginSuccessAnswer();        // "登录成功"
QByteArray loginSuccessAnswerEnglish(); // "succeed to log"

QByteArray separator();

// Builders of the client's messages. They return every byte; the chat, login and
// registration messages go out through writeZeroTerminated, the other two through writeWhole.
QByteArray chatMessage(const QString &text);
QByteArray loginMessage(const QString &name, const QString &saltedDigest);
QByteArray registrationMessage(const QString &name, const QString &email, const QString &code,
                               const QString &saltedDigest);
QByteArray fileMessage(const QString &path, const QByteArray &contents);
QByteArray fileRequest(const QString &name);

// Builders of the server's messages.
QByteArray chatLine(const QString &text);
QByteArray loginAnswer(const QString &text);
QByteArray registrationAnswer(const QString &text);
QByteArray userList(const QStringList &names);
QByteArray imageMessage(const QString &name, const QString &sender, const QByteArray &image);

// Hands the bytes before the first zero byte to the device in one write.
qint64 writeZeroTerminated(QIODevice *device, const QByteArray &message);
// Hands every byte, zero bytes included, to the device in one write.
qint64 writeWhole(QIODevice *device, const QByteArray &message);
// What writeZeroTerminated sends of a message.
QByteArray zeroTerminated(const QByteArray &message);

enum class Kind {
    Empty,
    Chat,         // 'c'
    Registration, // 'r'
    Login,        // 'l'
    UserList,     // 'o'
    File,         // "fs", byte 2 not 'i'
    Image,        // "fsi"
    OtherFile,    // 'f', byte 1 not 's'
    Unknown,
};

// The kind of a message received by the client.
Kind incomingKind(const QByteArray &message);

// The text of a chat line, answer or user list: offset 2 to the end, decoded.
QString textField(const QByteArray &message);

struct FileParts
{
    enum Status {
        Ok,
        NameTooLong, // first separator beyond kMaxFirstSeparatorOffset
        Malformed,   // an image message without its second separator
        NoSeparator, // no separator at all, so not even the name is known
    };
    Status status = Malformed;
    QByteArray name;     // bytes 3 up to the first separator
    QByteArray sender;   // image messages only
    QByteArrayView data; // contents or image bytes, later separators included
};

// Takes a received file ("fs,"), image ("fsi") or other 'f' message apart. For an image
// both separators must be present; for the other kinds the first. data points into
// message, which must outlive it: a copy of up to 16 MiB of contents would hold up the
// GUI thread for 10 to 25 ms.
FileParts splitFileMessage(const QByteArray &message, bool image);
FileParts splitFileMessage(QByteArray &&message, bool image) = delete;

} // namespace tavrel
