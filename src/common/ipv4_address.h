#pragma once

#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <optional>

namespace corvanel {

// "A.B.C.D": four decimal numbers from 0 to 255, without leading zeros, and
// nothing else. Empty for any other text. Host byte order.
std::optional<quint32> parseIpv4(QStringView text);

// "A.B.C.D".
QString ipv4Text(quint32 address);

// A device's host as typed, read without asking any resolver.
struct HostText {
    enum class Kind {
        Address, // "A.B.C.D"
        Name,    // to be resolved
        Refused,
    };
    Kind kind = Kind::Refused;
    quint32 address = 0; // Kind::Address
    QString problem;     // Kind::Refused: what is wrong, without the text itself
};

// An address as parseIpv4() reads it; a host name (letters, digits, '-', '_'
// and dots); or refused. The system's resolver also reads short, octal,
// hexadecimal and single-number forms ("127.1", "0177.0.0.1", "0x7f.0.0.1",
// "2130706433"), each its own way, and a name resolver may be asked for what
// is none of them ("127.0.0.256"). So any text made only of dots, decimal
// numbers and "0x" numbers that is not A.B.C.D is refused here, before it
// can reach one.
HostText readHostText(QStringView text);

} // namespace corvanel
