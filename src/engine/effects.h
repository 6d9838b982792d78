#pragma once

#include <QByteArray>
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

// One thing the transfer wants done, in the order it wants them: a datagram
// sent, the link opened or closed, or a change of what the operator sees. The
// transfer only queues them; its driver carries them out.
struct Effect {
    enum class Kind : quint8 {
        Send,           // `bytes`: one datagram to the device
        FlushArp,       // the host's neighbour cache, so a swapped board is reached
        OpenLink,       // bind the socket and aim it at the device; answer linkOpened/linkFailed
        CloseLink,      //
        ReadNeighbour,  // the address's hardware address; answer neighbourRead
        StartInquiries, // the inquiry cadence begins (the window's inquiry timer)
        StopInquiries,  //
        // What the operator sees, in the window's words.
        ShowStatus,         // `word`
        SetBarValue,        // `value`
        SetBarMaximum,      // `value`
        SetBarColour,       // `value`, 0x00BBGGRR
        ShowReply,          // `bytes`: the datagram as received
        ClearReplyView,     // the reply the operator sees
        ClearReceivedReply, // the kept copy of the last reply as received
        ShowLinkAlive,      // `value` 1 or 0
        AllowOpenFile,      // `value` 1 or 0
        ShowLinkAction,     // `word`: kCaptionConnect or kCaptionDisconnect
    };

    Kind kind;
    qint64 value = 0;
    QLatin1StringView word{};
    QByteArray bytes{};
};

} // namespace corvanel
