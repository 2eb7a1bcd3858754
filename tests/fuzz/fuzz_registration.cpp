// Registration messages as the server reads them: exactly four fields without a
// separator, built back into the same message; an address the server accepts cannot
// leave the header of the mail it goes into.

#include "names.h"
#include "protocol.h"
#include "requests.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<tavrel::RegistrationFields> fields = tavrel::parseRegistration(message);
    if (!fields)
        return 0;
    if (!message.startsWith(tavrel::kRegistrationPrefix))
        std::abort();
    const QString separator = QLatin1String(tavrel::kSeparatorText);
    for (const QString *field : {&fields->name, &fields->email, &fields->code, &fields->digest}) {
        if (field->contains(separator))
            std::abort();
    }
    if (QString::fromUtf8(message).toUtf8() == message &&
        tavrel::registrationMessage(fields->name, fields->email, fields->code, fields->digest) != message)
        std::abort();
    if (tavrel::server::isPlausibleEmail(fields->email)) {
        for (const QChar c : fields->email) {
            if (c.unicode() < 0x21 || c.unicode() > 0x7e || c == u'<' || c == u'>')
                std::abort();
        }
    }
    return 0;
}
