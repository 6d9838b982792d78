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
    // Raw reply into tbReceiveData and Text3; without trailing spaces into Text8.
    virtual void ShowReply(QByteArrayView reply) = 0;
    virtual void ClearReplyView() = 0;   // Text3
    virtual void ClearReceivedData() = 0; // tbReceiveData

    // The rest of the window the transfer drives.
    virtual void ShowLinkAlive(bool alive) = 0;           // YesConnect or NoConnect
    virtual void SetOpenFileEnabled(bool enabled) = 0;    // Command3
    virtual void SetLinkCaption(QLatin1StringView caption) = 0; // cbBind
};

} // namespace corvanel
