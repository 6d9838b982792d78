// ELF: only the program headers count. A PT_LOAD entry's file bytes go to its
// physical address, which is where a loader (and a flasher) puts them; the
// virtual address may be where they run from, as for initialised data copied
// from flash to RAM at start-up. Sections are never looked at.

#include "image/image_formats.h"

namespace corvanel::image {

namespace {

constexpr int kIdentSize = 16;
constexpr char kClass32 = 1;
constexpr char kClass64 = 2;
constexpr char kLittleEndian = 1;
constexpr char kBigEndian = 2;
constexpr quint32 kPtLoad = 1;
constexpr quint32 kManyProgramHeaders = 0xffff; // PN_XNUM: the count is kept elsewhere

// Where the fields sit in each class's file and program headers.
struct Layout {
    int headerSize;
    int phoff, phentsize, phnum; // in the file header
    int entrySize;               // smallest program header entry
    int type, offset, paddr, filesz;
    int wordSize; // of offset, paddr and filesz
};
constexpr Layout kLayout32{52, 28, 42, 44, 32, 0, 4, 12, 16, 4};
constexpr Layout kLayout64{64, 32, 54, 56, 56, 0, 8, 24, 32, 8};

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

ImageError elfError(const QString &what)
{
    return ImageError{QStringLiteral("ELF file: ") + what};
}

QString hex(quint64 value)
{
    return QStringLiteral("0x") + QString::number(value, 16).toUpper();
}

} // namespace

std::variant<MemoryImage, ImageError> readElf(const QByteArray &content)
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
    const ElfFields field(content, byteOrder == kBigEndian);
    const quint64 tableOffset = field.read(layout.phoff, layout.wordSize);
    const quint64 entrySize = field.read(layout.phentsize, 2);
    const quint64 entries = field.read(layout.phnum, 2);
    if (entries == 0)
        return elfError(QStringLiteral("no program headers, so no loadable data"));
    if (entries == kManyProgramHeaders)
        return elfError(QStringLiteral("more program headers than the header can count "
                                       "(PN_XNUM); such files are not read"));
    if (entrySize < quint64(layout.entrySize)) {
        return elfError(QStringLiteral("program header entries of %1 bytes are too small (at "
                                       "least %2)")
                            .arg(entrySize)
                            .arg(layout.entrySize));
    }
    // entries and entrySize are below 2^16, so the product cannot overflow.
    const quint64 tableSize = entries * entrySize;
    if (tableOffset > quint64(fileSize) || tableSize > quint64(fileSize) - tableOffset) {
        return elfError(QStringLiteral("truncated: the program header table (%1 entries of %2 "
                                       "bytes at offset %3) runs past the end of the file (%4 "
                                       "bytes)")
                            .arg(entries)
                            .arg(entrySize)
                            .arg(hex(tableOffset))
                            .arg(fileSize));
    }

    std::vector<Segment> pieces;
    for (quint64 i = 0; i < entries; ++i) {
        const qint64 entry = qint64(tableOffset + i * entrySize);
        if (field.read(entry + layout.type, 4) != kPtLoad)
            continue;
        const quint64 offset = field.read(entry + layout.offset, layout.wordSize);
        const quint64 address = field.read(entry + layout.paddr, layout.wordSize);
        const quint64 size = field.read(entry + layout.filesz, layout.wordSize);
        if (size == 0)
            continue;
        const QString where = QStringLiteral("program header %1: ").arg(i);
        if (offset > quint64(fileSize) || size > quint64(fileSize) - offset) {
            return elfError(where + QStringLiteral("its %1 file bytes at offset %2 run past the "
                                                   "end of the file (%3 bytes)")
                                        .arg(size)
                                        .arg(hex(offset))
                                        .arg(fileSize));
        }
        if (address >= kAddressSpaceEnd || size > kAddressSpaceEnd - address) {
            return elfError(where + QStringLiteral("its %1 bytes at physical address %2 do not fit "
                                                   "below 4 GiB")
                                        .arg(size)
                                        .arg(hex(address)));
        }
        Segment piece;
        piece.address = quint32(address);
        piece.storage = content; // shared, not copied
        piece.offset = qsizetype(offset);
        piece.size = qsizetype(size);
        piece.origin.kind = Origin::Kind::ElfProgramHeader;
        piece.origin.programHeader = int(i);
        piece.origin.fileOffset = qint64(offset);
        pieces.push_back(std::move(piece));
    }
    if (pieces.empty())
        return elfError(QStringLiteral("no loadable data: no PT_LOAD program header has file "
                                       "bytes"));
    auto built = MemoryImage::build(std::move(pieces));
    if (auto *error = std::get_if<ImageError>(&built))
        return elfError(error->text);
    return built;
}

} // namespace corvanel::image
