#pragma once

#include <QIODevice>
#include <QString>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace corvanel::records {

// Milliseconds since 1970-01-01T00:00Z.
using EpochMs = qint64;

// A record's time as the writers put it, "2025-03-01T08:15:02.125Z": the
// fraction may be missing or longer, the zone may be "Z" or "+01:00"; a time
// without a zone is UTC.
std::optional<EpochMs> parseRecordTime(std::string_view text);

// "aa:bb:cc:dd:ee:ff" (or with '-', either case) as 48 bits; anything else
// is not a MAC address.
std::optional<quint64> macAddressBits(std::string_view text);
// The canonical form: lower case, ':' between bytes.
QString macAddressText(quint64 bits);

// A report's name as errors and bad lines show it: "-" is standard input.
QString shownInput(const QString &path);

// One attempt as a line of the report holds it. The texts point into the line
// or, where the line escapes characters, into the decoder's own buffers: they
// stay valid until the next line is decoded.
struct AttemptLine {
    std::string_view station, host, result, phase, reason, image, sha256, mac;
    int port = 0;
    int board = 0; // 0: not continuous
    int attempt = 1;
    int maxAttempts = 1;
    bool installed = false;
    bool dryRun = false;
    bool hasSha256 = false;
    bool hasMac = false;
    double seconds = 0;
    EpochMs start = 0;
    EpochMs end = 0; // start + seconds where the record has no end
};

// Reads one line of JSON Lines as an attempt record, strictly (one JSON
// object, the fields in their types), without building a document: a report
// of a million lines is read in well under a second.
class AttemptDecoder {
public:
    // Empty when the line is a record; otherwise what is wrong with it.
    std::optional<QString> decode(std::string_view line, AttemptLine &out);

    enum Field : int {
        SchemaVersion,
        Station,
        Host,
        Port,
        Board,
        Mac,
        Image,
        ImageSha256,
        Result,
        Phase,
        Attempt,
        MaxAttempts,
        Installed,
        Seconds,
        Start,
        End,
        Reason,
        DryRun,
        FieldCount
    };
    struct Value {
        enum Kind : unsigned char { Missing, String, Number, Bool, Null, Nested };
        Kind kind = Missing;
        bool escaped = false;
        bool truth = false;
        std::string_view raw; // a string between its quotes, escapes still in; a number
    };

private:
    std::string_view text(Field field);

    std::array<Value, FieldCount> values_{};
    std::array<std::string, FieldCount> unescaped_{};
};

// A report read line by line in a fixed buffer, from a file or a pipe: lines
// of any number, each at most kMaxLine bytes (a longer one is passed over and
// said to be too long).
class LineReader {
public:
    static constexpr qsizetype kMaxLine = 1 << 20;

    explicit LineReader(QIODevice &device);
    // The next line, without its line end ('\n', and a '\r' before it);
    // false at the end of the input or when it cannot be read (error()).
    bool next(std::string_view &line);
    qint64 lineNumber() const { return number_; }
    qint64 lineOffset() const { return offset_; } // of the line's first byte
    bool tooLong() const { return tooLong_; }
    bool unfinished() const { return unfinished_; } // the last line had no line end
    const QString &error() const { return error_; }

private:
    bool fill();

    QIODevice &device_;
    std::vector<char> buffer_;
    qsizetype begin_ = 0; // the next line's first byte in the buffer
    qsizetype end_ = 0;   // bytes in the buffer
    qint64 consumed_ = 0; // input bytes before buffer_[0]
    qint64 number_ = 0;
    qint64 offset_ = 0;
    bool tooLong_ = false;
    bool unfinished_ = false;
    bool atEnd_ = false;
    QString error_;
};

} // namespace corvanel::records
