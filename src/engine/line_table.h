#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <memory>

namespace corvanel {

// Lines made on demand, for images that are converted rather than read as
// text: a million records need not exist as text all at once.
class LineSource {
public:
    virtual ~LineSource() = default;
    virtual qint64 count() const = 0;
    // Line `index`, counted from 0.
    virtual QByteArray line(qint64 index) const = 0;
};

// The image's lines, numbered from 1 as the transfer counts them; slot 0 is
// never used. Either text lines kept in one buffer (a file read line by line;
// a 9000-line image costs little more than its file), or the lines of a
// LineSource. Copies share their storage, so every host of a run can hold
// the same image at no cost.
class LineTable {
public:
    // No limit but the transfer's line counter.
    static constexpr int kUnlimited = 0x7fffffff;

    explicit LineTable(int maxLines = kUnlimited) : maxLines_(maxLines) {}
    static LineTable fromSource(std::shared_ptr<const LineSource> source);

    int count() const;
    int maxLines() const { return maxLines_; }
    bool isFull() const { return count() >= maxLines_; }

    // Line `slot` (1 to count()); any other slot reads as an empty line, so no
    // caller can read outside the table. A text line shares the table's
    // buffer and stays valid while the table is unchanged.
    QByteArray line(int slot) const;

    // Stores a text line in the next slot; false (and nothing stored) when
    // full, or when the table holds the lines of a source.
    bool append(QByteArrayView line);

    void reserveBytes(qsizetype bytes) { text_.reserve(bytes); }
    qsizetype byteSize() const
    {
        return text_.capacity() + ends_.capacity() * qsizetype(sizeof(qsizetype));
    }

    void swap(LineTable &other) noexcept
    {
        text_.swap(other.text_);
        ends_.swap(other.ends_);
        source_.swap(other.source_);
        std::swap(maxLines_, other.maxLines_);
    }

private:
    QByteArray text_;       // every text line, back to back
    QList<qsizetype> ends_; // ends_[i] is where line i + 1 ends in text_
    std::shared_ptr<const LineSource> source_;
    int maxLines_;
};

} // namespace corvanel
