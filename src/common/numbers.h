#pragma once

#include <QStringView>
#include <QtGlobal>

#include <chrono>
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

// Seconds as the flasher's time options take them: a whole or fractional
// number greater than zero, at most a day, rounded up to whole milliseconds
// (so that a tiny time is never zero). Empty when the text is none.
std::optional<std::chrono::milliseconds> parseSeconds(QStringView text);

} // namespace corvanel
