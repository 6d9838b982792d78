#pragma once

#include "engine/line_source.h"

namespace corvanel {

// The transfer's state, written only by the transfer controller. Flags hold 0
// or 1. The counters are 32 bits wide so that converted images of a million
// lines fit; the window's images stay within its 9000-line table.
struct TransferState {
    static constexpr int kLinkIdle = 50; // link-indicator ticks that mean "no link"

    int connected = 0;            // 1 while the UDP link is open
    int linkActivity = kLinkIdle; // indicator ticks since the last datagram, 0 to 50
    int position = 0;             // number of the line sent last; 0: line 1 is next
    // The image, lines 1 to lineCount; never null.
    SharedLines lines = std::make_shared<const TextLines>();
    int lineCount = 0;            // lines in the loaded image
    int verifying = 0;            // 1 during the verify pass
    int imageLoaded = 0;          // 1 from a successful load until the transfer ends
};

} // namespace corvanel
