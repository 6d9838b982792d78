#include "image/image_figures.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <QCryptographicHash>

#include <zlib.h>

namespace corvanel::image {

quint32 crc32(QByteArrayView bytes, quint32 crc)
{
    // zlib's: already a dependency of Qt Core, and its braided tables beat
    // anything simple. It takes no bytes at a null pointer for a fresh start.
    if (bytes.isEmpty())
        return crc;
    return quint32(
        ::crc32_z(crc, reinterpret_cast<const Bytef *>(bytes.data()), z_size_t(bytes.size())));
}

ImageFigures computeFigures(Format format, const HexRecordLines &lines)
{
    return computeFigures(format, lines.image(), lines.count());
}

ImageFigures computeFigures(Format format, const MemoryImage &image, qint64 recordCount)
{
    ImageFigures figures;
    figures.formatName = formatName(format);
    figures.recordCount = recordCount;
    figures.ranges = image.ranges();
    figures.dataBytes = image.byteCount();
    QCryptographicHash sha(QCryptographicHash::Sha256);
    quint32 crc = 0;
    for (const Segment &segment : image.segments()) {
        crc = crc32(segment.bytes(), crc);
        sha.addData(segment.bytes());
    }
    figures.crc32 = crc;
    figures.sha256 = sha.result();
    return figures;
}

namespace {

QString rangeText(const AddressRange &range)
{
    return QStringLiteral("%1-%2").arg(hexAddress(range.start), hexAddress(range.last()));
}

} // namespace

QString infoText(const QString &imagePath, const ImageFigures &figures)
{
    QStringList ranges;
    for (const AddressRange &range : figures.ranges)
        ranges << QStringLiteral("  %1  %2 bytes").arg(rangeText(range)).arg(range.size);
    QString text = QStringLiteral("image:      %1\n"
                                  "format:     %2\n"
                                  "records:    %3\n"
                                  "data bytes: %4\n"
                                  "crc32:      %5\n"
                                  "sha256:     %6\n")
                       .arg(imagePath == QLatin1String("-") ? QStringLiteral("(standard input)")
                                                            : QDir::toNativeSeparators(imagePath),
                            figures.formatName)
                       .arg(figures.recordCount)
                       .arg(figures.dataBytes)
                       .arg(hexAddress(figures.crc32), QString::fromLatin1(figures.sha256.toHex()));
    if (figures.start) {
        text += QStringLiteral("start:      %1 (%2), %3\n")
                    .arg(figures.start->text(), figures.start->source(),
                         figures.startSent ? QStringLiteral("sent as the file has it")
                                           : QStringLiteral("not sent (converted images send "
                                                            "data records only)"));
    }
    if (!figures.note.isEmpty())
        text += QStringLiteral("note:       %1\n").arg(figures.note);
    for (const AddressRange &range : figures.headersLeftOut) {
        text += QStringLiteral("not sent:   %1 (%2 bytes), the ELF and program headers\n")
                    .arg(rangeText(range))
                    .arg(range.size);
    }
    return text + QStringLiteral("ranges:\n%1\n").arg(ranges.join(QLatin1Char('\n')));
}

QByteArray infoJson(const QString &imagePath, const ImageFigures &figures)
{
    const auto rangeArray = [](const QList<AddressRange> &list) {
        QJsonArray array;
        for (const AddressRange &range : list) {
            array.append(QJsonObject{{QStringLiteral("start"), hexAddress(range.start)},
                                     {QStringLiteral("end"), hexAddress(range.last())},
                                     {QStringLiteral("bytes"), range.size}});
        }
        return array;
    };
    QJsonValue start(QJsonValue::Null);
    if (figures.start) {
        start = QJsonObject{{QStringLiteral("address"), figures.start->text()},
                            {QStringLiteral("source"), figures.start->source()},
                            {QStringLiteral("sent"), figures.startSent}};
    }
    const QJsonObject root{
        {QStringLiteral("image"), imagePath},
        {QStringLiteral("format"), figures.formatName},
        {QStringLiteral("records"), figures.recordCount},
        {QStringLiteral("dataBytes"), figures.dataBytes},
        {QStringLiteral("crc32"), hexAddress(figures.crc32)},
        {QStringLiteral("sha256"), QString::fromLatin1(figures.sha256.toHex())},
        {QStringLiteral("start"), start},
        {QStringLiteral("note"),
         figures.note.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(figures.note)},
        {QStringLiteral("headersNotSent"), rangeArray(figures.headersLeftOut)},
        {QStringLiteral("ranges"), rangeArray(figures.ranges)},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented);
}

} // namespace corvanel::image
