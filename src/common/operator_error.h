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

// A failure the operator is told about, as a value: what failed, on which
// file, host or port, and why. Shared code returns these; each front end
// words them in its own voice (the window's "Error#" boxes, the flasher's
// "corvanel-flash: FILE:LINE: message").
struct OperatorError {
    enum class What : quint8 {
        ReadImage,     // the image file `subject` could not be read
        SaveAddresses, // the address list could not be written to `subject`
        RemotePort,    // `subject` is not a port from 1 to 65535
        LocalPort,     // `subject` is not a port from 0 to 65535
        NoHost,        // no remote host was given
        NotIPv4,       // the remote host `subject` is not an IPv4 address
        HostNotFound,  // the remote host `subject` was not found
        NotADevice,    // `subject` is no device's address (0.0.0.0)
        ManyHosts,     // `subject` is a broadcast or multicast address, not one device
        Bind,          // the local port `subject` could not be bound
    };

    int number = 0;
    What what = What::ReadImage;
    QString subject{}; // the file, host or port, as given
    QString reason{};  // why, in lower case: the system's words or ours; may be empty
    int line = 0;      // the file's line it concerns; 0: none

    // The title of the "Error#" box: the word and the number with no space.
    QString title() const { return QStringLiteral("Error#") + QString::number(number); }
};

} // namespace corvanel
