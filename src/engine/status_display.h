#pragma once

#include <QByteArrayView>
#include <QLatin1StringView>
#include <QtGlobal>

namespace corvanel {

// Bar colours, as 0x00BBGGRR values.
namespace colour {
inline constexpr quint32 kBlue = 16711680; // the bar's colour until the first connect
inline constexpr quint32 kNavy = 8388608;  // the working colour
inline constexpr quint32 kRed = 255;       // "ERROR"
inline constexpr quint32 kGreen = 65280;   // "END"
} // namespace colour

// The words drawn over the status bar.
namespace status {
inline constexpr QLatin1StringView kNoFile{"NO FILE"};
inline constexpr QLatin1StringView kReady{"READY"};
inline constexpr QLatin1StringView kDownload{"DOWNLOAD"};
inline constexpr QLatin1StringView kVerify{"VERIFY"};
inline constexpr QLatin1StringView kEnd{"END"};
inline constexpr QLatin1StringView kError{"ERROR"};
} // namespace status

// What the link button offers next.
inline constexpr QLatin1StringView kCaptionConnect{"Connect"};
inline constexpr QLatin1StringView kCaptionDisconnect{"Disconnect"};

// What the transfer shows. The window implements it over its widgets; the
// command-line flasher and the tests implement it as they need.
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

// A display that shows nothing, for front ends that learn where a transfer
// stands from the controller's phase and line instead.
class SilentDisplay : public StatusDisplay {
public:
    void ShowStatus(QLatin1StringView) override {}
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

} // namespace corvanel
