#include "rasterformat.h"

namespace tavrel {

QByteArray rasterFormat(QByteArrayView head)
{
    if (head.startsWith(QByteArrayView("\x89PNG\r\n\x1a\n", 8)))
        return QByteArrayLiteral("png");
    if (head.startsWith(QByteArrayView("\xff\xd8\xff", 3)))
        return QByteArrayLiteral("jpeg");
    if (head.startsWith("GIF87a") || head.startsWith("GIF89a"))
        return QByteArrayLiteral("gif");
    if (head.startsWith("BM"))
        return QByteArrayLiteral("bmp");
    if (head.size() >= kRasterSignatureBytes && head.startsWith("RIFF") && head.sliced(8, 4) == "WEBP")
        return QByteArrayLiteral("webp");
    return QByteArray();
}

} // namespace tavrel
