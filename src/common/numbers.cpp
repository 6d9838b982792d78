#include "common/numbers.h"

#include <QString>

#include <charconv>
#include <cmath>
#include <string>

namespace corvanel {

std::optional<quint64> parseWholeNumber(QStringView text, quint64 lowest, quint64 highest,
                                        NumberBase base)
{
    QStringView digits = text;
    int radix = 10;
    if (base == NumberBase::DecimalOrHex &&
        (digits.startsWith(u"0x") || digits.startsWith(u"0X"))) {
        digits = digits.mid(2);
        radix = 16;
    }
    // A sign is refused here, so that "-0" and "+1" never pass for numbers;
    // from_chars then reads ASCII digits, and anything left after them
    // (blanks, a second "0x", a letter) refuses the text.
    if (digits.isEmpty() || digits.front() == u'-' || digits.front() == u'+')
        return std::nullopt;
    std::string ascii;
    ascii.reserve(size_t(digits.size()));
    for (const QChar c : digits) {
        if (c.unicode() > 127)
            return std::nullopt;
        ascii.push_back(char(c.unicode()));
    }
    quint64 value = 0;
    const char *end = ascii.data() + ascii.size();
    const auto [stop, error] = std::from_chars(ascii.data(), end, value, radix);
    if (error != std::errc() || stop != end || value < lowest || value > highest)
        return std::nullopt;
    return value;
}

std::optional<std::chrono::milliseconds> parseSeconds(QStringView text)
{
    constexpr double kMaxSeconds = 24 * 60 * 60;
    bool ok = false;
    const double seconds = text.trimmed().toDouble(&ok);
    if (!ok || !std::isfinite(seconds) || seconds <= 0 || seconds > kMaxSeconds)
        return std::nullopt;
    return std::chrono::milliseconds(qint64(std::ceil(seconds * 1000.0)));
}

} // namespace corvanel
