#include "common/ipv4_address.h"

#include "common/numbers.h"

namespace corvanel {

namespace {

bool isDecimalDigit(QChar c)
{
    return c >= u'0' && c <= u'9';
}

bool isHexDigit(QChar c)
{
    return isDecimalDigit(c) || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

// A part of a dotted text that a resolver would read as a number: decimal
// digits (octal with a leading zero), or "0x" and hex digits (none counts).
bool looksNumeric(QStringView part)
{
    if (part.startsWith(u"0x") || part.startsWith(u"0X")) {
        for (const QChar c : part.mid(2)) {
            if (!isHexDigit(c))
                return false;
        }
        return true;
    }
    for (const QChar c : part) {
        if (!isDecimalDigit(c))
            return false;
    }
    return true;
}

} // namespace

std::optional<quint32> parseIpv4(QStringView text)
{
    quint32 address = 0;
    int parts = 0;
    for (const QStringView part : text.tokenize(u'.')) {
        if (++parts > 4 || part.isEmpty() || part.size() > 3 ||
            (part.size() > 1 && part.front() == u'0'))
            return std::nullopt;
        const auto value = parseWholeNumber(part, 0, 255);
        if (!value)
            return std::nullopt;
        address = (address << 8) | quint32(*value);
    }
    if (parts != 4)
        return std::nullopt;
    return address;
}

QString ipv4Text(quint32 address)
{
    return QStringLiteral("%1.%2.%3.%4")
        .arg(address >> 24)
        .arg((address >> 16) & 0xFF)
        .arg((address >> 8) & 0xFF)
        .arg(address & 0xFF);
}

HostText readHostText(QStringView text)
{
    HostText result;
    if (text.isEmpty()) {
        result.problem = QStringLiteral("no host name or address");
        return result;
    }
    if (const auto address = parseIpv4(text)) {
        result.kind = HostText::Kind::Address;
        result.address = *address;
        return result;
    }
    bool numeric = true;
    for (const QStringView part : text.tokenize(u'.'))
        numeric = numeric && looksNumeric(part);
    if (numeric) {
        result.problem = QStringLiteral("not an IPv4 address: write four decimal numbers from "
                                        "0 to 255 without leading zeros, A.B.C.D");
        return result;
    }
    for (const QChar c : text) {
        if (c.unicode() > 127 || !(c.isLetterOrNumber() || c == u'-' || c == u'_' || c == u'.')) {
            result.problem = QStringLiteral("not a host name or IPv4 address");
            return result;
        }
    }
    result.kind = HostText::Kind::Name;
    return result;
}

} // namespace corvanel
