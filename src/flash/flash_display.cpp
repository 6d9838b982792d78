#include "flash/flash_display.h"

#include "engine/protocol.h"

namespace corvanel::flash {

void FlashDisplay::ShowStatus(QLatin1StringView word)
{
    status_ = word;
    if (onStatus)
        onStatus(word);
}

void FlashDisplay::SetBarValue(int value)
{
    barValue_ = value;
    if (onBarValue)
        onBarValue(value);
}

void FlashDisplay::ShowReply(QByteArrayView reply)
{
    lastReply_ = protocol::trimTrailingSpaces(reply).toByteArray();
}

} // namespace corvanel::flash
