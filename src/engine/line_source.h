#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>

#include <memory>

namespace corvanel {

// The image's lines as the transfer sends them, numbered from 1 as the
// transfer counts them. Implemented by the text lines of a file (TextLines)
// and by records made on demand from a converted image.
class LineSource {
public:
    virtual ~LineSource() = default;
    virtual qint64 count() const = 0;
    // Line `number` (1 to count()); any other number reads as an empty line,
    // so no caller can read outside the image.
    virtual QByteArray line(qint64 number) const = 0;
};

// An image shared by every transfer that sends it: the window's, or every
// host's of one run, at no cost per host.
using SharedLines = std::shared_ptr<const LineSource>;

// The lines a transfer counts: its counters are 32 bits wide, and the
// loaders refuse larger images.
inline int transferLineCount(const LineSource &lines)
{
    constexpr qint64 kMost = 0x7fffffff;
    return int(lines.count() < kMost ? lines.count() : kMost);
}

// Text lines kept in one buffer: a file read line by line costs little more
// than the file. A line shares the buffer and stays valid while the table is
// unchanged.
class TextLines : public LineSource {
public:
    // No limit but the transfer's line counter.
    static constexpr int kUnlimited = 0x7fffffff;

    explicit TextLines(int maxLines = kUnlimited) : maxLines_(maxLines) {}

    qint64 count() const override { return ends_.size(); }
    QByteArray line(qint64 number) const override;

    int maxLines() const { return maxLines_; }
    bool isFull() const { return count() >= maxLines_; }
    // Stores a line after the last; false (and nothing stored) when full.
    bool append(QByteArrayView line);

    void reserveBytes(qsizetype bytes) { text_.reserve(bytes); }
    qsizetype byteSize() const
    {
        return text_.capacity() + ends_.capacity() * qsizetype(sizeof(qsizetype));
    }

    // The lines as one shared image.
    static SharedLines share(TextLines &&lines)
    {
        return std::make_shared<const TextLines>(std::move(lines));
    }

private:
    QByteArray text_;       // every line, back to back
    QList<qsizetype> ends_; // ends_[i] is where line i + 1 ends in text_
    int maxLines_;
};

} // namespace corvanel
