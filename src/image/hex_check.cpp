#include "image/hex_check.h"

#include "image/intel_hex.h"
#include "image/line_cursor.h"

#include <QtGlobal>

namespace corvanel::image {

namespace {

struct Record {
    int type = -1;
    QString problem; // empty when the record is sound
};

Record checkRecord(QByteArrayView line)
{
    Record r;
    if (const auto record = parseHexRecord(line, ':', &r.problem))
        r.type = record->type;
    return r;
}

} // namespace

QList<QByteArrayView> splitHexLines(QByteArrayView text)
{
    QList<QByteArrayView> lines;
    LineCursor cursor(text);
    QByteArrayView line;
    while (cursor.next(line))
        lines.append(line);
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
        if (record.type == hexrecord::kEndOfFile && record.problem.isEmpty() && endOfFileLine == 0)
            endOfFileLine = number;
    }
    if (endOfFileLine == 0) {
        const int last = static_cast<int>(lines.size());
        problems.append({last, QStringLiteral("no end-of-file record: the file ends here without "
                                              "\":00000001FF\"")});
    }
    return problems;
}

} // namespace corvanel::image
