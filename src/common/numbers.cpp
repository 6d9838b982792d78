#include "common/numbers.h"

namespace corvanel {

std::optional<qint64> parseWholeNumber(QStringView text, qint64 lowest, qint64 highest,
                                       NumberBase base)
{
    QStringView digits = text.trimmed();
    int radix = 10;
    if (base == NumberBase::DecimalOrHex &&
        (digits.startsWith(u"0x") || digits.startsWith(u"0X"))) {
        digits = digits.mid(2);
        radix = 16;
    }
    // Far more digits than any value here needs would only overflow.
    if (digits.isEmpty() || digits.size() > 18)
        return std::nullopt;
    qint64 value = 0;
    for (const QChar c : digits) {
        const int digit =
            c.isDigit() && c.unicode() < 128                          ? c.unicode() - '0'
            : radix == 16 && c.unicode() >= 'a' && c.unicode() <= 'f' ? c.unicode() - 'a' + 10
            : radix == 16 && c.unicode() >= 'A' && c.unicode() <= 'F' ? c.unicode() - 'A' + 10
                                                                      : -1;
        if (digit < 0)
            return std::nullopt;
        value = value * radix + digit;
    }
    if (value < lowest || value > highest)
        return std::nullopt;
    return value;
}

} // namespace corvanel
