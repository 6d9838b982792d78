#include "image/image_formats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

#include <algorithm>

namespace corvanel::image {

namespace {

// Far beyond anything a bootloader takes one record per datagram, and a guard
// against reading a disk image into memory by mistake.
constexpr qint64 kMaxFileBytes = qint64(1) << 30;
// Standard input is read in blocks of this size.
constexpr qsizetype kStdinBlockBytes = qsizetype(1) << 20;
// How much of a file is looked at to tell text from binary.
constexpr qsizetype kTextProbeBytes = 4096;

} // namespace

QString formatName(Format format)
{
    switch (format) {
    case Format::IntelHex:
        return QStringLiteral("Intel HEX");
    case Format::SRecord:
        return QStringLiteral("Motorola S-record");
    case Format::Elf:
        return QStringLiteral("ELF");
    case Format::Binary:
        break;
    }
    return QStringLiteral("binary");
}

Format detectFormat(QByteArrayView content)
{
    if (content.startsWith("\x7f"
                           "ELF"))
        return Format::Elf;
    if (content.startsWith(kUtf8ByteOrderMark))
        content = content.sliced(kUtf8ByteOrderMark.size());
    if (content.size() >= 2 && content[0] == 'S' && content[1] >= '0' && content[1] <= '9')
        return Format::SRecord;
    if (content.startsWith(':'))
        return Format::IntelHex;
    return Format::Binary;
}

bool looksLikeText(QByteArrayView content)
{
    if (content.startsWith(kUtf8ByteOrderMark))
        return true;
    const QByteArrayView head = content.first(std::min<qsizetype>(content.size(), kTextProbeBytes));
    for (const char c : head) {
        const auto u = quint8(c);
        if (u < 0x20 && c != '\t' && c != '\n' && c != '\r' && c != '\f')
            return false;
        if (u == 0x7f)
            return false;
    }
    // Bytes above 0x7F must be UTF-8; a sequence cut at the end of the probe
    // is no error, as the decoder keeps it for more input.
    QStringDecoder utf8(QStringDecoder::Utf8);
    [[maybe_unused]] const QString decoded = utf8.decode(head);
    return !utf8.hasError();
}

QByteArrayView intelHexRecords(QByteArrayView content)
{
    if (content.startsWith(kUtf8ByteOrderMark))
        content = content.sliced(kUtf8ByteOrderMark.size());
    qsizetype end = content.size();
    bool dosEnd = false;
    while (end > 0) {
        const char c = content[end - 1];
        if (c == '\x1a' && !dosEnd)
            dosEnd = true;
        else if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            break;
        --end;
    }
    return content.first(end);
}

std::variant<LoadedImage, ImageError> readBinary(const QByteArray &content, quint32 base)
{
    const quint64 end = quint64(base) + quint64(content.size());
    if (end > kAddressSpaceEnd) {
        return ImageError{QStringLiteral("%1 bytes at base address %2 do not fit below 4 GiB (the "
                                         "last would be at 0x%3)")
                              .arg(content.size())
                              .arg(hexAddress(base))
                              .arg(QString::number(end - 1, 16).toUpper())};
    }
    Segment whole;
    whole.address = base;
    whole.storage = content; // shared, not copied
    whole.size = content.size();
    whole.origin.kind = Origin::Kind::BinaryFile;
    auto built = MemoryImage::build({std::move(whole)});
    if (auto *error = std::get_if<ImageError>(&built))
        return std::move(*error);
    return LoadedImage{Format::Binary, std::get<MemoryImage>(std::move(built)), {}, {}, {}};
}

QString StartAddress::text() const
{
    if (kind != Kind::IntelHexSegment)
        return hexAddress(value);
    const auto word = [](quint32 v) {
        return QString::number(v, 16).toUpper().rightJustified(4, QLatin1Char('0'));
    };
    return QStringLiteral("0x%1:0x%2").arg(word(value >> 16), word(value & 0xffff));
}

QString StartAddress::source() const
{
    switch (kind) {
    case Kind::IntelHexSegment:
        return QStringLiteral("Intel HEX record 03, CS:IP");
    case Kind::IntelHexLinear:
        return QStringLiteral("Intel HEX record 05");
    case Kind::SRecord:
        return QStringLiteral("S-record end record");
    case Kind::ElfEntry:
        break;
    }
    return QStringLiteral("ELF entry point");
}

std::variant<LoadedImage, ImageError> readImage(const QByteArray &content,
                                                const ReadOptions &options)
{
    if (content.isEmpty())
        return ImageError{QStringLiteral("the file is empty")};
    const Format format = options.format.value_or(detectFormat(content));
    if (format != Format::Elf && !options.sections.isEmpty()) {
        return ImageError{QStringLiteral("sections can be chosen in ELF images only; this one is "
                                         "%1")
                              .arg(formatName(format))};
    }
    switch (format) {
    case Format::IntelHex:
        return readIntelHex(content);
    case Format::SRecord:
        return readSRecord(content);
    case Format::Elf:
        return readElf(content, options.sections);
    case Format::Binary:
        break;
    }
    if (!options.format && looksLikeText(content)) {
        const QString why = content.startsWith(kUtf8ByteOrderMark)
                                ? QStringLiteral("it begins with a UTF-8 byte-order mark")
                                : QStringLiteral("its first %1 bytes are all printable text")
                                      .arg(std::min<qsizetype>(content.size(), kTextProbeBytes));
        return ImageError{QStringLiteral("it is not ELF, S-record or Intel HEX by its first bytes, "
                                         "and it looks like text (%1), not like a binary image; "
                                         "--format bin sends it as binary all the same")
                              .arg(why)};
    }
    if (!options.binaryBase) {
        const QString why = options.format ? QString()
                                           : QStringLiteral("it is not ELF, S-record or Intel "
                                                            "HEX by its first bytes, so it is "
                                                            "read as binary, and ");
        return ImageError{why + QStringLiteral("a binary image needs a base address")};
    }
    return readBinary(content, *options.binaryBase);
}

QString imageName(const QString &path)
{
    if (path == QLatin1String("-"))
        return QStringLiteral("(standard input)");
    return QStringLiteral("\"%1\"").arg(QDir::toNativeSeparators(path));
}

std::variant<QByteArray, ImageError> readImageContent(const QString &path)
{
    const QString name = imageName(path);
    const auto fail = [&name](const QString &what) {
        return ImageError{QStringLiteral("%1: %2").arg(name, what)};
    };
    const auto tooLarge = [&fail](qint64 size) {
        return fail(QStringLiteral("%1 bytes is more than the %2 bytes an image may have")
                        .arg(size)
                        .arg(kMaxFileBytes));
    };
    if (path == QLatin1String("-")) {
        // A pipe has no size: read in blocks, one past the limit at most.
        QFile in;
        if (!in.open(stdin, QIODevice::ReadOnly))
            return fail(QStringLiteral("cannot read it (%1)").arg(in.errorString()));
        QByteArray content;
        while (content.size() <= kMaxFileBytes) {
            const qsizetype before = content.size();
            const qsizetype block =
                std::min<qsizetype>(kStdinBlockBytes, kMaxFileBytes + 1 - before);
            content.resize(before + block);
            const qint64 got = in.read(content.data() + before, block);
            if (got < 0)
                return fail(QStringLiteral("reading failed (%1)").arg(in.errorString()));
            content.resize(before + got);
            if (got == 0)
                break;
        }
        if (content.size() > kMaxFileBytes)
            return tooLarge(content.size());
        content.squeeze();
        return content;
    }
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return fail(QStringLiteral("file not found"));
    // A folder, a FIFO or a device could block or never end.
    if (!info.isFile())
        return fail(QStringLiteral("not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(QStringLiteral("cannot open it for reading (%1)").arg(file.errorString()));
    const qint64 size = file.size();
    if (size > kMaxFileBytes)
        return tooLarge(size);
    // One buffer of the file's size, read straight into: the memory image of
    // a binary or ELF file shares it.
    QByteArray content(size, Qt::Uninitialized);
    if (file.read(content.data(), size) != size)
        return fail(QStringLiteral("reading failed (%1)").arg(file.errorString()));
    return content;
}

std::variant<LoadedImage, ImageError> loadImageFile(const QString &path, const ReadOptions &options)
{
    auto content = readImageContent(path);
    if (auto *error = std::get_if<ImageError>(&content))
        return *error;
    auto loaded = readImage(std::get<QByteArray>(content), options);
    if (auto *error = std::get_if<ImageError>(&loaded))
        return ImageError{QStringLiteral("%1: %2").arg(imageName(path), error->text)};
    return loaded;
}

bool SectionFilter::keeps(const QString &section) const
{
    const auto any = [&section](const QStringList &patterns) {
        return std::any_of(patterns.begin(), patterns.end(), [&section](const QString &pattern) {
            return matches(pattern, section);
        });
    };
    return !any(remove) && (only.isEmpty() || any(only));
}

} // namespace corvanel::image
