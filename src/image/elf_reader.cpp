// ELF, read as objcopy reads it for Intel HEX or S-record output: the data is
// the contents of the allocated sections that have file bytes, each at its
// load address (LMA). A section's LMA comes from the loadable segment that
// holds it: the segment's physical address plus the section's offset in the
// segment's file bytes, which is where the data of initialised RAM is stored
// in flash. ELF and program headers that share a segment with the code, and
// the padding the linker leaves between sections, are not data: flashing them
// would write memory the image does not own. Files without section headers
// (stripped of them by some tools) are read by their segments instead, with
// the bytes of the ELF and program headers cut out of any segment that holds
// them (objcopy would write them).

#include "image/image_formats.h"

#include <algorithm>
#include <optional>

namespace corvanel::image {

namespace {

constexpr int kIdentSize = 16;
constexpr char kClass32 = 1;
constexpr char kClass64 = 2;
constexpr char kLittleEndian = 1;
constexpr char kBigEndian = 2;
constexpr quint64 kTypeRelocatable = 1; // ET_REL
constexpr quint32 kPtLoad = 1;
constexpr quint32 kPtTls = 7;
constexpr quint32 kShtNobits = 8;
constexpr quint64 kShfAlloc = 0x2;
constexpr quint64 kShfTls = 0x400;
constexpr quint64 kManyProgramHeaders = 0xffff;    // PN_XNUM: the count is kept elsewhere
constexpr quint64 kSectionIndexElsewhere = 0xffff; // SHN_XINDEX: in section 0's sh_link

// Where the fields sit in each class's file, program and section headers.
struct Layout {
    int headerSize;
    int type, entry, phoff, shoff, phentsize, phnum, shentsize, shnum, shstrndx;
    int wordSize; // of addresses, offsets and sizes
    int phSize, phType, phOffset, phVaddr, phPaddr, phFilesz, phMemsz;
    int shSize, shName, shType, shFlags, shAddr, shOffset, shBytes, shLink;
};
constexpr Layout kLayout32{52, 16, 24, 28, 32, 42, 44, 46, 48, 50, 4, //
                           32, 0,  4,  8,  12, 16, 20,                //
                           40, 0,  4,  8,  12, 16, 20, 24};
constexpr Layout kLayout64{64, 16, 24, 32, 40, 54, 56, 58, 60, 62, 8, //
                           56, 0,  8,  16, 24, 32, 40,                //
                           64, 0,  4,  8,  16, 24, 32, 40};

// Reads fixed-size fields in the file's byte order. Callers check the bounds.
class ElfFields {
public:
    ElfFields(const QByteArray &content, bool bigEndian) : content_(content), big_(bigEndian) {}

    quint64 read(qint64 at, int size) const
    {
        quint64 value = 0;
        for (int i = 0; i < size; ++i) {
            const quint64 byte = quint8(content_[at + i]);
            value |= big_ ? byte << (8 * (size - 1 - i)) : byte << (8 * i);
        }
        return value;
    }

private:
    const QByteArray &content_;
    bool big_;
};

struct ProgramHeader {
    quint32 type;
    quint64 offset, vaddr, paddr, filesz, memsz;
};

struct SectionHeader {
    int index;
    quint32 nameOffset; // in the section-name table
    QString name;
    quint32 type;
    quint64 flags, addr, offset, size;

