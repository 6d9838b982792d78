#pragma once

// Builds Intel HEX records for tests, checksum included.

#include <QByteArray>
#include <QList>

namespace corvanel::testing {

inline QByteArray hexRecord(quint8 type, quint16 offset, const QByteArray &data,
                            char startCode = ':')
{
    QByteArray bytes;
    bytes.append(static_cast<char>(data.size()));
    bytes.append(static_cast<char>(offset >> 8));
    bytes.append(static_cast<char>(offset & 0xFF));
    bytes.append(static_cast<char>(type));
    bytes.append(data);
    quint8 sum = 0;
    for (const char c : bytes)
        sum = static_cast<quint8>(sum + static_cast<quint8>(c));
    bytes.append(static_cast<char>(static_cast<quint8>(0x100 - sum)));
    return startCode + bytes.toHex().toUpper();
}

inline QByteArray eofRecord(char startCode = ':')
{
    return hexRecord(0x01, 0, {}, startCode);
}

// A small image: `dataRecords` records of 16 bytes from address 0, then the
// end-of-file record.
inline QList<QByteArray> smallImage(int dataRecords)
{
    QList<QByteArray> lines;
    for (int i = 0; i < dataRecords; ++i) {
        QByteArray data(16, Qt::Uninitialized);
        for (int j = 0; j < data.size(); ++j)
            data[j] = static_cast<char>(i * 16 + j);
        lines.append(hexRecord(0x00, static_cast<quint16>(i * 16), data));
    }
    lines.append(eofRecord());
    return lines;
}

} // namespace corvanel::testing
