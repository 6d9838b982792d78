// The two text formats: Intel HEX and Motorola S-record. Both decode every
// data byte into one buffer that all their segments share.

#include "image/hex_check.h"
#include "image/hex_record_lines.h"
#include "image/image_formats.h"
#include "image/intel_hex.h"
#include "image/line_cursor.h"

#include <algorithm>
#include <array>

namespace corvanel::image {

namespace {

ImageError lineError(qint64 line, const QString &what)
{
    return ImageError{QStringLiteral("line %1: %2").arg(line).arg(what)};
}

// How records are joined into segments.
enum class Joining {
    // Runs of consecutive addresses, whatever the order of the file: the
    // fewest segments (Intel HEX, which goes out as its lines).
    ByAddress,
    // What objcopy makes a section of: a run of records each of which
    // starts where the one before it in the file ended; any record that does
    // not, even one without data, starts another (S-record, whose converted
    // records then start afresh where objcopy's do).
    InFileOrder,
};

// Decoded data and the records' places in it. A record costs 24 bytes here
// until build() joins records into segments, so a million-record file in
// address order never holds a million segments.
class PieceCollector {
public:
    PieceCollector(Origin::Kind kind, qsizetype capacity) : kind_(kind) { data_.reserve(capacity); }

    // `bytes` holds at most 255 bytes, as a record does.
    void add(quint32 address, QByteArrayView bytes, qint64 line)
    {
        if (runEnd_ != address)
            runHasData_ = false; // another run starts here
        runEnd_ = quint64(address) + quint64(bytes.size());
        if (bytes.isEmpty())
            return;
        records_.push_back({address, quint16(bytes.size()), runHasData_, data_.size(), line});
        runHasData_ = true;
        data_.append(bytes);
    }

    // Refuses two records that write one address (by their lines) and joins
    // the records into segments.
    std::variant<MemoryImage, ImageError> build(Joining joining)
    {
        const auto byAddress = [](const Record &a, const Record &b) {
            return a.address < b.address;
        };
        std::vector<Record> copy;
        std::vector<Record> *sorted = &records_;
        if (!std::is_sorted(records_.begin(), records_.end(), byAddress)) {
            if (joining == Joining::InFileOrder) {
                copy = records_;
                sorted = &copy;
            }
            std::stable_sort(sorted->begin(), sorted->end(), byAddress);
        }
        for (size_t i = 1; i < sorted->size(); ++i) {
            const Record &prev = (*sorted)[i - 1];
            const Record &cur = (*sorted)[i];
            if (prev.end() > cur.address)
                return overlapError(cur.address, origin(prev), origin(cur));
        }
        const std::vector<Record> &order = joining == Joining::ByAddress ? *sorted : records_;
        const auto joins = [joining](const Record &prev, const Record &cur) {
            return joining == Joining::ByAddress ? prev.end() == cur.address : cur.continuesRun;
        };
        std::vector<Segment> segments;
        for (size_t first = 0; first < order.size();) {
            size_t last = first + 1;
            while (last < order.size() && joins(order[last - 1], order[last]))
                ++last;
            segments.push_back(join(order, first, last));
            first = last;
        }
        return MemoryImage::build(std::move(segments));
    }

private:
    struct Record {
        quint32 address;
        quint16 size;
        bool continuesRun; // in the file, starts where the one before it ended
        qsizetype offset;  // in data_
        qint64 line;

        quint64 end() const { return quint64(address) + size; }
    };

    Origin origin(const Record &record) const
    {
        Origin o;
        o.kind = kind_;
        o.line = record.line;
        o.lastLine = record.line;
        return o;
    }

    // One segment for records [first, last) of `order`: a view of data_ when
    // they lie there back to back (records in file order), else a copy.
    Segment join(const std::vector<Record> &order, size_t first, size_t last) const
    {
        Segment segment;
        segment.address = order[first].address;
        segment.origin = origin(order[first]);
        bool inPlace = true;
        for (size_t i = first; i < last; ++i) {
            const Record &r = order[i];
            inPlace = inPlace && r.offset == order[first].offset + segment.size;
            segment.size += r.size;
            segment.origin.line = std::min(segment.origin.line, r.line);
            segment.origin.lastLine = std::max(segment.origin.lastLine, r.line);
        }
        if (inPlace) {
            segment.storage = data_; // shared
            segment.offset = order[first].offset;
            return segment;
        }
        segment.storage.reserve(segment.size);
        for (size_t i = first; i < last; ++i)
            segment.storage.append(QByteArrayView(data_).sliced(order[i].offset, order[i].size));
        return segment;
    }

