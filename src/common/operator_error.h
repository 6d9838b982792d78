#pragma once

#include <QString>

namespace corvanel {

// Every failure the operator is told about carries one of these numbers. The
// numbering follows the classic BASIC runtime codes where one fits, and the
// Winsock codes for network failures, so that a number seen on a production
// line means the same thing on every platform.
namespace errnum {
inline constexpr int kSubscriptOutOfRange = 9; // image longer than the line table
inline constexpr int kLineTooLong = 14;        // a line that no datagram can carry
inline constexpr int kFileNotFound = 53;
inline constexpr int kDeviceIo = 57; // read or write failed part-way
inline constexpr int kPermissionDenied = 70;
inline constexpr int kPathAccess = 75;    // a directory, or another path problem
inline constexpr int kInvalidValue = 380; // a port box that does not hold a port
inline constexpr int kAddressInUse = 10048;
inline constexpr int kAddressNotAvailable = 10049;
inline constexpr int kNetworkError = 10050;
inline constexpr int kHostNotFound = 11001;
} // namespace errnum

struct OperatorError {
    int number = 0;
    QString text; // says what failed and names the file, address or port

    // The title of the "Error#" box: the word and the number with no space.
    QString title() const { return QStringLiteral("Error#") + QString::number(number); }
};

} // namespace corvanel
