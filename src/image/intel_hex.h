#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace corvanel {

// Intel HEX record types.
namespace hexrecord {
inline constexpr quint8 kData = 0x00;
inline constexpr quint8 kEndOfFile = 0x01;
inline constexpr quint8 kExtendedSegmentAddress = 0x02;
inline constexpr quint8 kStartSegmentAddress = 0x03;
inline constexpr quint8 kExtendedLinearAddress = 0x04;
inline constexpr quint8 kStartLinearAddress = 0x05;
} // namespace hexrecord

// One Intel HEX record, decoded.
struct HexRecord {
    quint8 type = 0;
    quint16 offset = 0;
    QByteArray data;
};

// The value of one hex digit, upper or lower case; -1 for any other character.
int hexDigitValue(char c);
// A byte as two upper-case hex digits.
QString hexByteText(int value);

// Reads one line as a record: the start code (':' in a file and a download
// message, '#' in a verify message), hex digit pairs, a byte count that
// matches the data present, a known type (00 to 05) with its fixed length,
// and a checksum that sums to zero. The transfer never parses the image (the
// bootloader does); this serves whoever checks a file or plays the device.
// On failure `problem` says what is wrong, in words an operator can act on.
std::optional<HexRecord> parseHexRecord(QByteArrayView line, char startCode, QString *problem);

} // namespace corvanel
