#include "image/intel_hex.h"

namespace corvanel {

namespace {

// Count, two address bytes, type, checksum.
constexpr int kRecordOverhead = 5;

QString printable(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f)
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    if (u == ' ')
        return QStringLiteral("a space");
    return QStringLiteral("byte 0x") + hexByteText(u);
}

// The fixed data length of each record type other than data (-1: any).
int requiredLength(int type)
{
    switch (type) {
    case hexrecord::kEndOfFile:
        return 0;
    case hexrecord::kExtendedSegmentAddress:
    case hexrecord::kExtendedLinearAddress:
        return 2;
    case hexrecord::kStartSegmentAddress:
    case hexrecord::kStartLinearAddress:
        return 4;
    default:
        return -1;
    }
}

} // namespace

int hexDigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QString hexByteText(int value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

std::optional<HexRecord> parseHexRecord(QByteArrayView line, char startCode, QString *problem)
{
    const auto fail = [problem](const QString &why) -> std::optional<HexRecord> {
        if (problem)
            *problem = why;
        return std::nullopt;
    };
    if (line.isEmpty())
        return fail(QStringLiteral("empty line"));
    if (line.front() != startCode) {
        return fail(QStringLiteral("does not start with '%1' (starts with %2)")
                        .arg(QString(QLatin1Char(startCode)), printable(line.front())));
    }
    const QByteArrayView digits = line.sliced(1);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (hexDigitValue(digits[i]) < 0) {
            return fail(QStringLiteral("%1 at column %2 is not a hex digit")
                            .arg(printable(digits[i]))
                            .arg(i + 2));
        }
    }
    if (digits.size() % 2 != 0)
        return fail(QStringLiteral("odd number of hex digits (%1)").arg(digits.size()));
    const qsizetype byteCount = digits.size() / 2;
    if (byteCount < kRecordOverhead) {
        return fail(QStringLiteral("record too short: %1 bytes, a record has at least %2 "
                                   "(count, address, type, checksum)")
                        .arg(byteCount)
                        .arg(kRecordOverhead));
    }

    QByteArray bytes(byteCount, Qt::Uninitialized);
    int sum = 0;
    for (qsizetype i = 0; i < byteCount; ++i) {
        const int b = hexDigitValue(digits[2 * i]) * 16 + hexDigitValue(digits[2 * i + 1]);
        bytes[i] = static_cast<char>(b);
        sum += b;
    }
    const auto byteAt = [&bytes](qsizetype i) { return static_cast<quint8>(bytes[i]); };
    const int declared = byteAt(0);
    const qsizetype present = byteCount - kRecordOverhead;
    if (declared != present) {
        return fail(QStringLiteral("byte count %1 (%2) but the record holds %3 data bytes")
                        .arg(hexByteText(declared))
                        .arg(declared)
                        .arg(present));
    }
    const int type = byteAt(3);
    if (type > hexrecord::kStartLinearAddress)
        return fail(QStringLiteral("unknown record type %1 (known: 00 to 05)").arg(hexByteText(type)));
    if ((sum & 0xff) != 0) {
        const int stored = byteAt(byteCount - 1);
        const int expected = (stored - sum) & 0xff;
        return fail(QStringLiteral("checksum %1 is wrong, it should be %2")
                        .arg(hexByteText(stored), hexByteText(expected)));
    }
    const int required = requiredLength(type);
    if (required >= 0 && declared != required) {
        return fail(QStringLiteral("a record of type %1 carries %2 data bytes, not %3")
                        .arg(hexByteText(type))
                        .arg(required)
                        .arg(declared));
    }

    HexRecord record;
    record.type = static_cast<quint8>(type);
    record.offset = static_cast<quint16>((byteAt(1) << 8) | byteAt(2));
    record.data = bytes.sliced(4, declared);
    return record;
}

} // namespace corvanel
