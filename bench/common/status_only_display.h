#pragma once

// The status display a benchmark needs: the last status word and nothing
// drawn, so the figures measure the transfer and not a display.

#include "engine/status_display.h"

namespace corvanel::bench {

class StatusOnlyDisplay : public StatusDisplay {
public:
    QLatin1StringView status;
    void ShowStatus(QLatin1StringView word) override { status = word; }
    void SetBarValue(int) override {}
    void SetBarMaximum(int) override {}
    void SetBarColour(quint32) override {}
    void ShowReply(QByteArrayView) override {}
    void ClearReplyView() override {}
    void clearReceivedReply() override {}
    void showLinkAlive(bool) override {}
    void allowOpenFile(bool) override {}
    void showLinkAction(QLatin1StringView) override {}
};

} // namespace corvanel::bench
