#include "image/hex_record_lines.h"

#include "image/intel_hex.h"

#include <algorithm>

namespace corvanel::image {

namespace {

constexpr quint64 kBlockSize = 0x10000;  // what a record's 16-bit offset reaches
constexpr quint32 kSegmentBlocks = 0x10; // 02 records reach the first 1 MiB
constexpr char kDigits[] = "0123456789ABCDEF";

// Writes a record's hex digits into a buffer sized for them, summing the bytes
// for the checksum.
class RecordWriter {
public:
    RecordWriter(quint8 type, quint16 offset, int dataSize)
        : line_(1 + 2 * (HexRecordLines::kRecordOverhead + dataSize), Qt::Uninitialized),
          out_(line_.data())
    {
        *out_++ = ':';
        put(quint8(dataSize));
        put(quint8(offset >> 8));
        put(quint8(offset));
        put(type);
    }

    void put(quint8 byte)
    {
        *out_++ = kDigits[byte >> 4];
        *out_++ = kDigits[byte & 0xf];
        sum_ = quint8(sum_ + byte);
    }

    void put(QByteArrayView bytes)
    {
        for (const char c : bytes)
            put(quint8(c));
    }

    QByteArray finish()
    {
        put(quint8(-sum_));
        return std::move(line_);
    }

private:
    QByteArray line_;
    char *out_;
    quint8 sum_ = 0;
};

} // namespace

int HexRecordLines::openingRecords(Opening opening)
{
    return opening == Opening::None ? 0 : opening == Opening::ClearSegmentLinear ? 2 : 1;
}

HexRecordLines::HexRecordLines(MemoryImage image, int recordBytes)
    : image_(std::move(image)), recordBytes_(std::clamp(recordBytes, 1, kMaxRecordBytes))
{
    // The bootloader's upper address bits before any address record: block
    // 0. The pieces come in address order, so the blocks below 1 MiB, which
    // take 02 records, all come before those that take 04.
    quint32 block = 0;
    qint64 lines = 0;
    for (const Segment &segment : image_.segments()) {
        quint64 at = segment.address;
        const quint64 end = segment.end();
        while (at < end) {
            const quint64 pieceEnd = std::min(end, (at / kBlockSize + 1) * kBlockSize);
            Piece piece;
            piece.firstLine = lines;
            piece.address = quint32(at);
            piece.size = quint32(pieceEnd - at);
            const quint32 pieceBlock = quint32(at / kBlockSize);
            if (pieceBlock != block) {
                if (pieceBlock < kSegmentBlocks)
                    piece.opening = Opening::Segment;
                else if (block != 0 && block < kSegmentBlocks)
                    piece.opening = Opening::ClearSegmentLinear;
                else
                    piece.opening = Opening::Linear;
                block = pieceBlock;
            }
            lines += openingRecords(piece.opening) + (piece.size + recordBytes_ - 1) / recordBytes_;
            pieces_.push_back(piece);
            at = pieceEnd;
        }
    }
    count_ = lines + 1; // the end-of-file record
}

QByteArray HexRecordLines::line(qint64 number) const
{
    const qint64 index = number - 1;
    if (index < 0 || index >= count_)
        return {};
    if (index == count_ - 1)
        return RecordWriter(hexrecord::kEndOfFile, 0, 0).finish();

    const auto after =
        std::upper_bound(pieces_.begin(), pieces_.end(), index,
                         [](qint64 i, const Piece &piece) { return i < piece.firstLine; });
    const Piece &piece = *(after - 1);
    qint64 local = index - piece.firstLine;
    const int opening = openingRecords(piece.opening);
    if (local < opening)
        return addressRecord(piece, local);
    local -= opening;
    const quint32 address = piece.address + quint32(local * recordBytes_);
    const int size =
        int(std::min<quint32>(quint32(recordBytes_), piece.size - (address - piece.address)));
    return dataRecord(address, size);
}

QByteArray HexRecordLines::addressRecord(const Piece &piece, qint64 index) const
{
    const bool segment = piece.opening == Opening::Segment ||
                         (piece.opening == Opening::ClearSegmentLinear && index == 0);
    // 02 holds the segment in 16-byte paragraphs, 04 the upper 16 bits.
    const quint32 value = piece.opening == Opening::ClearSegmentLinear && index == 0 ? 0
                          : segment ? (piece.address >> 16) << 12
                                    : piece.address >> 16;
    RecordWriter record(
        segment ? hexrecord::kExtendedSegmentAddress : hexrecord::kExtendedLinearAddress, 0, 2);
    record.put(quint8(value >> 8));
    record.put(quint8(value));
    return record.finish();
}

QByteArray HexRecordLines::dataRecord(quint32 address, int size) const
{
    RecordWriter record(hexrecord::kData, quint16(address), size);
    // A record never leaves its segment.
    const Segment &segment = image_.segments()[size_t(image_.segmentIndexAt(address))];
    record.put(segment.bytes().sliced(qsizetype(address - segment.address), size));
    return record.finish();
}

} // namespace corvanel::image
