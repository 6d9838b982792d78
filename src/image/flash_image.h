#pragma once

#include "engine/line_source.h"
#include "image/hex_check.h"
#include "image/image_figures.h"
#include "image/image_formats.h"

#include <QList>
#include <QString>

#include <optional>
#include <variant>

namespace corvanel::image {

// How the flasher reads its image.
struct ImageOptions {
    bool check = true;                   // Intel HEX: refuse a file that is not sound
    std::optional<image::Format> format; // forced; else detected from the content
    std::optional<quint32> baseAddress;  // where a binary image goes
    int recordBytes = image::HexRecordLines::kDefaultRecordBytes;
    image::SectionFilter sections; // ELF: sections left out or kept
};

// An image ready to send, and what it holds.
struct FlashImage {
    SharedLines lines; // never null once loaded
    image::Format format = image::Format::IntelHex;
    // Of the data bytes; empty for an unchecked Intel HEX file that cannot be
    // read as one.
    std::optional<image::ImageFigures> figures;
};

// Why an image is refused: the message, and for a damaged Intel HEX file
// every bad line.
struct ImageRefusal {
    QString error;
    QList<image::HexProblem> problems;
};

// Reads IMAGE ("-": standard input) for sending. Intel HEX goes out line by
// line as the file has it (checked first unless told not to), without a
// leading UTF-8 byte-order mark and, when checked, without the blank lines,
// spaces and DOS end-of-file byte after its end-of-file record; every other
// format is converted to Intel HEX records made as they are sent.
std::variant<FlashImage, ImageRefusal> loadFlashImage(const QString &path,
                                                      const ImageOptions &options);

} // namespace corvanel::image