    bool loadable() const { return (flags & kShfAlloc) != 0 && type != kShtNobits && size > 0; }
};

ImageError elfError(const QString &what)
{
    return ImageError{QStringLiteral("ELF file: ") + what};
}

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

// A header table that the file is too short to hold.
ImageError tablePastEnd(const char *kind, quint64 entries, quint64 entrySize, quint64 offset,
                        quint64 fileSize)
{
    return elfError(QStringLiteral("truncated: the %1 header table (%2 entries of %3 bytes at "
                                   "offset %4) runs past the end of the file (%5 bytes)")
                        .arg(QLatin1StringView(kind))
                        .arg(entries)
                        .arg(entrySize)
                        .arg(hex(offset))
                        .arg(fileSize));
}

bool fitsIn(quint64 offset, quint64 size, quint64 total)
{
    return offset <= total && size <= total - offset;
}

// objcopy's test of whether a segment holds a section: the section's file
// bytes lie within the segment's, and (but for thread-local data) its
// addresses within the segment's memory.
bool holds(const ProgramHeader &segment, const SectionHeader &section)
{
    const bool tls = (section.flags & kShfTls) != 0;
    if (tls ? segment.type != kPtTls : segment.type != kPtLoad)
        return false;
    if (section.offset < segment.offset ||
        !fitsIn(section.offset - segment.offset, section.size, segment.filesz))
        return false;
    return tls || (section.addr >= segment.vaddr &&
                   fitsIn(section.addr - segment.vaddr, section.size, segment.memsz));
}

// The section's load address, as objcopy computes it.
quint64 loadAddress(const SectionHeader &section, const QList<ProgramHeader> &segments)
{
    // Some linkers leave every physical address 0; with more than one
    // loadable segment the sections then load where they run.
    bool anyPhysical = false;
    int loads = 0;
    for (const ProgramHeader &segment : segments) {
        anyPhysical = anyPhysical || segment.paddr != 0;
        loads += segment.type == kPtLoad && segment.memsz != 0 ? 1 : 0;
    }
    if (!anyPhysical && loads > 1)
        return section.addr;
    quint64 lma = section.addr;
    for (const ProgramHeader &segment : segments) {
        if (!holds(segment, section))
            continue;
        lma = segment.paddr + (section.offset - segment.offset);
        // A section of adjacent segments belongs to the one its address is in.
        if (section.addr >= segment.vaddr &&
            section.addr + section.size <= segment.vaddr + segment.memsz)
            break;
    }
    return lma;
}

class ElfReader {
public:
    ElfReader(const QByteArray &content, const Layout &layout, bool bigEndian)
        : content_(content), size_(quint64(content.size())), layout_(layout),
          field_(content, bigEndian)
    {
    }

    std::variant<LoadedImage, ImageError> read(const SectionFilter &filter);

private:
    quint64 header(int at, int size) const { return field_.read(at, size); }
    std::optional<ImageError> readProgramHeaders();
    std::optional<ImageError> readSectionHeaders();
    std::variant<std::vector<Segment>, ImageError> sectionPieces(const SectionFilter &filter);
    std::variant<std::vector<Segment>, ImageError> segmentPieces();
    void addPiece(std::vector<Segment> &pieces, Segment piece);

