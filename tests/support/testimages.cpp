#include "testimages.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>

namespace testimages {

namespace {

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    const QByteArray body = QByteArray(type) + data;
    quint32 crc = 0xffffffffu;
    for (const char byte : body) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return bigEndian(quint32(data.size())) + body + bigEndian(~crc);
}

// A zlib stream of n zero bytes: one block of fixed Huffman codes holding a literal zero and
// then copies of 258 bytes at distance 1. Deflate packs bits from the least significant
// end, Huffman codes with their first bit first.
QByteArray zlibZeros(quint64 n)
{
    QByteArray out("\x78\x01");
    quint64 acc = 0;
    int bits = 0;
    const auto put = [&](quint32 value, int length) {
        acc |= quint64(value) << bits;
        for (bits += length; bits >= 8; bits -= 8, acc >>= 8)
            out += char(acc & 0xff);
    };
    const auto code = [&](quint32 value, int length) {
        quint32 reversed = 0;
        for (int i = 0; i < length; ++i)
            reversed |= ((value >> i) & 1u) << (length - 1 - i);
        put(reversed, length);
    };
    put(0b011, 3); // the last block, fixed codes
    code(0x30, 8); // literal 0
    for (quint64 i = 0; i < (n - 1) / 258; ++i) {
        code(0xc5, 8); // length 258
        code(0, 5);    // distance 1
    }
    for (quint64 i = 0; i < (n - 1) % 258; ++i)
        code(0x30, 8);
    code(0, 7); // end of block
    put(0, 7);  // to the byte boundary
    return out + bigEndian((quint32(n % 65521) << 16) | 1u);
}

} // namespace

QByteArray smallPng(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb(x * 40, y * 40, (x ^ y) * 20));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

QByteArray blackGreyPng(int width, int height)
{
    const QByteArray header =
        bigEndian(quint32(width)) + bigEndian(quint32(height)) + QByteArray("\x08\x00\x00\x00\x00", 5);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) +
           chunk("IDAT", zlibZeros(quint64(width + 1) * quint64(height))) + chunk("IEND", QByteArray());
}

} // namespace testimages
