#pragma once

#include "image/hex_record_lines.h"
#include "image/image_formats.h"
#include "image/memory_image.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

namespace corvanel::image {

// CRC-32 as zlib and Ethernet compute it (reflected polynomial 0xEDB88320,
// initial and final inversion). Pass the previous result as `crc` to go on
// over more bytes; crc32("123456789") is 0xCBF43926.
quint32 crc32(QByteArrayView bytes, quint32 crc = 0);

// What --info and the reports show about an image. The checksums cover the
// data bytes in address order, gaps left out, so an image has the same
// figures in every format.
struct ImageFigures {
    QString formatName;
    qint64 recordCount = 0; // the lines sent, the end-of-file record included
    QList<AddressRange> ranges;
    qint64 dataBytes = 0;
    quint32 crc32 = 0;
    QByteArray sha256; // 32 bytes; toHex() for display
};

ImageFigures computeFigures(Format format, const HexRecordLines &lines);
// The same for an image sent as its file has it, in `recordCount` lines.
ImageFigures computeFigures(Format format, const MemoryImage &image, qint64 recordCount);

} // namespace corvanel::image
