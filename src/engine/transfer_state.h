#pragma once

#include "engine/line_table.h"

#include <QtGlobal>

namespace corvanel {

// The transfer's state. Counters and flags are 16-bit signed; flags hold 0 or 1.
struct TransferState {
    static constexpr qint16 kLinkIdle = 50; // link-indicator ticks that mean "no link"

    qint16 connected = 0;              // 1 while the UDP link is open
    qint16 linkActivity = kLinkIdle;   // indicator ticks since the last datagram, 0 to 50
    qint16 position = 0;               // number of the line sent last; 0: line 1 is next
    LineTable lines;                   // the image, slots 1 to lineCount
    qint16 lineCount = 0;              // lines in the loaded image, 0 to 9000
    qint16 verifying = 0;              // 1 during the verify pass
    qint16 imageLoaded = 0;            // 1 from a successful load until the transfer ends
};

} // namespace corvanel
