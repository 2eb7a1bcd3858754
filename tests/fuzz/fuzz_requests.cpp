// What the server reads from a client, whatever the bytes. A parsed login, registration or
// upload holds no separator in its fields and builds back into the same message. A name the
// server accepts is one a relayed line can start with; an address it accepts cannot leave
// the header of the mail it goes into; a file name it would store is one every client can
// receive and show on one line. The text of a chat message or file request is all that
// follows its prefix, and a relayed chat line starts every line it holds with the sender's
// name or with the two blanks of a continuation.

#include "chattext.h"
#include "fuzzcheck.h"
#include "names.h"
#include "protocol.h"
#include "requests.h"
#include "sharedfiles.h"

#include <QStringList>

#include <cstdint>

using namespace tavrel;
using namespace tavrel::server;

namespace {

// Valid UTF-8 decodes and encodes back to the same bytes.
bool isUtf8(const QByteArray &bytes)
{
    return QString::fromUtf8(bytes).toUtf8() == bytes;
}

bool holdsSeparator(const QString &field)
{
    return field.contains(QLatin1String(kSeparatorText));
}

void login(const QByteArray &message)
{
    check((requestKind(message) == Request::Login) == message.startsWith(kLoginPrefix));
    const std::optional<LoginFields> fields = parseLogin(message);
    if (!fields)
        return;
    check(!holdsSeparator(fields->name) && !holdsSeparator(fields->digest));
    check(!isUtf8(message) || loginMessage(fields->name, fields->digest) == message);
    check(!isValidUserName(fields->name) ||
          (isDisplaySafe(fields->name) && !fields->name.contains(u':') && !fields->name.contains(u' ')));
}

void registration(const QByteArray &message)
{
    const std::optional<RegistrationFields> fields = parseRegistration(message);
    if (!fields)
        return;
    check(message.startsWith(kRegistrationPrefix));
    for (const QString *field : {&fields->name, &fields->email, &fields->code, &fields->digest})
        check(!holdsSeparator(*field));
    check(!isUtf8(message) ||
          registrationMessage(fields->name, fields->email, fields->code, fields->digest) == message);
    if (isPlausibleEmail(fields->email)) {
        for (const QChar c : fields->email)
            check(c.unicode() >= 0x21 && c.unicode() <= 0x7e && c != u'<' && c != u'>');
    }
}

void upload(const QByteArray &message)
{
    const std::optional<UploadFields> fields = parseUpload(message);
    if (!fields)
        return;
    check(!holdsSeparator(fields->path) && message.endsWith(fields->contents));
    check(!isUtf8(message.mid(kFilePrefixSize)) || fileMessage(fields->path, fields->contents) == message);
    QString name;
    if (FileStore::isServableName(fields->path, &name))
        check(!name.isEmpty() && name.toUtf8().size() <= kMaxServedNameBytes && !name.contains(u'/') &&
              !name.contains(u'\\') && isDisplaySafe(name) && !holdsSeparator(name));
}

void chatOrRequest(const QByteArray &message)
{
    const Request kind = requestKind(message);
    const QString text = requestText(message);
    if (kind != Request::Chat && kind != Request::FileRequest) {
        check(text.isEmpty());
        return;
    }
    check(text == QString::fromUtf8(message.mid(kind == Request::Chat ? 2 : 3)));
    const QString relayed = relayedChat(QStringLiteral("alice"), text);
    const QStringList lines = relayed.split(u'\n');
    check(lines.first().startsWith(QLatin1String("alice: ")));
    for (qsizetype i = 1; i < lines.size(); ++i)
        check(lines.at(i).startsWith(QLatin1String("  ")));
    for (const QChar c : relayed)
        check(c == u'\n' || !isLineBreak(c));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    login(message);
    registration(message);
    upload(message);
    chatOrRequest(message);
    return 0;
}
