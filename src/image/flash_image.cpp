#include "image/flash_image.h"

#include "engine/protocol.h"
#include "image/image_loader.h"
#include "image/line_cursor.h"

#include <QBuffer>

namespace corvanel::image {

namespace {

// The converted records as the transfer's line source.
// The lines the check read must be the lines the transfer sends; a file the
// line reader splits differently (a comma, a quote) is refused, not guessed at.
std::optional<int> firstDifferentLine(QByteArrayView content, const TextLines &table)
{
    image::LineCursor checked(content);
    QByteArrayView line;
    while (checked.next(line)) {
        if (checked.number() > table.count() || line != table.line(checked.number()))
            return int(checked.number());
    }
    if (checked.number() != table.count())
        return int(checked.number()) + 1;
    return std::nullopt;
}

std::variant<FlashImage, ImageRefusal> loadIntelHex(const QString &path, const QByteArray &content,
                                                    const ImageOptions &options)
{
    const QString name = image::imageName(path);
    // The records: a byte-order mark never goes out, and what follows the
    // end-of-file record is left off unless the file goes out unchecked.
    QByteArrayView records = content;
    if (options.check)
        records = image::intelHexRecords(content);
    else if (records.startsWith(image::kUtf8ByteOrderMark))
        records = records.sliced(image::kUtf8ByteOrderMark.size());
    const QByteArray body = QByteArray::fromRawData(records.data(), records.size());

    // Sent exactly as the window sends it: the file's own lines, from the
    // same bytes the check and the figures read.
    QBuffer buffer(const_cast<QByteArray *>(&body));
    buffer.open(QIODevice::ReadOnly);
    auto read = readImageLines(buffer, path, TextLines::kUnlimited);
    if (auto *error = std::get_if<OperatorError>(&read)) {
        const QString why =
            error->reason.endsWith(QLatin1Char('.')) ? error->reason.chopped(1) : error->reason;
        return ImageRefusal{QStringLiteral("%1:%2: %3").arg(name).arg(error->line).arg(why), {}};
    }
    FlashImage image;
    image.format = image::Format::IntelHex;
    const TextLines &lines = std::get<TextLines>(read);
    if (lines.count() == 0) {
        // The controller sends nothing from an image of no lines; the device
        // would wait for ever and so would we.
        return ImageRefusal{QStringLiteral("%1 has no lines; there is nothing to send").arg(name),
                            {}};
    }

    if (options.check) {
        QList<image::HexProblem> problems = image::checkIntelHex(body);
        if (problems.isEmpty()) {
            if (const auto line = firstDifferentLine(body, lines)) {
                problems.append({*line, QStringLiteral("the line reader splits this line "
                                                       "differently from the file (a comma or "
                                                       "a quote?)")});
            }
        }
        if (!problems.isEmpty()) {
            const bool stopped = problems.size() > image::kMaxHexProblems;
            return ImageRefusal{QStringLiteral("refused %1: %2%3 bad line%4, nothing sent")
                                    .arg(name, stopped ? QStringLiteral("more than ") : QString())
                                    .arg(problems.size() - (stopped ? 1 : 0))
                                    .arg(problems.size() == 1 ? QString() : QStringLiteral("s")),
                                problems};
        }
    }
    // The data bytes, for the figures; two records writing one address are
    // refused when the file is checked.
    auto memory = image::readIntelHex(body);
    if (auto *error = std::get_if<image::ImageError>(&memory)) {
        if (options.check)
            return ImageRefusal{
                QStringLiteral("refused %1: %2, nothing sent").arg(name, error->text), {}};
    } else {
        const image::LoadedImage &loaded = std::get<image::LoadedImage>(memory);
        image.figures =
            image::computeFigures(image::Format::IntelHex, loaded.memory, lines.count());
        // Start address records are lines like any other: they go out.
        image.figures->start = loaded.start;
        image.figures->startSent = loaded.start.has_value();
    }
    image.lines = TextLines::share(std::move(std::get<TextLines>(read)));
    return image;
}

} // namespace

std::variant<FlashImage, ImageRefusal> loadFlashImage(const QString &path,
                                                      const ImageOptions &options)
{
    auto read = image::readImageContent(path);
    if (auto *error = std::get_if<image::ImageError>(&read))
        return ImageRefusal{error->text, {}};
    const QByteArray content = std::get<QByteArray>(read);
    const QString name = image::imageName(path);
    const image::Format format = options.format.value_or(image::detectFormat(content));
    if (format == image::Format::IntelHex && options.sections.isEmpty())
        return loadIntelHex(path, content, options);

    auto converted =
        image::readImage(content, {options.format, options.baseAddress, options.sections});
    if (auto *error = std::get_if<image::ImageError>(&converted)) {
        // A binary that happens to begin like another format is read as that;
        // a section's name that matches nothing is no such case.
        const bool detected = !options.format && format != image::Format::Binary;
        const QString hint = !detected || !options.sections.isEmpty()
                                 ? QString()
                                 : QStringLiteral(" (read as %1 by its content; "
                                                  "--format chooses another)")
                                       .arg(image::formatName(format));
        return ImageRefusal{
            QStringLiteral("refused %1: %2%3, nothing sent").arg(name, error->text, hint), {}};
    }
    image::LoadedImage &loaded = std::get<image::LoadedImage>(converted);
    const std::optional<image::StartAddress> start = loaded.start;
    const QString note = loaded.note;
    const QList<image::AddressRange> headersLeftOut = loaded.headersLeftOut;
    image::HexRecordLines records(std::move(loaded.memory), options.recordBytes);
    FlashImage image;
    image.format = loaded.format;
    image.figures = image::computeFigures(loaded.format, records);
    image.figures->start = start; // shown, never sent: records hold data only
    image.figures->note = note;
    image.figures->headersLeftOut = headersLeftOut;
    if (records.count() > TextLines::kUnlimited) {
        return ImageRefusal{QStringLiteral("refused %1: %2 records are more than a transfer counts")
                                .arg(name)
                                .arg(records.count()),
                            {}};
    }
    image.lines = std::make_shared<const image::HexRecordLines>(std::move(records));
    return image;
}

} // namespace corvanel::image
