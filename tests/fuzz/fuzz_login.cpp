// Login messages as the server reads them: whatever the bytes, a parsed login holds no
// separator in its fields and builds back into the same message, and a name the server
// accepts is one a relayed line can start with.

#include "chattext.h"
#include "names.h"
#include "protocol.h"
#include "requests.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<tavrel::LoginFields> fields = tavrel::parseLogin(message);
    if ((tavrel::requestKind(message) == tavrel::Request::Login) != message.startsWith(tavrel::kLoginPrefix))
        std::abort();
    if (!fields)
        return 0;
    const QString separator = QLatin1String(tavrel::kSeparatorText);
    if (fields->name.contains(separator) || fields->digest.contains(separator))
        std::abort();
    // Valid UTF-8 decodes and encodes back to the same bytes.
    if (QString::fromUtf8(message).toUtf8() == message &&
        tavrel::loginMessage(fields->name, fields->digest) != message)
        std::abort();
    if (tavrel::server::isValidUserName(fields->name) &&
        (!tavrel::server::isDisplaySafe(fields->name) || fields->name.contains(u':') ||
         fields->name.contains(u' ')))
        std::abort();
    return 0;
}