    Origin::Kind kind_;
    QByteArray data_;
    std::vector<Record> records_;
    quint64 runEnd_ = ~quint64(0); // where the run of the record before ends
    bool runHasData_ = false;
};

std::variant<LoadedImage, ImageError> loaded(Format format,
                                             std::variant<MemoryImage, ImageError> built,
                                             std::optional<StartAddress> start)
{
    if (auto *error = std::get_if<ImageError>(&built))
        return std::move(*error);
    return LoadedImage{format, std::get<MemoryImage>(std::move(built)), start, {}, {}};
}

QString pastAddressSpace(quint64 start, qint64 size)
{
    return QStringLiteral("%1 data bytes at %2 run past the end of the 32-bit address space")
        .arg(size)
        .arg(hexAddress(start));
}

} // namespace

std::variant<LoadedImage, ImageError> readIntelHex(const QByteArray &content)
{
    constexpr quint32 kSegmentSize = 0x10000;
    const QByteArrayView records = intelHexRecords(content);
    // Each data byte takes two hex digits, so this bounds the decoded size.
    PieceCollector collector(Origin::Kind::IntelHexLine, records.size() / 2);
    quint32 base = 0;
    bool segmented = false; // an 02 record: addresses wrap within the 64 KiB segment
    qint64 endLine = 0;
    std::optional<StartAddress> start;

    LineCursor lines(records);
    QByteArrayView text;
    while (lines.next(text)) {
        const qint64 number = lines.number();
        if (endLine > 0) {
            if (isBlankLine(text))
                continue; // refused with the line that is not blank after it
            return lineError(number, afterEndOfFile(endLine));
        }
        if (text.isEmpty())
            return lineError(number, QStringLiteral("the line is blank"));
        // Checked first: the record reader would decode all of an endless line.
        if (text.size() > HexRecordLines::kMaxLineLength) {
            return lineError(number, QStringLiteral("%1 characters, more than the %2 of the "
                                                    "longest record")
                                         .arg(text.size())
                                         .arg(HexRecordLines::kMaxLineLength));
        }
        QString why;
        const auto record = parseHexRecord(text, ':', &why);
        if (!record)
            return lineError(number, why);
        const auto field = [&record](int i) { return quint32(quint8(record->data[i])); };

        switch (record->type) {
        case hexrecord::kData: {
            const QByteArrayView bytes(record->data);
            if (segmented) {
                const qsizetype first =
                    std::min<qsizetype>(bytes.size(), kSegmentSize - record->offset);
                collector.add(base + record->offset, bytes.first(first), number);
                if (first < bytes.size())
                    collector.add(base, bytes.sliced(first), number);
            } else {
                const quint64 start = quint64(base) + record->offset;
                if (start + quint64(bytes.size()) > kAddressSpaceEnd)
                    return lineError(number, pastAddressSpace(start, bytes.size()));
                collector.add(quint32(start), bytes, number);
            }
            break;
        }
        case hexrecord::kEndOfFile:
            endLine = number;
            break;
        case hexrecord::kExtendedSegmentAddress:
            base = ((field(0) << 8) | field(1)) << 4;
            segmented = true;
            break;
        case hexrecord::kExtendedLinearAddress:
            base = ((field(0) << 8) | field(1)) << 16;
            segmented = false;
            break;
        case hexrecord::kStartSegmentAddress:
        case hexrecord::kStartLinearAddress:
            start = StartAddress{record->type == hexrecord::kStartLinearAddress
                                     ? StartAddress::Kind::IntelHexLinear
                                     : StartAddress::Kind::IntelHexSegment,
                                 field(0) << 24 | field(1) << 16 | field(2) << 8 | field(3)};
            break;
        default:
            break;
        }
    }
    if (endLine == 0) {
        return ImageError{QStringLiteral("no end-of-file record (:00000001FF) after line %1: the "
                                         "file may be cut short")
                              .arg(lines.number())};
    }
    return loaded(Format::IntelHex, collector.build(Joining::ByAddress), start);
}

std::variant<LoadedImage, ImageError> readSRecord(const QByteArray &content)
{
    // Address bytes of S0 to S9; S4 does not exist.
    constexpr std::array<int, 10> kAddressBytes{2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    constexpr int kMaxBytes = 256; // the count byte and up to 255 after it

    PieceCollector collector(Origin::Kind::SRecordLine, content.size() / 2);
    qint64 dataRecords = 0;
    qint64 endLine = 0;
    int lastType = -1;
    std::optional<StartAddress> start;

    QByteArrayView body = content;
    if (body.startsWith(kUtf8ByteOrderMark))
        body = body.sliced(kUtf8ByteOrderMark.size());
    LineCursor lines(body);
    QByteArrayView text;
    while (lines.next(text)) {
        const qint64 number = lines.number();
        if (endLine > 0) {
            return lineError(number,
                             QStringLiteral("a line after the end record (S7, S8 or S9) on line %1")
                                 .arg(endLine));
        }
        if (text.isEmpty())
            return lineError(number, QStringLiteral("the line is blank"));
        if (text.size() < 2 || text[0] != 'S' || text[1] < '0' || text[1] > '9' || text[1] == '4')
            return lineError(number, QStringLiteral("not an S-record (S0 to S3, S5 to S9)"));
        const int type = text[1] - '0';
        const QByteArrayView digits = text.sliced(2);
        for (qsizetype i = 0; i < digits.size(); ++i) {
            if (hexDigitValue(digits[i]) < 0)
                return lineError(number, QStringLiteral("column %1 is not a hex digit").arg(i + 3));
        }
        if (digits.size() < 2)
            return lineError(number, QStringLiteral("no byte count"));
        const int count = hexDigitValue(digits[0]) * 16 + hexDigitValue(digits[1]);
        if (digits.size() != 2 * (count + 1)) {
            return lineError(number,
                             QStringLiteral("byte count %1 (%2) but %3 hex digits follow it")
                                 .arg(hexByteText(count))
                                 .arg(count)
                                 .arg(digits.size() - 2));
        }
        const int addressBytes = kAddressBytes[size_t(type)];
        if (count < addressBytes + 1) {
            return lineError(number, QStringLiteral("an S%1 record needs at least %2 bytes after "
                                                    "the count, this one has %3")
                                         .arg(type)
                                         .arg(addressBytes + 1)
                                         .arg(count));
        }
        std::array<quint8, kMaxBytes> bytes{};
        int sum = 0;
        for (int i = 0; i <= count; ++i) {
            bytes[size_t(i)] =
                quint8(hexDigitValue(digits[2 * i]) * 16 + hexDigitValue(digits[2 * i + 1]));
            if (i < count)
                sum += bytes[size_t(i)];
        }
        const int stored = bytes[size_t(count)];
        const int expected = ~sum & 0xff;
        if (stored != expected) {
            return lineError(number, QStringLiteral("checksum %1 is wrong, it should be %2")
                                         .arg(hexByteText(stored), hexByteText(expected)));
        }
        quint32 address = 0;
        for (int i = 1; i <= addressBytes; ++i)
            address = (address << 8) | bytes[size_t(i)];
        const int dataSize = count - addressBytes - 1;
        const QByteArrayView data(reinterpret_cast<const char *>(bytes.data()) + 1 + addressBytes,
                                  dataSize);

        switch (type) {
        case 0: // header: free text
            break;
        case 1:
        case 2:
        case 3:
            if (quint64(address) + quint64(dataSize) > kAddressSpaceEnd)
                return lineError(number, pastAddressSpace(address, dataSize));
            collector.add(address, data, number);
            ++dataRecords;
            break;
        case 5:
        case 6:
            if (dataSize != 0)
                return lineError(number, QStringLiteral("a record count with data bytes"));
            if (address != quint64(dataRecords)) {
                return lineError(number,
                                 QStringLiteral("the record count says %1 data records, but %2 "
                                                "came before it")
                                     .arg(address)
                                     .arg(dataRecords));
            }
            break;
        default: // 7, 8, 9: the end, with the start address
            if (dataSize != 0)
                return lineError(number, QStringLiteral("an end record with data bytes"));
            endLine = number;
            start = StartAddress{StartAddress::Kind::SRecord, address};
            break;
        }
        lastType = type;
    }
    // Tools leave the end record out when there is no start address; a
    // record count last, checked above, still shows the file is whole.
    if (endLine == 0 && lastType != 5 && lastType != 6) {
        return ImageError{QStringLiteral("no end record (S7, S8 or S9) and no record count (S5, "
                                         "S6) last, after line %1: the file may be cut short")
                              .arg(lines.number())};
    }
    return loaded(Format::SRecord, collector.build(Joining::InFileOrder), start);
}

} // namespace corvanel::image
