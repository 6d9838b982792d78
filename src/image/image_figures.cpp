#include "image/image_figures.h"

#include <QCryptographicHash>

#include <zlib.h>

namespace corvanel::image {

quint32 crc32(QByteArrayView bytes, quint32 crc)
{
    // zlib's: already a dependency of Qt Core, and its braided tables beat
    // anything simple. It takes no bytes at a null pointer for a fresh start.
    if (bytes.isEmpty())
        return crc;
    return quint32(
        ::crc32_z(crc, reinterpret_cast<const Bytef *>(bytes.data()), z_size_t(bytes.size())));
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
