#include "image/image_formats.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace corvanel::image {

namespace {

// Far beyond anything a bootloader takes one record per datagram, and a guard
// against reading a disk image into memory by mistake.
constexpr qint64 kMaxFileBytes = qint64(1) << 30;

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
    if (content.size() >= 2 && content[0] == 'S' && content[1] >= '0' && content[1] <= '9')
        return Format::SRecord;
    if (content.startsWith(':'))
        return Format::IntelHex;
    return Format::Binary;
}

std::variant<MemoryImage, ImageError> readBinary(const QByteArray &content, quint32 base)
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
    return MemoryImage::build({std::move(whole)});
}

std::variant<LoadedImage, ImageError> readImage(const QByteArray &content,
                                                const ReadOptions &options)
{
    if (content.isEmpty())
        return ImageError{QStringLiteral("the file is empty")};
    const Format format = options.format.value_or(detectFormat(content));
    std::variant<MemoryImage, ImageError> read = ImageError{};
    switch (format) {
    case Format::IntelHex:
        read = readIntelHex(content);
        break;
    case Format::SRecord:
        read = readSRecord(content);
        break;
    case Format::Elf:
        read = readElf(content);
        break;
    case Format::Binary:
        if (!options.binaryBase) {
            const QString why = options.format ? QString()
                                               : QStringLiteral("it is not ELF, S-record or Intel "
                                                                "HEX by its first bytes, so it is "
                                                                "read as binary, and ");
            return ImageError{why + QStringLiteral("a binary image needs a base address")};
        }
        read = readBinary(content, *options.binaryBase);
        break;
    }
    if (auto *error = std::get_if<ImageError>(&read))
        return std::move(*error);
    return LoadedImage{format, std::move(std::get<MemoryImage>(read))};
}

std::variant<QByteArray, ImageError> readImageContent(const QString &path)
{
    const QString name = QDir::toNativeSeparators(path);
    const auto fail = [&name](const QString &what) {
        return ImageError{QStringLiteral("\"%1\": %2").arg(name, what)};
    };
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
    if (size > kMaxFileBytes) {
        return fail(QStringLiteral("%1 bytes is more than the %2 bytes an image may have")
                        .arg(size)
                        .arg(kMaxFileBytes));
    }
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
    if (auto *error = std::get_if<ImageError>(&loaded)) {
        return ImageError{
            QStringLiteral("\"%1\": %2").arg(QDir::toNativeSeparators(path), error->text)};
    }
    return loaded;
}

} // namespace corvanel::image
