#pragma once

#include "records/shift_summary.h"

#include <QByteArray>
#include <QHash>
#include <QIODevice>
#include <QJsonObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QFile;

namespace corvanel::records {

// A board about to be flashed, as --skip-done asks about it.
struct DoneQuery {
    QString imageSha256;        // the image's SHA-256 in hexadecimal, as the records write it
    std::optional<QString> mac; // the board's MAC address, where the neighbour table knows it
    QString station;            // this run's station
    QString host;               // as the records write it (the HOST as given)
    quint16 port = 0;
    int board = 0;              // continuous: the board's number in its lane; 0 otherwise
    bool installWanted = false; // --install: only a record of an installed board counts
};

// The boards a report says are done: for each board, its last record. A
// board is known by its MAC address where its record has one, and, outside
// continuous runs, by station and host:port (a fixture of a continuous run
// holds board after board, so there the address names no board).
//
// A board counts as done with an image when its last record, of any image,
// is a flash of that image (SHA-256) that ended in END, installed when the
// install is wanted. Its last record of any image: a board flashed with
// another image since no longer holds the first, and a later failed attempt
// may have left its flash half written. Dry runs and SKIPPED records change
// nothing on a board and are passed over.
//
// Memory per board is a few dozen bytes: a record relied on is read back
// from its file when asked for (the file stays open, so it is found also
// after the report was renamed); from standard input it is kept.
class DoneIndex {
public:
    DoneIndex();
    ~DoneIndex();
    DoneIndex(const DoneIndex &) = delete;
    DoneIndex &operator=(const DoneIndex &) = delete;

    // Reads a report ("-": standard input); records read later count as
    // later. Bad lines are counted, never fatal; the error names a file
    // that cannot be read.
    std::optional<QString> addReport(const QString &path);
    std::optional<QString> add(const QString &name, QIODevice &device);

    // The record relied on for not flashing the board again (the JSON
    // object as it stands in the report), or nothing: flash it.
    //
    // A query with a MAC address finds the board by it. Outside continuous
    // runs, a board the report does not know by that MAC address is found
    // by station and host:port, through a record that knows no MAC address.
    // A continuous board without a MAC address is never taken as done.
    std::optional<QJsonObject> lookup(const DoneQuery &query) const;

    qint64 records() const { return records_; }
    qint64 badLines() const { return badLines_; }
    const QList<BadLine> &namedBadLines() const { return namedBadLines_; }

private:
    // A board's last record, in 32 bytes: where to read it back, and what
    // the query needs of it.
    struct Entry {
        qint64 offset = 0; // in its file; from standard input: the index in raw_
        quint64 mac = 0;   // the record's MAC address as bits, kMacKnown set; 0: none
        qint32 length = 0;
        qint32 image = -1;  // in sha256_; -1: unknown
        qint16 source = -1; // in files_; -1: kept in raw_
        bool ended = false;
        bool installed = false;
    };
    static constexpr quint64 kMacKnown = quint64(1) << 63;
    static constexpr quint64 kMacUnreadable = quint64(1) << 62;

    std::optional<QString> read(const QString &name, QIODevice &device, int source);
    std::optional<QJsonObject> recordOf(const Entry &entry) const;
    std::optional<QJsonObject> decide(const Entry &entry, const DoneQuery &query) const;
    int imageIndex(QByteArrayView sha256);

    QHash<quint64, Entry> byMac_;
    QHash<QByteArray, Entry> byText_; // station and host:port; a MAC address not read as one
    QList<QByteArray> sha256_;        // the images seen, lower case
    QHash<QByteArray, int> imageIndex_;
    QList<QByteArray> raw_;
    std::vector<std::unique_ptr<QFile>> files_;
    qint64 records_ = 0;
    qint64 badLines_ = 0;
    QList<BadLine> namedBadLines_;
};

} // namespace corvanel::records
