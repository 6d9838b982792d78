#include "image/image_figures.h"

#include <QCryptographicHash>

#include <array>

namespace corvanel::image {

namespace {

constexpr quint32 kCrcPolynomial = 0xEDB88320u;
constexpr int kSlices = 8; // bytes taken per step

// kCrcTables[k][b]: the CRC of byte b followed by k zero bytes. Eight tables
// let eight bytes go per step: a 16 MB image in milliseconds.
using CrcTables = std::array<std::array<quint32, 256>, kSlices>;

constexpr CrcTables makeCrcTables()
{
    CrcTables t{};
    for (quint32 n = 0; n < 256; ++n) {
        quint32 c = n;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? kCrcPolynomial ^ (c >> 1) : c >> 1;
        t[0][n] = c;
    }
    for (int k = 1; k < kSlices; ++k) {
        for (quint32 n = 0; n < 256; ++n)
            t[size_t(k)][n] = (t[size_t(k) - 1][n] >> 8) ^ t[0][t[size_t(k) - 1][n] & 0xffu];
    }
    return t;
}
constexpr CrcTables kCrcTables = makeCrcTables();

} // namespace

quint32 crc32(QByteArrayView bytes, quint32 crc)
{
    quint32 state = ~crc;
    const auto *p = reinterpret_cast<const quint8 *>(bytes.data());
    qsizetype left = bytes.size();
    const auto &t = kCrcTables;
    while (left >= kSlices) {
        // Assembled byte by byte: any alignment, any host byte order.
        const quint32 low = state ^ (quint32(p[0]) | quint32(p[1]) << 8 | quint32(p[2]) << 16 |
                                     quint32(p[3]) << 24);
        state = t[7][low & 0xff] ^ t[6][(low >> 8) & 0xff] ^ t[5][(low >> 16) & 0xff] ^
                t[4][low >> 24] ^ t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += kSlices;
        left -= kSlices;
    }
    while (left-- > 0)
        state = t[0][(state ^ *p++) & 0xffu] ^ (state >> 8);
    return ~state;
}

ImageFigures computeFigures(Format format, const HexRecordLines &lines)
{
    return computeFigures(format, lines.image(), lines.count());
}

ImageFigures computeFigures(Format format, const MemoryImage &image, qint64 recordCount)
{
    ImageFigures figures;
    figures.formatName = formatName(format);
    figures.recordCount = recordCount;
    figures.ranges = image.ranges();
    figures.dataBytes = image.byteCount();
    QCryptographicHash sha(QCryptographicHash::Sha256);
    quint32 crc = 0;
    for (const Segment &segment : image.segments()) {
        crc = crc32(segment.bytes(), crc);
        sha.addData(segment.bytes());
    }
    figures.crc32 = crc;
    figures.sha256 = sha.result();
    return figures;
}

} // namespace corvanel::image
