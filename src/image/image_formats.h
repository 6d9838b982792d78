#pragma once

#include "image/memory_image.h"

#include <QByteArray>
#include <QString>

#include <optional>
#include <variant>

namespace corvanel::image {

// The file formats an image can come in.
enum class Format { IntelHex, SRecord, Elf, Binary };

// "Intel HEX", "Motorola S-record", "ELF", "binary".
QString formatName(Format format);

// The format by the first bytes: the ELF magic, "S0" to "S9", ':', and
// anything else is binary.
Format detectFormat(QByteArrayView content);

// Every reader refuses input it cannot read whole, naming the line (counted
// from 1) or the ELF structure at fault; none reads outside `content`. The
// memory image shares `content`'s buffer where the format stores plain bytes
// (binary, ELF), so it is never copied.

// Intel HEX: records 00 to 05, extended segment (02) and extended linear (04)
// addresses, checksums; lines split at LF with a CR before it dropped. Blank
// lines, lines after the end-of-file record and a missing end-of-file record
// are refused.
std::variant<MemoryImage, ImageError> readIntelHex(const QByteArray &content);

// Motorola S-record: S0 (ignored), S1/S2/S3 data, S5/S6 record counts checked
// against the data records before them, S7/S8/S9 end records; checksums.
// Blank lines, lines after the end record and a missing end record are refused.
std::variant<MemoryImage, ImageError> readSRecord(const QByteArray &content);

// ELF, 32- or 64-bit, either byte order: the file bytes of every PT_LOAD
// program header with file bytes, at its physical address (p_paddr).
std::variant<MemoryImage, ImageError> readElf(const QByteArray &content);

// The whole content at `base`; it must end at or below 4 GiB.
std::variant<MemoryImage, ImageError> readBinary(const QByteArray &content, quint32 base);

struct ReadOptions {
    std::optional<Format> format;      // forced; else detected from the content
    std::optional<quint32> binaryBase; // required when the image is binary
};

struct LoadedImage {
    Format format = Format::Binary;
    MemoryImage memory;
};

// Detects (or takes the forced) format and reads with it. Binary without a base
// address and empty content are refused.
std::variant<LoadedImage, ImageError> readImage(const QByteArray &content,
                                                const ReadOptions &options);

// The file's bytes, read whole: a regular file of at most 1 GiB. Errors start
// with the file's name.
std::variant<QByteArray, ImageError> readImageContent(const QString &path);

// Reads the file whole and then as readImage() does; every error starts with
// the file's name.
std::variant<LoadedImage, ImageError> loadImageFile(const QString &path,
                                                    const ReadOptions &options);

} // namespace corvanel::image
