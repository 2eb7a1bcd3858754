// Uploads as the server reads them: the path ends at the first separator, the contents
// are the rest, and a name the server would store is one that every client can receive
// and show on one line.

#include "chattext.h"
#include "protocol.h"
#include "requests.h"
#include "sharedfiles.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::optional<tavrel::UploadFields> fields = tavrel::parseUpload(message);
    if (!fields)
        return 0;
    const QByteArray path = fields->path.toUtf8();
    if (fields->path.contains(QLatin1String(tavrel::kSeparatorText)) || !message.endsWith(fields->contents))
        std::abort();
    if (QString::fromUtf8(message.mid(tavrel::kFilePrefixSize)).toUtf8() ==
            message.mid(tavrel::kFilePrefixSize) &&
        tavrel::fileMessage(fields->path, fields->contents) != message)
        std::abort();
    QString name;
    if (tavrel::server::FileStore::isServableName(fields->path, &name)) {
        const QByteArray bytes = name.toUtf8();
        if (name.isEmpty() || bytes.size() > tavrel::server::kMaxServedNameBytes || name.contains(u'/') ||
            name.contains(u'\\') || !tavrel::server::isDisplaySafe(name) ||
            name.contains(QLatin1String(tavrel::kSeparatorText)))
            std::abort();
    }
    return 0;
}