    const QByteArray &content_;
    quint64 size_;
    const Layout &layout_;
    ElfFields field_;
    QList<ProgramHeader> segments_;
    QList<SectionHeader> sections_; // without the null section 0
    bool hasSectionHeaders_ = false;
    // The file bytes of the ELF header and of the program header table,
    // [begin, end) in file order, joined where they touch.
    std::vector<std::pair<quint64, quint64>> headerBytes_;
    QList<AddressRange> headersLeftOut_; // where they would have gone
};

std::optional<ImageError> ElfReader::readProgramHeaders()
{
    const quint64 tableOffset = header(layout_.phoff, layout_.wordSize);
    const quint64 entrySize = header(layout_.phentsize, 2);
    const quint64 entries = header(layout_.phnum, 2);
    if (entries == 0 || tableOffset == 0)
        return std::nullopt;
    if (entries == kManyProgramHeaders)
        return elfError(QStringLiteral("more program headers than the header can count "
                                       "(PN_XNUM); such files are not read"));
    if (entrySize < quint64(layout_.phSize)) {
        return elfError(QStringLiteral("program header entries of %1 bytes are too small (at "
                                       "least %2)")
                            .arg(entrySize)
                            .arg(layout_.phSize));
    }
    // entries and entrySize are below 2^16, so the product cannot overflow.
    if (!fitsIn(tableOffset, entries * entrySize, size_)) {
        return tablePastEnd("program", entries, entrySize, tableOffset, size_);
    }
    headerBytes_.push_back({tableOffset, tableOffset + entries * entrySize});
    const int word = layout_.wordSize;
    for (quint64 i = 0; i < entries; ++i) {
        const qint64 at = qint64(tableOffset + i * entrySize);
        segments_.append(
            {quint32(field_.read(at + layout_.phType, 4)), field_.read(at + layout_.phOffset, word),
             field_.read(at + layout_.phVaddr, word), field_.read(at + layout_.phPaddr, word),
             field_.read(at + layout_.phFilesz, word), field_.read(at + layout_.phMemsz, word)});
    }
    return std::nullopt;
}

std::optional<ImageError> ElfReader::readSectionHeaders()
{
    const quint64 tableOffset = header(layout_.shoff, layout_.wordSize);
    const quint64 entrySize = header(layout_.shentsize, 2);
    quint64 entries = header(layout_.shnum, 2);
    quint64 namesIndex = header(layout_.shstrndx, 2);
    if (tableOffset == 0)
        return std::nullopt; // none: the segments are read instead
    if (entrySize < quint64(layout_.shSize)) {
        return elfError(QStringLiteral("section header entries of %1 bytes are too small (at "
                                       "least %2)")
                            .arg(entrySize)
                            .arg(layout_.shSize));
    }
    if (!fitsIn(tableOffset, entrySize, size_)) {
        return elfError(QStringLiteral("truncated: the section header table at offset %1 runs "
                                       "past the end of the file (%2 bytes)")
                            .arg(hex(tableOffset))
                            .arg(size_));
    }
    // Very many sections: their count and the names' index are kept in
    // section 0.
    const qint64 first = qint64(tableOffset);
    if (entries == 0)
        entries = field_.read(first + layout_.shBytes, layout_.wordSize);
    if (entries == 0)
        return std::nullopt; // a table of no sections is none
    if (namesIndex == kSectionIndexElsewhere)
        namesIndex = field_.read(first + layout_.shLink, 4);
    if (entries > (size_ - tableOffset) / entrySize) {
        return tablePastEnd("section", entries, entrySize, tableOffset, size_);
    }
    const int word = layout_.wordSize;
    QList<SectionHeader> all;
    all.reserve(qsizetype(entries));
    for (quint64 i = 0; i < entries; ++i) {
        const qint64 at = qint64(tableOffset + i * entrySize);
        all.append({int(i), quint32(field_.read(at + layout_.shName, 4)), QString(),
                    quint32(field_.read(at + layout_.shType, 4)),
                    field_.read(at + layout_.shFlags, word), field_.read(at + layout_.shAddr, word),
                    field_.read(at + layout_.shOffset, word),
                    field_.read(at + layout_.shBytes, word)});
    }
    // Names are offsets into the section-name table; a file without one (or
    // with a broken one) still has numbered sections.
    QByteArrayView names;
    if (namesIndex > 0 && namesIndex < entries && all[qsizetype(namesIndex)].type != kShtNobits &&
        fitsIn(all[qsizetype(namesIndex)].offset, all[qsizetype(namesIndex)].size, size_)) {
        names = QByteArrayView(content_).sliced(qsizetype(all[qsizetype(namesIndex)].offset),
                                                qsizetype(all[qsizetype(namesIndex)].size));
    }
    for (SectionHeader &section : all) {
        const qsizetype at = qsizetype(section.nameOffset);
        const qsizetype end = at < names.size() ? names.indexOf('\0', at) : -1;
        section.name = end >= 0 ? QString::fromLatin1(names.sliced(at, end - at))
                                : QStringLiteral("#%1").arg(section.index);
    }
    if (!all.isEmpty())
        all.removeFirst(); // the null section
    sections_ = std::move(all);
    hasSectionHeaders_ = true;
    return std::nullopt;
}

std::variant<std::vector<Segment>, ImageError> ElfReader::sectionPieces(const SectionFilter &filter)
{
    QStringList names;
    for (const SectionHeader &section : sections_)
        names << section.name;
    for (const auto &[patterns, what] :
         {std::pair{&filter.remove, "to leave out"}, std::pair{&filter.only, "to keep"}}) {
        for (const QString &pattern : *patterns) {
            bool found = false;
            for (const QString &name : std::as_const(names))
                found = found || SectionFilter::matches(pattern, name);
            if (!found) {
                return elfError(
                    QStringLiteral("\"%1\", a section %2, matches none of the file's "
                                   "sections: %3")
                        .arg(pattern, QLatin1StringView(what), names.join(QStringLiteral(", "))));
            }
        }
    }

    std::vector<Segment> pieces;
    for (const SectionHeader &section : sections_) {
        if (!section.loadable() || !filter.keeps(section.name))
            continue;
        const QString where =
            QStringLiteral("section %1 (number %2): ").arg(section.name).arg(section.index);
        if (!fitsIn(section.offset, section.size, size_)) {
            return elfError(where + QStringLiteral("its %1 bytes at offset %2 run past the end of "
                                                   "the file (%3 bytes)")
                                        .arg(section.size)
                                        .arg(hex(section.offset))
                                        .arg(size_));
        }
        const quint64 address = loadAddress(section, segments_);
        if (!fitsIn(address, section.size, kAddressSpaceEnd)) {
            return elfError(where + QStringLiteral("its %1 bytes at load address %2 do not fit "
                                                   "below 4 GiB")
                                        .arg(section.size)
                                        .arg(hex(address)));
        }
        Segment piece;
        piece.address = quint32(address);
        piece.storage = content_; // shared, not copied
        piece.offset = qsizetype(section.offset);
        piece.size = qsizetype(section.size);
        piece.origin.kind = Origin::Kind::ElfSection;
        piece.origin.index = section.index;
        piece.origin.name = section.name;
        piece.origin.fileOffset = qint64(section.offset);
        addPiece(pieces, std::move(piece));
    }
    if (pieces.empty()) {
        return elfError(filter.isEmpty()
                            ? QStringLiteral("no loadable data: no allocated section has file "
                                             "bytes")
                            : QStringLiteral("no loadable data: no allocated section with file "
                                             "bytes is left of those chosen"));
    }
    return pieces;
}

// Adds the piece without the bytes of the file's headers, each byte left at
// its address: a segment that begins with the headers, as the linker makes
// the first one when the code is not linked at a page boundary, begins past
// them.
void ElfReader::addPiece(std::vector<Segment> &pieces, Segment piece)
{
    for (const auto &[begin, end] : headerBytes_) {
        const quint64 offset = quint64(piece.offset);
        const quint64 pieceEnd = offset + quint64(piece.size);
        if (begin >= pieceEnd || end <= offset)
            continue;
        const quint64 cutBegin = std::max(begin, offset);
        const quint64 cutEnd = std::min(end, pieceEnd);
        headersLeftOut_.append(
            {quint32(piece.address + (cutBegin - offset)), qint64(cutEnd - cutBegin)});
        if (cutBegin > offset) { // bytes before the headers, clear of the others
            Segment before = piece;
            before.size = qsizetype(cutBegin - offset);
            pieces.push_back(std::move(before));
        }
        piece.address += quint32(cutEnd - offset);
        piece.offset = qsizetype(cutEnd);
        piece.size = qsizetype(pieceEnd - cutEnd);
        piece.origin.fileOffset = qint64(cutEnd);
    }
    if (piece.size > 0)
        pieces.push_back(std::move(piece));
}

std::variant<std::vector<Segment>, ImageError> ElfReader::segmentPieces()
{
    std::vector<Segment> pieces;
    for (qsizetype i = 0; i < segments_.size(); ++i) {
        const ProgramHeader &segment = segments_[i];
        if (segment.type != kPtLoad || segment.filesz == 0)
            continue;
        const QString where = QStringLiteral("program header %1: ").arg(i);
        if (!fitsIn(segment.offset, segment.filesz, size_)) {
            return elfError(where + QStringLiteral("its %1 file bytes at offset %2 run past the "
                                                   "end of the file (%3 bytes)")
                                        .arg(segment.filesz)
                                        .arg(hex(segment.offset))
                                        .arg(size_));
        }
        if (!fitsIn(segment.paddr, segment.filesz, kAddressSpaceEnd)) {
            return elfError(where + QStringLiteral("its %1 bytes at physical address %2 do not fit "
                                                   "below 4 GiB")
                                        .arg(segment.filesz)
                                        .arg(hex(segment.paddr)));
        }
        Segment piece;
        piece.address = quint32(segment.paddr);
        piece.storage = content_; // shared, not copied
        piece.offset = qsizetype(segment.offset);
        piece.size = qsizetype(segment.filesz);
        piece.origin.kind = Origin::Kind::ElfProgramHeader;
        piece.origin.index = int(i);
        piece.origin.fileOffset = qint64(segment.offset);
        addPiece(pieces, std::move(piece));
    }
    if (pieces.empty())
        return elfError(QStringLiteral("no loadable data: no section headers, and no PT_LOAD "
                                       "program header has file bytes besides the ELF and "
                                       "program headers"));
    return pieces;
}

std::variant<LoadedImage, ImageError> ElfReader::read(const SectionFilter &filter)
{
    if (header(layout_.type, 2) == kTypeRelocatable) {
        return elfError(QStringLiteral("a relocatable object file, not a linked program: its "
                                       "sections have no load addresses yet"));
    }
    headerBytes_.push_back({0, quint64(layout_.headerSize)});
    if (auto error = readProgramHeaders())
        return *error;
    std::sort(headerBytes_.begin(), headerBytes_.end());
    if (headerBytes_.size() == 2 && headerBytes_[1].first <= headerBytes_[0].second) {
        headerBytes_[0].second = std::max(headerBytes_[0].second, headerBytes_[1].second);
        headerBytes_.pop_back();
    }
    if (auto error = readSectionHeaders())
        return *error;

    QString note;
    std::variant<std::vector<Segment>, ImageError> pieces = std::vector<Segment>{};
    if (hasSectionHeaders_) {
        pieces = sectionPieces(filter);
    } else if (!filter.isEmpty()) {
        return elfError(QStringLiteral("the file has no section headers, so no section can be "
                                       "chosen"));
    } else {
        pieces = segmentPieces();
        note = QStringLiteral("no section headers: read by its program headers, the file "
                              "bytes of each loadable segment at its physical address");
    }
    if (auto *error = std::get_if<ImageError>(&pieces))
        return std::move(*error);
    auto built = MemoryImage::build(std::get<std::vector<Segment>>(std::move(pieces)));
    if (auto *error = std::get_if<ImageError>(&built))
        return elfError(error->text);
    std::optional<StartAddress> start;
    const quint64 entry = header(layout_.entry, layout_.wordSize);
    // An entry of 0 means none; one past 4 GiB is no flash address.
    if (entry != 0 && entry < kAddressSpaceEnd)
        start = StartAddress{StartAddress::Kind::ElfEntry, quint32(entry)};
    return LoadedImage{Format::Elf, std::get<MemoryImage>(std::move(built)), start, note,
                       headersLeftOut_};
}

} // namespace

std::variant<LoadedImage, ImageError> readElf(const QByteArray &content,
                                              const SectionFilter &sections)
{
    const qint64 fileSize = content.size();
    if (fileSize < kIdentSize || !content.startsWith("\x7f"
                                                     "ELF")) {
        return elfError(QStringLiteral("no ELF header (the file has %1 bytes and does not start "
                                       "with the ELF magic)")
                            .arg(fileSize));
    }
    const char elfClass = content[4];
    const char byteOrder = content[5];
    if (elfClass != kClass32 && elfClass != kClass64)
        return elfError(QStringLiteral("unknown class %1 (1 is 32-bit, 2 is 64-bit)")
                            .arg(int(quint8(elfClass))));
    if (byteOrder != kLittleEndian && byteOrder != kBigEndian)
        return elfError(QStringLiteral("unknown byte order %1 (1 is little-endian, 2 is "
                                       "big-endian)")
                            .arg(int(quint8(byteOrder))));
    const Layout &layout = elfClass == kClass32 ? kLayout32 : kLayout64;
    if (fileSize < layout.headerSize) {
        return elfError(QStringLiteral("truncated: the header needs %1 bytes, the file has %2")
                            .arg(layout.headerSize)
                            .arg(fileSize));
    }
    return ElfReader(content, layout, byteOrder == kBigEndian).read(sections);
}

} // namespace corvanel::image
