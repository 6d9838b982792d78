#include "engine/transfer_controller.h"

#include "engine/protocol.h"

namespace corvanel {

TransferController::TransferController(StatusDisplay &display, DeviceLink &link)
    : display_(display), link_(link)
{
}

void TransferController::SendNextLine()
{
    if (state_.imageLoaded != 1)
        return;
    // An image of no lines has nothing to send; the position could never wrap.
    if (state_.lineCount <= 0 || state_.lineCount > state_.lines.count())
        return;
    // A position outside the image (never reached through these operations)
    // restarts the pass instead of reading beyond the table.
    if (state_.position < 0 || state_.position >= state_.lineCount)
        state_.position = 0;

    if (state_.verifying == 1) {
        ++state_.position;
        link_.Send(protocol::verifyLineMessage(state_.lines.line(state_.position)));
        display_.SetBarValue(state_.position);
    } else {
        display_.ShowStatus(status::kDownload);
        ++state_.position;
        link_.Send(protocol::downloadLineMessage(state_.lines.line(state_.position)));
        display_.SetBarValue(state_.position);
    }
    if (state_.position == state_.lineCount)
        state_.position = 0;
}

void TransferController::HandleReply(QByteArrayView reply)
{
    state_.linkActivity = 1;
    display_.ShowReply(reply);

    switch (protocol::classifyReply(protocol::trimTrailingSpaces(reply), state_.imageLoaded == 1)) {
    case protocol::ReplyKind::Version:
        link_.StopInquiryTimer();
        SendNextLine();
        break;
    case protocol::ReplyKind::Error:
        display_.ShowStatus(status::kError);
        display_.SetBarColour(colour::kRed);
        break;
    case protocol::ReplyKind::PassEnd:
        // With no image loaded (idle, or after "END") there is no pass to end.
        if (state_.imageLoaded != 1)
            break;
        if (state_.verifying == 1) {
            display_.ShowStatus(status::kEnd);
            display_.SetBarColour(colour::kGreen);
            state_.verifying = 0;
            display_.SetOpenFileEnabled(true);
            display_.ClearReceivedData();
            state_.imageLoaded = 0;
            state_.position = 0;
        } else {
            display_.ShowStatus(status::kVerify);
            state_.verifying = 1;
            state_.position = 0;
            SendNextLine();
        }
        break;
    case protocol::ReplyKind::Ok:
        SendNextLine();
        break;
    case protocol::ReplyKind::Other:
        break;
    }
}

void TransferController::PollDevice()
{
    link_.Send(protocol::kInquiry);
    display_.ClearReplyView();
}

void TransferController::InstallFirmware()
{
    link_.StopInquiryTimer();
    link_.Send(protocol::kInstall);
    state_.linkActivity = TransferState::kLinkIdle;
    link_.Pause(kInstallPause);
    link_.Close();
    ResetTransfer();
}

void TransferController::ResetTransfer()
{
    display_.ClearReceivedData();
    display_.ShowLinkAlive(false);
    state_.linkActivity = TransferState::kLinkIdle;
    display_.SetOpenFileEnabled(false);
    state_.verifying = 0;
    state_.imageLoaded = 0;
    display_.SetBarValue(0);
    display_.SetBarColour(colour::kNavy);
    display_.ShowStatus(status::kNoFile);
    state_.position = 0;
    display_.SetLinkCaption(kCaptionConnect);
    state_.connected = 0;
    display_.ClearReplyView();
}

std::optional<OperatorError> TransferController::ToggleLink(const LinkSettings &settings)
{
    if (state_.connected == 0)
        return connect(settings);
    disconnect();
    return std::nullopt;
}

std::optional<OperatorError> TransferController::connect(const LinkSettings &settings)
{
    display_.SetBarValue(0);
    display_.SetBarColour(colour::kNavy);
    link_.FlushArpCache();
    if (auto error = link_.Open(settings))
        return error;
    state_.linkActivity = 0;
    display_.SetOpenFileEnabled(true);
    link_.StartInquiryTimer();
    state_.verifying = 0;
    state_.imageLoaded = 0;
    display_.SetLinkCaption(kCaptionDisconnect);
    state_.connected = 1;
    return std::nullopt;
}

void TransferController::disconnect()
{
    link_.StopInquiryTimer();
    link_.Close();
    ResetTransfer();
}

void TransferController::TickLinkIndicator()
{
    ++state_.linkActivity;
    if (state_.linkActivity > TransferState::kLinkIdle) {
        state_.linkActivity = TransferState::kLinkIdle;
        display_.ShowLinkAlive(false);
    } else {
        display_.ShowLinkAlive(true);
    }
}

} // namespace corvanel
