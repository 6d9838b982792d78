#pragma once

#include <QByteArrayView>
#include <QtGlobal>

namespace corvanel::image {

// The lines of a text file: split at LF, a CR before the LF dropped, no empty
// last line after a final line end. Numbered from 1.
class LineCursor {
public:
    explicit LineCursor(QByteArrayView text) : text_(text) {}

    bool next(QByteArrayView &line)
    {
        if (at_ >= text_.size())
            return false;
        qsizetype end = text_.indexOf('\n', at_);
        const qsizetype next = end < 0 ? text_.size() : end + 1;
        if (end < 0)
            end = text_.size();
        line = text_.sliced(at_, end - at_);
        if (line.endsWith('\r'))
            line.chop(1);
        at_ = next;
        ++number_;
        return true;
    }
    qint64 number() const { return number_; }

private:
    QByteArrayView text_;
    qsizetype at_ = 0;
    qint64 number_ = 0;
};

} // namespace corvanel::image
