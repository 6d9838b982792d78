#pragma once

#include <QByteArray>
#include <QIODevice>

#include <optional>

namespace corvanel {

// Sequential field input over a byte stream, as both the image loader and the
// address list read their files: a field ends at a comma or at a line end
// (CR LF or LF); leading spaces are skipped; a field that begins with a double
// quote runs to the closing quote and loses the quotes (anything between the
// closing quote and the next comma or line end is dropped). Bytes in, bytes
// out: nothing is decoded and no byte of a field is changed. A lone CR is an
// ordinary byte, except as the very last byte of the stream, where it is taken
// as a CR LF cut short.
//
// The device is read in large blocks, never byte by byte. Only the block and
// the current field are held in memory.
class FieldReader {
public:
    // `maxFieldBytes` bounds the raw text of one field (leading spaces and
    // quotes included, its line end not), so a huge file with no line end
    // fails fast instead of filling memory.
    explicit FieldReader(QIODevice &device, qsizetype maxFieldBytes);

    // True when no byte is left to read, or when reading has failed (see
    // error()). May read the next block from the device.
    bool atEnd();

    // Reads one field into `field` (its old contents are replaced, its storage
    // reused). False on a read error, a field longer than maxFieldBytes, or a
    // read with no byte left (see error()); `field` is then empty.
    bool readField(QByteArray &field);
    std::optional<QByteArray> readField();

    // After readField() failed with Error::FieldTooLong: drops the rest of that
    // field, up to and including the comma or line end that closes it, and
    // clears the error so that the next field can be read. Only the current
    // block is held meanwhile, however long the field runs. False, with the
    // error kept, in any other state or when the device fails. A caller for
    // which an over-long field ends the file simply never calls it.
    bool skipTooLongField();

    enum class Error { None, ReadFailed, FieldTooLong, PastEnd };
    Error error() const { return error_; }

private:
    // Where in a field the reader stopped when the field grew too long, so
    // that skipping knows whether a comma or line end still ends it.
    enum class Part { Spaces, Unquoted, Quoted, AfterQuote, Done };

    bool tooLong(Part part);
    bool fill();
    bool fail(Error error);
    bool readFieldInto(QByteArray &field);
    bool readUnquoted(QByteArray &field, qsizetype raw);
    bool readQuoted(QByteArray &field, qsizetype raw);

    QIODevice &device_;
    const qsizetype maxFieldBytes_;
    QByteArray block_;  // allocated once, refilled from the device
    qsizetype len_ = 0; // bytes of block_ that hold data
    qsizetype pos_ = 0; // next unread byte in block_
    bool deviceDone_ = false;
    Error error_ = Error::None;
    Part tooLongPart_ = Part::Done;
};

} // namespace corvanel
