#include "engine/status_display.h"

namespace corvanel {

bool showOn(StatusDisplay &display, const Effect &effect)
{
    using K = Effect::Kind;
    switch (effect.kind) {
    case K::ShowStatus:
        display.ShowStatus(effect.word);
        return true;
    case K::SetBarValue:
        display.SetBarValue(int(effect.value));
        return true;
    case K::SetBarMaximum:
        display.SetBarMaximum(int(effect.value));
        return true;
    case K::SetBarColour:
        display.SetBarColour(quint32(effect.value));
        return true;
    case K::ShowReply:
        display.ShowReply(effect.bytes);
        return true;
    case K::ClearReplyView:
        display.ClearReplyView();
        return true;
    case K::ClearReceivedReply:
        display.clearReceivedReply();
        return true;
    case K::ShowLinkAlive:
        display.showLinkAlive(effect.value != 0);
        return true;
    case K::AllowOpenFile:
        display.allowOpenFile(effect.value != 0);
        return true;
    case K::ShowLinkAction:
        display.showLinkAction(effect.word);
        return true;
    case K::Send:
    case K::FlushArp:
    case K::OpenLink:
    case K::CloseLink:
    case K::ReadNeighbour:
    case K::StartInquiries:
    case K::StopInquiries:
        break;
    }
    return false;
}

} // namespace corvanel
