#include "testimages.h"

#include <QBuffer>
#include <QImage>
#include <QtEndian>

namespace testimages {

namespace {

quint32 crc32(const QByteArray &bytes)
{
    quint32 crc = 0xffffffffu;
    for (const char byte : bytes) {
        crc ^= quint8(byte);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

QByteArray bigEndian(quint32 value)
{
    QByteArray bytes(4, Qt::Uninitialized);
    qToBigEndian(value, bytes.data());
    return bytes;
}

QByteArray chunk(const char *type, const QByteArray &data)
{
    const QByteArray body = QByteArray(type) + data;
    return bigEndian(quint32(data.size())) + body + bigEndian(crc32(body));
}

// Writes deflate bits least significant first; Huffman codes go in reversed.
class BitWriter
{
public:
    void put(quint32 value, int length)
    {
        m_acc |= quint64(value) << m_bits;
        m_bits += length;
        while (m_bits >= 8) {
            m_out += char(m_acc & 0xff);
            m_acc >>= 8;
            m_bits -= 8;
        }
    }
    void putCode(quint32 code, int length)
    {
        quint32 reversed = 0;
        for (int i = 0; i < length; ++i)
            reversed |= ((code >> i) & 1u) << (length - 1 - i);
        put(reversed, length);
    }
    QByteArray finish()
    {
        if (m_bits > 0)
            m_out += char(m_acc & 0xff);
        return m_out;
    }

private:
    QByteArray m_out;
    quint64 m_acc = 0;
    int m_bits = 0;
};

// A zlib stream of n zero bytes: one fixed-Huffman block of a literal zero followed by
// copies of 258 bytes at distance 1.
QByteArray zlibZeros(quint64 n)
{
    BitWriter bits;
    bits.put(1, 1); // last block
    bits.put(1, 2); // fixed Huffman codes
    const quint32 literalZero = 0x30, copy258 = 0xc5;
    bits.putCode(literalZero, 8);
    const quint64 rest = n - 1;
    for (quint64 i = 0; i < rest / 258; ++i) {
        bits.putCode(copy258, 8);
        bits.putCode(0, 5); // distance 1
    }
    for (quint64 i = 0; i < rest % 258; ++i)
        bits.putCode(literalZero, 8);
    bits.putCode(0, 7); // end of block
    const quint32 adler = (quint32(n % 65521) << 16) | 1u;
    return QByteArray("\x78\x01") + bits.finish() + bigEndian(adler);
}

} // namespace

QByteArray smallPng(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            image.setPixel(x, y, qRgb((x * 7 + y) % 256, (y * 13) % 256, (x ^ y) % 256));
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return buffer.data();
}

QByteArray blackGreyPng(int width, int height)
{
    const QByteArray header = bigEndian(quint32(width)) + bigEndian(quint32(height)) +
                              QByteArray("\x08\x00\x00\x00\x00", 5); // 8-bit grey, no interlace
    // Every scanline is a zero filter byte and zero pixels.
    const quint64 raw = quint64(width + 1) * quint64(height);
    return QByteArray("\x89PNG\r\n\x1a\n", 8) + chunk("IHDR", header) + chunk("IDAT", zlibZeros(raw)) +
           chunk("IEND", QByteArray());
}

} // namespace testimages
