#pragma once

#include "image/memory_image.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>
#include <variant>

namespace corvanel::image {

// The file formats an image can come in.
enum class Format { IntelHex, SRecord, Elf, Binary };

// "Intel HEX", "Motorola S-record", "ELF", "binary".
QString formatName(Format format);

// A UTF-8 byte-order mark, which some editors put before text.
inline constexpr QByteArrayView kUtf8ByteOrderMark{"\xEF\xBB\xBF"};

// The format by the first bytes: the ELF magic, "S0" to "S9", ':' (either
// after a UTF-8 byte-order mark), and anything else is binary.
Format detectFormat(QByteArrayView content);

// True for content a binary image is unlikely to be: it starts with a UTF-8
// byte-order mark, or its first 4 KiB are all printable text (UTF-8, tabs and
// line ends allowed).
bool looksLikeText(QByteArrayView content);

// The part of an Intel HEX file that holds its records: without a leading
// UTF-8 byte-order mark, and without what may follow the end-of-file record
// and is no record (blank lines, spaces, tabs and one DOS end-of-file byte,
// 0x1A). The lines keep their numbers.
QByteArrayView intelHexRecords(QByteArrayView content);

// Where an image says its program starts. None of it is placed in memory.
struct StartAddress {
    enum class Kind {
        IntelHexSegment, // record 03: CS:IP, kept as CS << 16 | IP
        IntelHexLinear,  // record 05
        SRecord,         // S7, S8 or S9
        ElfEntry,        // e_entry
    };
    Kind kind = Kind::ElfEntry;
    quint32 value = 0;

    // "0x08000131"; "0x0000:0x0100" for CS:IP.
    QString text() const;
    // "ELF entry point", "Intel HEX record 05", ...
    QString source() const;
    bool operator==(const StartAddress &) const = default;
};

// ELF sections left out or kept by name, as objcopy's -R and -j do, by
// patterns. Every pattern must match a section of the file.
struct SectionFilter {
    QStringList remove; // left out
    QStringList only;   // when not empty, only these are kept

    bool isEmpty() const { return remove.isEmpty() && only.isEmpty(); }
    bool keeps(const QString &section) const;
    // As objcopy matches names, by fnmatch(3) without flags (in the C
    // locale): '*' any run of characters, '?' any one, bracket expressions
    // ("[a-z_]", "[!t]" or "[^t]", "[[:digit:]]"), a backslash makes the next
    // character plain; a '[' without its ']' is itself.
    static bool matches(QStringView pattern, QStringView name);
};

// What a reader made of a file.
struct LoadedImage {
    Format format = Format::Binary;
    MemoryImage memory;
    std::optional<StartAddress> start;
    QString note; // how the file was read, when it is not the usual way
    // ELF: where the bytes of the file's headers would have gone, had they
    // been sent (a file read by its segments, whose first holds them).
    QList<AddressRange> headersLeftOut;
};

// Every reader refuses input it cannot read whole, naming the line (counted
// from 1) or the ELF structure at fault; none reads outside `content`. The
// memory image shares `content`'s buffer where the format stores plain bytes
// (binary, ELF), so it is never copied.

// Intel HEX: records 00 to 05, extended segment (02) and extended linear (04)
// addresses, checksums, start addresses (03, 05; the last one counts); lines
// split at LF with a CR before it dropped; read from intelHexRecords().
// Blank lines, anything but them after the end-of-file record and a missing
// end-of-file record are refused.
std::variant<LoadedImage, ImageError> readIntelHex(const QByteArray &content);

// Motorola S-record: S0 (ignored), S1/S2/S3 data, S5/S6 record counts checked
// against the data records before them, S7/S8/S9 end records with the start
// address; checksums; a leading UTF-8 byte-order mark skipped. The file ends
// with an end record or, without one, with a record count. Blank lines, lines
// after the end record and a file that ends with neither are refused. Each
// run of records that continue one another in the file is a segment, as
// objcopy makes a section of it.
std::variant<LoadedImage, ImageError> readSRecord(const QByteArray &content);

// ELF, 32- or 64-bit, either byte order, read as objcopy reads it: the
// contents of every allocated section that has file bytes, at its load
// address (LMA: its file offset's place in the loadable segment that holds it,
// from the segment's physical address; its own address when no segment holds
// it). The file's headers and the padding between sections are not data. A
// file without section headers is read by its program headers instead: the
// file bytes of each PT_LOAD segment at its physical address (and a note says
// so), but for the bytes of the ELF header and the program header table,
// which are never data. Relocatable objects are refused: they are not linked
// yet.
std::variant<LoadedImage, ImageError> readElf(const QByteArray &content,
                                              const SectionFilter &sections = {});

// The whole content at `base`; it must end at or below 4 GiB.
std::variant<LoadedImage, ImageError> readBinary(const QByteArray &content, quint32 base);

struct ReadOptions {
    std::optional<Format> format;      // forced; else detected from the content
    std::optional<quint32> binaryBase; // required when the image is binary
    SectionFilter sections;            // ELF only
};

// Detects (or takes the forced) format and reads with it. Binary without a base
// address, content detected as binary that looks like text, section filters
// for anything but ELF, and empty content are refused.
std::variant<LoadedImage, ImageError> readImage(const QByteArray &content,
                                                const ReadOptions &options);

// The name of an image in messages: "\"path\"" in native separators, or
// "(standard input)" for "-".
QString imageName(const QString &path);

// The file's bytes, read whole: a regular file of at most 1 GiB, or for "-"
// standard input up to the same size. Errors start with imageName().
std::variant<QByteArray, ImageError> readImageContent(const QString &path);

// Reads the file whole and then as readImage() does; every error starts with
// imageName().
std::variant<LoadedImage, ImageError> loadImageFile(const QString &path,
                                                    const ReadOptions &options);

} // namespace corvanel::image
