// The kind of a received message and the split of file and image messages: whatever the
// bytes, the fields lie inside the message and the rules on the first separator hold.

#include "fuzzcheck.h"
#include "protocol.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray message = QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const tavrel::Kind kind = tavrel::incomingKind(message);
    if (kind != tavrel::Kind::File && kind != tavrel::Kind::Image && kind != tavrel::Kind::OtherFile)
        return 0;
    const tavrel::FileParts parts = tavrel::splitFileMessage(message, kind == tavrel::Kind::Image);
    if (parts.status != tavrel::FileParts::Ok)
        return 0;
    const qsizetype nameEnd = tavrel::kFilePrefixSize + parts.name.size();
    // The name ends at the first separator, which begins no later than offset 200.
    check(nameEnd <= tavrel::kMaxFirstSeparatorOffset && !parts.name.contains(tavrel::separator()) &&
          message.mid(nameEnd, tavrel::kSeparatorSize) == tavrel::separator());
    // The data is the tail of the message.
    check(message.endsWith(parts.data));
    const qsizetype fields = parts.name.size() + parts.sender.size() + parts.data.size();
    const int separators = kind == tavrel::Kind::Image ? 2 : 1;
    check(tavrel::kFilePrefixSize + fields + separators * tavrel::kSeparatorSize == message.size());
    return 0;
}
