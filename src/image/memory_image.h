#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QtGlobal>

#include <variant>
#include <vector>

namespace corvanel::image {

// The first address past the 32-bit address space.
inline constexpr quint64 kAddressSpaceEnd = quint64(1) << 32;

// A refusal, in words an operator can act on: it names the line, the program
// header or the address, and says what is wrong.
struct ImageError {
    QString text;
};

// Where a segment's bytes came from, so that an error can point at them.
struct Origin {
    enum class Kind { IntelHexLine, SRecordLine, ElfSection, ElfProgramHeader, BinaryFile };

    Kind kind = Kind::BinaryFile;
    qint64 line = 0;       // text formats: first line, counted from 1
    qint64 lastLine = 0;   // text formats: last line (records merged into one segment)
    int index = -1;        // ELF: in the section or program header table
    QString name;          // ELF: the section's name
    qint64 fileOffset = 0; // ELF and binary: file offset of the first byte

    // "line 12", "lines 12 to 40", "ELF section .data (number 3, file offset
    // 0x1000)", "ELF program header 2 (file offset 0x1000)", "file offset 0x0".
    QString describe() const;
};

// Bytes at consecutive addresses; the Intel HEX records made from an image
// start afresh at each segment. The bytes are a view into `storage`, which
// is usually shared: the file buffer (binary, ELF) or one decoded buffer for
// all records (Intel HEX, S-record); nothing is copied per segment.
struct Segment {
    quint32 address = 0;
    QByteArray storage;
    qsizetype offset = 0; // of the first byte in storage
    qsizetype size = 0;
    Origin origin;

    QByteArrayView bytes() const { return QByteArrayView(storage).sliced(offset, size); }
    quint64 end() const { return quint64(address) + quint64(size); } // one past the last
};

// A run of consecutive addresses holding data; `size` bytes from `start`.
struct AddressRange {
    quint32 start = 0;
    qint64 size = 0;

    quint32 last() const { return quint32(quint64(start) + quint64(size) - 1); }
    bool operator==(const AddressRange &) const = default;
};

// Data bytes at 32-bit addresses: sorted segments that never overlap, never
// empty. Made only by build(), so every instance holds these properties.
class MemoryImage {
public:
    // Sorts the pieces by address and refuses two pieces that write one
    // address (naming both origins and the address) and an image with no data
    // bytes. Pieces of size 0 are dropped; pieces are kept as they are, each
    // with its origin. A piece must lie within its storage and below 4 GiB;
    // the readers check that before they get here.
    static std::variant<MemoryImage, ImageError> build(std::vector<Segment> pieces);

    const std::vector<Segment> &segments() const { return segments_; }
    qint64 byteCount() const { return byteCount_; }

    // The runs of consecutive addresses, in address order; adjacent segments
    // form one run.
    QList<AddressRange> ranges() const;

    // The index of the segment holding `address`, or -1.
    qsizetype segmentIndexAt(quint32 address) const;

    // The bytes of [address, address + size); empty unless every address in
    // it holds data.
    QByteArray read(quint32 address, qint64 size) const;

    // Same bytes at the same addresses, however they are split into segments.
    bool operator==(const MemoryImage &other) const;

private:
    MemoryImage() = default;

    std::vector<Segment> segments_;
    qint64 byteCount_ = 0;
};

// "0x0800F000": the form addresses take in messages.
QString hexAddress(quint64 address);

// The refusal of two pieces of data that both write `address`.
ImageError overlapError(quint32 address, const Origin &first, const Origin &second);

} // namespace corvanel::image
