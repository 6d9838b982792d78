#pragma once

// The object names of the window and its controls, by role. These names are
// the window's layout contract: tests and tools find controls by them. In the
// code, members are named for their role and reach their object name here.
namespace corvanel::controls {

inline constexpr char kWindow[] = "UP_config";

// The panel the operator sees.
inline constexpr char kLinkFrame[] = "Frame8";           // "Link Ethernet"
inline constexpr char kAddressBox[] = "ComboRemoteIP";   // device address, editable list
inline constexpr char kLinkAliveImage[] = "YesConnect";  // the device answered lately
inline constexpr char kNoLinkImage[] = "NoConnect";      // no answer for 25 s
inline constexpr char kLinkButton[] = "cbBind";          // "Connect" / "Disconnect"
inline constexpr char kInstallButton[] = "Command5";     // "Install"
inline constexpr char kAddAddressButton[] = "Add_ip";    // "Add"
inline constexpr char kDeleteAddressButton[] = "Del_ip"; // "Del"
inline constexpr char kSaveAddressesButton[] = "SaveIP"; // "Save"
inline constexpr char kOpenFileButton[] = "Command3";    // "Open File and  Download"
inline constexpr char kStatusFrame[] = "Frame1";         // "Status"
inline constexpr char kStatusBar[] = "vbalProgressBar1"; // the bar with its status word
inline constexpr char kReplyLine[] = "Text3";            // the last reply, as the operator sees it
inline constexpr char kStatusFrameMark[] = "Label14";    // a strip on the frame's edge

// The service area below the panel, never on screen.
inline constexpr char kClassifiedReplyView[] = "Text8";       // the last reply less trailing spaces
inline constexpr char kSendButton[] = "Command4";             // "Send": the next line by hand
inline constexpr char kClearReplyButton[] = "Command9";       // "CLR": clears the reply line
inline constexpr char kReceivedReplyView[] = "tbReceiveData"; // the last reply as received
inline constexpr char kRemotePortLabel[] = "Label37";
inline constexpr char kLocalPortLabel[] = "Label36";
inline constexpr char kRemotePortBox[] = "tbRemotePort";
inline constexpr char kLocalPortBox[] = "tbLocalPort";
inline constexpr char kSpareBox1[] = "Text5"; // text boxes that only show their text
inline constexpr char kSpareBox2[] = "Text1";
inline constexpr char kSpareBox3[] = "Text6";
inline constexpr char kSpareBox4[] = "Text2";
inline constexpr char kFirstFocusBox[] = "Text20"; // first in tab order: holds the focus at start

// Controls that are never drawn.
inline constexpr char kLinkIndicatorTimer[] = "Timer1";
inline constexpr char kInquiryTimer[] = "Timer2";
inline constexpr char kSocket[] = "Winsock1";

} // namespace corvanel::controls
