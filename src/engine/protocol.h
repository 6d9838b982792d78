#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The bootloader's message formats and reply tokens. Every message is one UDP
// datagram: "BOOT", a payload, CR LF. Replies are classified by substring.
namespace corvanel::protocol {

inline constexpr QByteArrayView kPrefix = "BOOT";
inline constexpr QByteArrayView kLineEnd = "\r\n";
inline constexpr QByteArrayView kInquiry = "BOOTi\r\n";
inline constexpr QByteArrayView kInstall = "BOOTg\r\n";

inline constexpr QByteArrayView kTokenVersion = "VER=";
inline constexpr QByteArrayView kTokenError = "ERROR";
inline constexpr QByteArrayView kTokenPassEnd = "DOWNLOAD";
inline constexpr QByteArrayView kTokenOk = "OK";

inline constexpr int kDefaultRemotePort = 111;

// Largest UDP payload over IPv4, and the longest image line that still fits
// with its "BOOT" prefix and CR LF.
inline constexpr qsizetype kMaxDatagram = 65507;
inline constexpr qsizetype kMaxLineLength = kMaxDatagram - 6;

// "BOOT" + line + CR LF, the line exactly as stored.
QByteArray downloadLineMessage(QByteArrayView line);
// "BOOT" + line with every ':' made '#' + CR LF.
QByteArray verifyLineMessage(QByteArrayView line);

// Whether the line is an Intel HEX end-of-file record (":00AAAA01CC", any
// address and checksum digits): the record a bootloader answers with
// "DOWNLOAD" when it ends its pass there.
bool isEndOfFileRecord(QByteArrayView line);

// The reply less its trailing spaces (only code 32; CR, LF and tabs stay).
QByteArrayView trimTrailingSpaces(QByteArrayView reply);

enum class ReplyKind {
    Version, // "VER=" with an image loaded: the download begins
    Error,   // "ERROR": the device rejected the line
    PassEnd, // "DOWNLOAD": the device took the last line of a pass
    Ok,      // "OK": the next line is wanted
    Other,   // shown only
};

// Classifies an already trimmed reply in the fixed order VER=, ERROR,
// DOWNLOAD, OK. "VER=" counts only while an image is loaded.
ReplyKind classifyReply(QByteArrayView trimmed, bool imageLoaded);

} // namespace corvanel::protocol
