#pragma once

#include <QByteArray>
#include <QIODevice>

#include <optional>

namespace corvanel {

// Sequential field input over a byte stream, as both the image loader and the
// address list read their files: a field ends at a comma or at a line end
// (CR LF or LF); leading spaces are skipped; a field that begins with a double
// quote runs to the closing quote and loses the quotes. Bytes in, bytes out:
// nothing is decoded and no byte of a field is changed.
class FieldReader {
public:
    // `maxFieldBytes` bounds one field, so a huge file with no line end fails
    // fast instead of filling memory.
    explicit FieldReader(QIODevice &device, qsizetype maxFieldBytes);

    // True when no byte is left to read.
    bool atEnd() const;

    // Reads one field. Empty optional on a read error or when the field is
    // longer than maxFieldBytes (see error()).
    std::optional<QByteArray> readField();

    enum class Error { None, ReadFailed, FieldTooLong };
    Error error() const;

    // ... implementation details are the implementer's
};

} // namespace corvanel
