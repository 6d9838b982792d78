#pragma once

#include "engine/line_source.h"
#include "image/memory_image.h"

#include <QByteArray>

#include <vector>

namespace corvanel::image {

// A memory image as the Intel HEX lines the bootloader takes, one per
// datagram, record for record what `objcopy -O ihex` writes for the same data
// (but for its start address record, which is never sent): data records,
// address records wherever the upper address bits change, and ":00000001FF"
// last. Below 1 MiB, until a 04 record has been needed, the address records
// are extended segment addresses (02, a multiple of 64 KiB); from the first
// data at or above 1 MiB on they are extended linear addresses (04), after an
// 02 record of 0 that clears the segment for readers that add the two.
// Records cover each segment of the image in turn (an ELF section, a run of
// records an S-record file has at consecutive addresses, a binary file whole)
// and skip gaps; each segment is cut at every 64 KiB boundary, so no record
// crosses one, and within a piece of at most 64 KiB the records hold
// `recordBytes` bytes each, the last fewer. So a record starts afresh at each
// section, as objcopy's do.
//
// Lines are made on demand: only one entry per 64 KiB piece is kept, so a
// million-line image costs kilobytes beyond its data. The image's buffers are
// shared, not copied.
class HexRecordLines : public LineSource {
public:
    static constexpr int kDefaultRecordBytes = 16;
    static constexpr int kMaxRecordBytes = 255;
    static constexpr int kRecordOverhead = 5; // count, two offset bytes, type, checksum
    // ':' and the hex digits of the longest record.
    static constexpr int kMaxLineLength = 1 + 2 * (kRecordOverhead + kMaxRecordBytes);

    // `recordBytes` outside 1 to 255 is taken as the nearest of the two;
    // callers check the user's choice before.
    explicit HexRecordLines(MemoryImage image, int recordBytes = kDefaultRecordBytes);

    // All lines, the end-of-file record included.
    qint64 count() const override { return count_; }

    // Line `number` (1 to count()): upper-case hex, no line end. Empty for
    // any other number.
    QByteArray line(qint64 number) const override;

    const MemoryImage &image() const { return image_; }
    int recordBytes() const { return recordBytes_; }

private:
    // The address records that open a piece.
    enum class Opening : quint8 {
        None,
        Segment,            // 02: the piece's 64 KiB block, below 1 MiB
        Linear,             // 04: its upper 16 address bits
        ClearSegmentLinear, // 02 of 0, then 04
    };
    // Consecutive addresses within one 64 KiB block, and the lines they give.
    struct Piece {
        qint64 firstLine = 0;
        quint32 address = 0;
        quint32 size = 0; // at most 64 KiB
        Opening opening = Opening::None;
    };

    static int openingRecords(Opening opening);
    QByteArray addressRecord(const Piece &piece, qint64 index) const;

    QByteArray dataRecord(quint32 address, int size) const;

    MemoryImage image_;
    int recordBytes_;
    std::vector<Piece> pieces_;
    qint64 count_ = 0;
};

} // namespace corvanel::image
