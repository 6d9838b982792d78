#include "flash/hex_check.h"

#include <QtGlobal>

namespace corvanel::flash {

namespace {

enum RecordType : int {
    kData = 0x00,
    kEndOfFile = 0x01,
    kExtendedSegmentAddress = 0x02,
    kStartSegmentAddress = 0x03,
    kExtendedLinearAddress = 0x04,
    kStartLinearAddress = 0x05,
};

// Count, two address bytes, type, checksum.
constexpr int kRecordOverhead = 5;

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

QString hexByte(int value)
{
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

QString printable(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (u > ' ' && u < 0x7f)
        return QStringLiteral("'%1'").arg(QLatin1Char(c));
    if (u == ' ')
        return QStringLiteral("a space");
    return QStringLiteral("byte 0x") + hexByte(u);
}

// The fixed data length of each record type other than data (-1: any).
int requiredLength(int type)
{
    switch (type) {
    case kEndOfFile:
        return 0;
    case kExtendedSegmentAddress:
    case kExtendedLinearAddress:
        return 2;
    case kStartSegmentAddress:
    case kStartLinearAddress:
        return 4;
    default:
        return -1;
    }
}

struct Record {
    int type = -1;
    QString problem; // empty when the record is sound
};

Record checkRecord(QByteArrayView line)
{
    Record r;
    if (line.isEmpty()) {
        r.problem = QStringLiteral("empty line");
        return r;
    }
    if (line.front() != ':') {
        r.problem =
            QStringLiteral("does not start with ':' (starts with %1)").arg(printable(line.front()));
        return r;
    }
    const QByteArrayView digits = line.sliced(1);
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (hexValue(digits[i]) < 0) {
            r.problem = QStringLiteral("%1 at column %2 is not a hex digit")
                            .arg(printable(digits[i]))
                            .arg(i + 2);
            return r;
        }
    }
    if (digits.size() % 2 != 0) {
        r.problem = QStringLiteral("odd number of hex digits (%1)").arg(digits.size());
        return r;
    }
    const qsizetype byteCount = digits.size() / 2;
    if (byteCount < kRecordOverhead) {
        r.problem = QStringLiteral("record too short: %1 bytes, a record has at least %2 "
                                   "(count, address, type, checksum)")
                        .arg(byteCount)
                        .arg(kRecordOverhead);
        return r;
    }
    int sum = 0;
    QList<int> bytes;
    bytes.reserve(byteCount);
    for (qsizetype i = 0; i < byteCount; ++i) {
        const int b = hexValue(digits[2 * i]) * 16 + hexValue(digits[2 * i + 1]);
        bytes.append(b);
        sum += b;
    }
    const int declared = bytes.front();
    const qsizetype present = byteCount - kRecordOverhead;
    if (declared != present) {
        r.problem = QStringLiteral("byte count %1 (%2) but the record holds %3 data bytes")
                        .arg(hexByte(declared))
                        .arg(declared)
                        .arg(present);
        return r;
    }
    const int type = bytes[3];
    if (type > kStartLinearAddress) {
        r.problem = QStringLiteral("unknown record type %1 (known: 00 to 05)").arg(hexByte(type));
        return r;
    }
    r.type = type;
    if ((sum & 0xff) != 0) {
        const int stored = bytes.back();
        const int expected = (stored - sum) & 0xff;
        r.problem = QStringLiteral("checksum %1 is wrong, it should be %2")
                        .arg(hexByte(stored), hexByte(expected));
        return r;
    }
    const int required = requiredLength(type);
    if (required >= 0 && declared != required) {
        r.problem = QStringLiteral("a record of type %1 carries %2 data bytes, not %3")
                        .arg(hexByte(type))
                        .arg(required)
                        .arg(declared);
        return r;
    }
    return r;
}

} // namespace

QList<QByteArrayView> splitHexLines(QByteArrayView text)
{
    QList<QByteArrayView> lines;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        const qsizetype next = end < 0 ? text.size() : end + 1;
        if (end < 0)
            end = text.size();
        QByteArrayView line = text.sliced(start, end - start);
        if (line.endsWith('\r'))
            line.chop(1);
        lines.append(line);
        start = next;
    }
    return lines;
}

QList<HexProblem> checkIntelHex(QByteArrayView text)
{
    QList<HexProblem> problems;
    const QList<QByteArrayView> lines = splitHexLines(text);
    if (lines.isEmpty()) {
        problems.append(
            {1, QStringLiteral("the file is empty: no records and no end-of-file record")});
        return problems;
    }

    int endOfFileLine = 0; // the first end-of-file record
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const int number = static_cast<int>(i) + 1;
        const Record record = checkRecord(lines[i]);
        if (!record.problem.isEmpty()) {
            problems.append({number, record.problem});
        } else if (endOfFileLine > 0) {
            // The bootloader ends its pass at the first end-of-file record;
            // anything after it would be sent as part of the next pass.
            problems.append(
                {number, QStringLiteral("record after the end-of-file record of line %1")
                             .arg(endOfFileLine)});
        }
        if (record.type == kEndOfFile && record.problem.isEmpty() && endOfFileLine == 0)
            endOfFileLine = number;
    }
    if (endOfFileLine == 0) {
        const int last = static_cast<int>(lines.size());
        problems.append({last, QStringLiteral("no end-of-file record: the file ends here without "
                                              "\":00000001FF\"")});
    }
    return problems;
}

} // namespace corvanel::flash
