#pragma once

// The status display a benchmark needs: the last status word and nothing
// drawn, so the figures measure the transfer and not a display.

#include "engine/status_display.h"

namespace corvanel::bench {

class StatusOnlyDisplay : public SilentDisplay {
public:
    QLatin1StringView status;
    void ShowStatus(QLatin1StringView word) override { status = word; }
};

} // namespace corvanel::bench
