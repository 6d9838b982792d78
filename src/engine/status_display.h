#pragma once

#include "engine/effects.h"

#include <QByteArrayView>
#include <QLatin1StringView>
#include <QtGlobal>

namespace corvanel {

// What the operator sees of a transfer, in the window's words. The window
// implements it over its widgets; tests record it.
class StatusDisplay {
public:
    virtual ~StatusDisplay() = default;

    virtual void ShowStatus(QLatin1StringView word) = 0;
    virtual void SetBarValue(int value) = 0;
    virtual void SetBarMaximum(int maximum) = 0;
    virtual void SetBarColour(quint32 colour) = 0;
    // The reply as received, and without its trailing spaces (what the
    // transfer classifies).
    virtual void ShowReply(QByteArrayView reply) = 0;
    // Clears the reply the operator sees.
    virtual void ClearReplyView() = 0;
    // Clears the kept copy of the last reply as received.
    virtual void clearReceivedReply() = 0;

    // Whether the device has answered lately.
    virtual void showLinkAlive(bool alive) = 0;
    // Whether the operator may open an image now.
    virtual void allowOpenFile(bool allowed) = 0;
    // What the link button does next: kCaptionConnect or kCaptionDisconnect.
    virtual void showLinkAction(QLatin1StringView caption) = 0;
};

// Shows a display effect; false for an effect that is not the display's.
bool showOn(StatusDisplay &display, const Effect &effect);

} // namespace corvanel
