#include "image/hex_check.h"

#include "image/intel_hex.h"
#include "image/line_cursor.h"

#include <QtGlobal>

#include <algorithm>

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

bool isBlankLine(QByteArrayView line)
{
    return std::all_of(line.begin(), line.end(), [](char c) { return c == ' ' || c == '\t'; });
}

QString afterEndOfFile(qint64 endOfFileLine)
{
    return QStringLiteral("after the end-of-file record of line %1 only blank lines, spaces and "
                          "one DOS end-of-file byte (0x1A) may follow")
        .arg(endOfFileLine);
}

QList<HexProblem> checkIntelHex(QByteArrayView text, qsizetype maxProblems)
{
    QList<HexProblem> problems;
    LineCursor lines(text);
    QByteArrayView line;
    int endOfFileLine = 0; // the first end-of-file record
    while (lines.next(line)) {
        const int number = int(lines.number());
        if (problems.size() >= maxProblems) {
            problems.append({number, QStringLiteral("the check stops here: too many bad lines")});
            return problems;
        }
        if (endOfFileLine > 0) {
            // The bootloader ends its pass at the first end-of-file record;
            // anything after it would be sent as part of the next pass.
            if (!isBlankLine(line))
                problems.append({number, afterEndOfFile(endOfFileLine)});
            continue;
        }
        const Record record = checkRecord(line);
        if (!record.problem.isEmpty())
            problems.append({number, record.problem});
        if (record.type == hexrecord::kEndOfFile && record.problem.isEmpty() && endOfFileLine == 0)
            endOfFileLine = number;
    }
    if (lines.number() == 0) {
        problems.append(
            {1, QStringLiteral("the file is empty: no records and no end-of-file record")});
    } else if (endOfFileLine == 0) {
        problems.append({int(lines.number()),
                         QStringLiteral("no end-of-file record: the file ends here without "
                                        "\":00000001FF\"")});
    }
    return problems;
}

} // namespace corvanel::image
