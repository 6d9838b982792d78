#include "engine/line_source.h"

namespace corvanel {

QByteArray TextLines::line(qint64 number) const
{
    if (number < 1 || number > count())
        return {};
    const qsizetype begin = number == 1 ? 0 : ends_[number - 2];
    const qsizetype end = ends_[number - 1];
    return QByteArray::fromRawData(text_.constData() + begin, end - begin);
}

bool TextLines::append(QByteArrayView line)
{
    if (isFull())
        return false;
    text_.append(line);
    ends_.append(text_.size());
    return true;
}

} // namespace corvanel
