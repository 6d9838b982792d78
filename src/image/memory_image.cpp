#include "image/memory_image.h"

#include <algorithm>
#include <cstring>

namespace corvanel::image {

namespace {

bool sameStorage(const Segment &a, const Segment &b)
{
    return a.storage.constData() == b.storage.constData();
}

// One segment for a run of address-adjacent pieces: a wider view when they lie
// back to back in one buffer (records in file order), else a copy.
Segment joinRun(std::vector<Segment>::iterator first, std::vector<Segment>::iterator last)
{
    if (last - first == 1)
        return std::move(*first);
    Segment joined = *first;
    bool contiguous = true;
    for (auto it = first + 1; it != last; ++it) {
        const auto &prev = *(it - 1);
        contiguous =
            contiguous && sameStorage(*first, *it) && it->offset == prev.offset + prev.size;
        joined.size += it->size;
        joined.origin.line = std::min(joined.origin.line, it->origin.line);
        joined.origin.lastLine = std::max(joined.origin.lastLine, it->origin.lastLine);
    }
    if (!contiguous) {
        QByteArray copy(joined.size, Qt::Uninitialized);
        char *out = copy.data();
        for (auto it = first; it != last; ++it) {
            std::memcpy(out, it->storage.constData() + it->offset, size_t(it->size));
            out += it->size;
        }
        joined.storage = copy;
        joined.offset = 0;
    }
    return joined;
}

} // namespace

QString hexAddress(quint64 address)
{
    return QStringLiteral("0x") +
           QString::number(address, 16).toUpper().rightJustified(8, QLatin1Char('0'));
}

QString Origin::describe() const
{
    switch (kind) {
    case Kind::IntelHexLine:
    case Kind::SRecordLine:
        if (lastLine > line)
            return QStringLiteral("lines %1 to %2").arg(line).arg(lastLine);
        return QStringLiteral("line %1").arg(line);
    case Kind::ElfProgramHeader:
        return QStringLiteral("ELF program header %1 (file offset 0x%2)")
            .arg(programHeader)
            .arg(QString::number(fileOffset, 16).toUpper());
    case Kind::BinaryFile:
        break;
    }
    return QStringLiteral("file offset 0x%1").arg(QString::number(fileOffset, 16).toUpper());
}

std::variant<MemoryImage, ImageError> MemoryImage::build(std::vector<Segment> pieces, Merge merge)
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
        if (prev.end() > cur.address) {
            return ImageError{
                QStringLiteral("address %1 is written twice: by %2 and by %3")
                    .arg(hexAddress(cur.address), prev.origin.describe(), cur.origin.describe())};
        }
    }

    MemoryImage image;
    for (const Segment &s : pieces)
        image.byteCount_ += s.size;
    if (merge == Merge::None) {
        image.segments_ = std::move(pieces);
        return image;
    }
    auto first = pieces.begin();
    while (first != pieces.end()) {
        auto last = first + 1;
        while (last != pieces.end() && (last - 1)->end() == last->address)
            ++last;
        image.segments_.push_back(joinRun(first, last));
        first = last;
    }
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
