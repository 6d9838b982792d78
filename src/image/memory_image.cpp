#include "image/memory_image.h"

#include <algorithm>

namespace corvanel::image {

QString hexAddress(quint64 address)
{
    return QStringLiteral("0x") +
           QString::number(address, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

ImageError overlapError(quint32 address, const Origin &first, const Origin &second)
{
    return ImageError{QStringLiteral("address %1 is written twice: by %2 and by %3")
                          .arg(hexAddress(address), first.describe(), second.describe())};
}

QString Origin::describe() const
{
    switch (kind) {
    case Kind::IntelHexLine:
    case Kind::SRecordLine:
        if (lastLine > line)
            return QStringLiteral("lines %1 to %2").arg(line).arg(lastLine);
        return QStringLiteral("line %1").arg(line);
    case Kind::ElfSection:
        return QStringLiteral("ELF section %1 (number %2, file offset 0x%3)")
            .arg(name)
            .arg(index)
            .arg(QString::number(fileOffset, 16).toUpper());
    case Kind::ElfProgramHeader:
        return QStringLiteral("ELF program header %1 (file offset 0x%2)")
            .arg(index)
            .arg(QString::number(fileOffset, 16).toUpper());
    case Kind::BinaryFile:
        break;
    }
    return QStringLiteral("file offset 0x%1").arg(QString::number(fileOffset, 16).toUpper());
}

std::variant<MemoryImage, ImageError> MemoryImage::build(std::vector<Segment> pieces)
{
    std::erase_if(pieces, [](const Segment &s) { return s.size <= 0; });
    if (pieces.empty())
        return ImageError{QStringLiteral("the image holds no data bytes")};

    const auto byAddress = [](const Segment &a, const Segment &b) { return a.address < b.address; };
    if (!std::is_sorted(pieces.begin(), pieces.end(), byAddress))
        std::stable_sort(pieces.begin(), pieces.end(), byAddress);

    // Sorted by start, any overlap shows between neighbours.
    for (size_t i = 1; i < pieces.size(); ++i) {
        const Segment &prev = pieces[i - 1];
        const Segment &cur = pieces[i];
        if (prev.end() > cur.address)
            return overlapError(cur.address, prev.origin, cur.origin);
    }

    MemoryImage image;
    for (const Segment &s : pieces)
        image.byteCount_ += s.size;
    image.segments_ = std::move(pieces);
    return image;
}

QList<AddressRange> MemoryImage::ranges() const
{
    QList<AddressRange> out;
    for (const Segment &s : segments_) {
        if (!out.isEmpty() && quint64(out.last().start) + quint64(out.last().size) == s.address)
            out.last().size += s.size;
        else
            out.append({s.address, s.size});
    }
    return out;
}

qsizetype MemoryImage::segmentIndexAt(quint32 address) const
{
    // The last segment that starts at or below the address.
    const auto after = std::upper_bound(segments_.begin(), segments_.end(), address,
                                        [](quint32 a, const Segment &s) { return a < s.address; });
    if (after == segments_.begin())
        return -1;
    const auto index = (after - segments_.begin()) - 1;
    return segments_[size_t(index)].end() > address ? index : -1;
}

QByteArray MemoryImage::read(quint32 address, qint64 size) const
{
    if (size <= 0 || quint64(address) + quint64(size) > kAddressSpaceEnd)
        return {};
    QByteArray out;
    out.reserve(size);
    qsizetype index = segmentIndexAt(address);
    quint64 at = address;
    while (out.size() < size) {
        if (index < 0 || size_t(index) >= segments_.size())
            return {};
        const Segment &s = segments_[size_t(index)];
        if (s.address > at) // a gap
            return {};
        const qint64 skip = qint64(at - s.address);
        const qint64 take = std::min<qint64>(s.size - skip, size - out.size());
        out.append(s.bytes().sliced(skip, take));
        at += quint64(take);
        ++index;
    }
    return out;
}

bool MemoryImage::operator==(const MemoryImage &other) const
{
    const QList<AddressRange> mine = ranges();
    if (mine != other.ranges())
        return false;
    for (const AddressRange &r : mine) {
        if (read(r.start, r.size) != other.read(r.start, r.size))
            return false;
    }
    return true;
}

} // namespace corvanel::image
