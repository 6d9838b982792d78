#include "engine/line_table.h"

namespace corvanel {

QByteArrayView LineTable::line(int slot) const
{
    if (slot < 1 || slot > count())
        return {};
    const qsizetype begin = slot == 1 ? 0 : ends_[static_cast<size_t>(slot - 2)];
    const qsizetype end = ends_[static_cast<size_t>(slot - 1)];
    return QByteArrayView(text_.constData() + begin, end - begin);
}

bool LineTable::append(QByteArrayView line)
{
    if (isFull())
        return false;
    text_.append(line);
    ends_.push_back(text_.size());
    return true;
}

} // namespace corvanel
