#include "engine/line_table.h"

#include <algorithm>

namespace corvanel {

LineTable LineTable::fromSource(std::shared_ptr<const LineSource> source)
{
    LineTable table;
    table.source_ = std::move(source);
    return table;
}

int LineTable::count() const
{
    if (source_)
        return int(std::min<qint64>(source_->count(), kUnlimited));
    return static_cast<int>(ends_.size());
}

QByteArray LineTable::line(int slot) const
{
    if (slot < 1 || slot > count())
        return {};
    if (source_)
        return source_->line(slot - 1);
    const qsizetype begin = slot == 1 ? 0 : ends_[slot - 2];
    const qsizetype end = ends_[slot - 1];
    return QByteArray::fromRawData(text_.constData() + begin, end - begin);
}

bool LineTable::append(QByteArrayView line)
{
    if (source_ || isFull())
        return false;
    text_.append(line);
    ends_.append(text_.size());
    return true;
}

} // namespace corvanel
