#pragma once

#include <QByteArrayView>
#include <QList>
#include <QString>

namespace corvanel::image {

// One line of an image that is not a sound Intel HEX record, or a fault of
// the file as a whole (no end-of-file record), numbered as an editor numbers
// the file's lines (from 1).
struct HexProblem {
    int line = 0;
    QString problem;

    bool operator==(const HexProblem &) const = default;
};

// Reads the records of an Intel HEX file (intelHexRecords() of its content)
// as Intel HEX: record syntax (":" then hex digit pairs), byte count against
// the data actually present, checksum, record types 00 to 05 with their fixed
// lengths, and exactly one end-of-file record, last: after it, a line that is
// not blank is refused (blank ones are, as intelHexRecords() drops what may
// follow the record, followed by such a line). The
// transfer itself never parses the image (the bootloader does); this lets a
// script refuse a damaged file before a single line reaches a device.
// Returns every bad line, in file order; empty when the image is sound.
// After this many bad lines the check stops, with one last entry saying so:
// a binary file given as Intel HEX must not fill memory with complaints.
inline constexpr qsizetype kMaxHexProblems = 1000;
// Empty or spaces and tabs only.
bool isBlankLine(QByteArrayView line);
// What is said of a line after the end-of-file record.
QString afterEndOfFile(qint64 endOfFileLine);
QList<HexProblem> checkIntelHex(QByteArrayView text, qsizetype maxProblems = kMaxHexProblems);

} // namespace corvanel::image
