#pragma once

#include <QStringView>
#include <QtGlobal>

#include <optional>

namespace corvanel {

// How a number may be written.
enum class NumberBase {
    Decimal,      // digits only
    DecimalOrHex, // digits, or "0x" and hex digits
};

// A whole number from `lowest` to `highest`, as a port box, an option or a
// file gives it: surrounding blanks allowed, no sign, no fraction, no
// exponent. Empty when the text is anything else.
std::optional<qint64> parseWholeNumber(QStringView text, qint64 lowest, qint64 highest,
                                       NumberBase base = NumberBase::Decimal);

} // namespace corvanel
