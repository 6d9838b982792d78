#include "image/image_loader.h"

#include "common/field_reader.h"
#include "engine/protocol.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace corvanel {

namespace {

// The table's text is reserved from the file size in one go, but never more
// than this: a huge file must not cost memory before its first line has even
// been looked at. Real 9000-line images are well below it.
constexpr qint64 kMaxReserveBytes = 8 * 1024 * 1024;

OperatorError fileError(int number, const QString &path, const QString &why, int line = 0)
{
    return OperatorError{number, OperatorError::What::ReadImage, QDir::toNativeSeparators(path),
                         why, line};
}

} // namespace

std::variant<TextLines, OperatorError> readImageFile(const QString &path, int maxLines)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists())
        return fileError(errnum::kFileNotFound, path, QStringLiteral("file not found."));
    if (info.isDir())
        return fileError(errnum::kPathAccess, path,
                         QStringLiteral("this is a folder, not a file."));
    // A FIFO or a device could block the window or never end.
    if (!info.isFile())
        return fileError(errnum::kPathAccess, path, QStringLiteral("this is not a regular file."));

    QFile file(path); // closed by its destructor on every path
    if (!file.open(QIODevice::ReadOnly)) {
        const int number = info.isReadable() ? errnum::kPathAccess : errnum::kPermissionDenied;
        return fileError(
            number, path,
            QStringLiteral("cannot open it for reading (%1).").arg(file.errorString()));
    }
    return readImageLines(file, path, maxLines);
}

std::variant<TextLines, OperatorError> readImageLines(QIODevice &file, const QString &path,
                                                      int maxLines)
{
    TextLines table(maxLines);
    table.reserveBytes(qMin(file.size(), kMaxReserveBytes));
    FieldReader reader(file, protocol::kMaxLineLength);
    QByteArray line;
    // The end is tested before each read: an empty file is an image of no
    // lines, and a final line end adds no empty line.
    while (!reader.atEnd()) {
        if (!reader.readField(line))
            break;
        if (!table.append(line)) {
            return fileError(errnum::kSubscriptOutOfRange, path,
                             QStringLiteral("it has more than %1 lines, more than the line "
                                            "table holds.")
                                 .arg(maxLines));
        }
    }

    switch (reader.error()) {
    case FieldReader::Error::None:
    case FieldReader::Error::PastEnd:
        break;
    case FieldReader::Error::FieldTooLong:
        return fileError(errnum::kLineTooLong, path,
                         QStringLiteral("line %1 is longer than %2 bytes and cannot be sent in "
                                        "one datagram.")
                             .arg(table.count() + 1)
                             .arg(protocol::kMaxLineLength),
                         int(table.count()) + 1);
    case FieldReader::Error::ReadFailed:
        return fileError(errnum::kDeviceIo, path,
                         QStringLiteral("reading failed after line %1 (%2).")
                             .arg(table.count())
                             .arg(file.errorString()));
    }
    return table;
}

} // namespace corvanel
