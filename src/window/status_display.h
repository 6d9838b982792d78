#pragma once

#include "engine/board.h"

#include <QByteArrayView>
#include <QLatin1StringView>
#include <QtGlobal>

namespace corvanel {

// The window's words for what the board tells it: the bar's colours (as
// 0x00BBGGRR values), the status words drawn over the bar, and the link
// button's captions.
namespace colour {
inline constexpr quint32 kBlue = 16711680; // the bar's colour until the first connect
inline constexpr quint32 kNavy = 8388608;  // the working colour
inline constexpr quint32 kRed = 255;       // "ERROR"
inline constexpr quint32 kGreen = 65280;   // "END"
} // namespace colour

namespace status {
inline constexpr QLatin1StringView kNoFile{"NO FILE"};
inline constexpr QLatin1StringView kReady{"READY"};
inline constexpr QLatin1StringView kDownload{"DOWNLOAD"};
inline constexpr QLatin1StringView kVerify{"VERIFY"};
inline constexpr QLatin1StringView kEnd{"END"};
inline constexpr QLatin1StringView kError{"ERROR"};
} // namespace status

inline constexpr QLatin1StringView kCaptionConnect{"Connect"};
inline constexpr QLatin1StringView kCaptionDisconnect{"Disconnect"};

// The window's state record, in the fields it is known by: the board's
// transfer as the window sees it (connected, position, lines, lineCount,
// verifying, imageLoaded), and the link indicator's count.
struct TransferState : TransferView {
    static constexpr int kLinkIdle = 50; // link-indicator ticks that mean "no link"

    int linkActivity = kLinkIdle; // indicator ticks since the last datagram, 0 to 50
};

// What the operator sees of a transfer. The window implements it over its
// widgets; tests record it.
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

} // namespace corvanel
