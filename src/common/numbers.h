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

// A whole number from `lowest` to `highest`, written as digits and nothing
// else: no blanks, no sign, no fraction, no exponent, no digit past 64 bits.
// Leading zeros are allowed and mean nothing (never octal). Empty when the
// text is anything else; callers that take a box's text trim it first.
std::optional<quint64> parseWholeNumber(QStringView text, quint64 lowest, quint64 highest,
                                        NumberBase base = NumberBase::Decimal);

} // namespace corvanel
