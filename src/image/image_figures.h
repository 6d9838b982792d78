#pragma once

#include "image/hex_record_lines.h"
#include "image/image_formats.h"
#include "image/memory_image.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

namespace corvanel::image {

// CRC-32 as Ethernet defines it (reflected polynomial 0xEDB88320, initial
// and final inversion), computed by zlib. Pass the previous result as `crc` to go on
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
    QByteArray sha256;                  // 32 bytes; toHex() for display
    std::optional<StartAddress> start;  // where the image says its program starts
    bool startSent = false;             // whether a record of it goes out with the data
    QString note;                       // how the file was read, when not the usual way
    QList<AddressRange> headersLeftOut; // ELF headers a segment held, not sent
};

ImageFigures computeFigures(Format format, const HexRecordLines &lines);
// The same for an image sent as its file has it, in `recordCount` lines.
ImageFigures computeFigures(Format format, const MemoryImage &image, qint64 recordCount);

// What --info prints: format, records, data bytes, CRC-32 and SHA-256 of the
// data in address order, the start address (and whether it is sent) when the
// image has one, a note on how it was read when there is one, where an ELF
// file's headers would have gone (never sent), address ranges.
// The JSON names the image as given ("-" for standard input).
QString infoText(const QString &imagePath, const ImageFigures &figures);
QByteArray infoJson(const QString &imagePath, const ImageFigures &figures);

} // namespace corvanel::image
