#pragma once

#include <QByteArray>
#include <QByteArrayView>

#include <vector>

namespace corvanel {

// The image's lines, numbered from 1 as the transfer counts them; slot 0 is
// never used. All lines share one buffer, so a 9000-line image costs little
// more than its file and is swapped into place in constant time.
class LineTable {
public:
    static constexpr int kMaxLines = 9000;
    static constexpr int kSlots = kMaxLines + 1; // slots 0 to 9000

    int count() const { return static_cast<int>(ends_.size()); }
    bool isFull() const { return count() >= kMaxLines; }

    // Line `slot` (1 to count()); any other slot reads as an empty line, so no
    // caller can read outside the table.
    QByteArrayView line(int slot) const;

    // Stores the line in the next slot; false (and nothing stored) when full.
    bool append(QByteArrayView line);

    void reserveBytes(qsizetype bytes) { text_.reserve(bytes); }
    qsizetype byteSize() const { return text_.capacity() + ends_.capacity() * sizeof(qsizetype); }

    void swap(LineTable &other) noexcept
    {
        text_.swap(other.text_);
        ends_.swap(other.ends_);
    }

private:
    QByteArray text_;             // every line, back to back
    std::vector<qsizetype> ends_; // ends_[i] is where line i + 1 ends in text_
};

} // namespace corvanel
