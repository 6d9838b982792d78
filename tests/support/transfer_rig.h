#pragma once

// The transfer driven by plain calls, its effects carried out on recorders:
// the window's operations by name, on a clock the test moves.

#include "engine/transfer.h"
#include "support/recorders.h"

#include <functional>

namespace corvanel::testing {

struct TransferRig {
    EventLog log;
    RecordingDisplay display{log};
    RecordingLink link{log};
    Transfer core;
    Millis now{0};
    LinkSettings settings;

    explicit TransferRig(const Policy &policy = Policy::window()) : core(policy) {}

    const TransferState &state() const { return core.state(); }

    // Carries out what the transfer asked for, in order; returns a failed
    // connect's error.
    std::optional<OperatorError> apply()
    {
        std::optional<OperatorError> error;
        while (const Effect *effect = core.pollEffect()) {
            switch (effect->kind) {
            case Effect::Kind::Send:
                if (!link.send(effect->bytes))
                    core.handleSendFailure();
                break;
            case Effect::Kind::FlushArp:
                link.flushArpCache();
                break;
            case Effect::Kind::OpenLink:
                error = link.open(settings);
                if (error)
                    core.linkFailed();
                else
                    core.linkOpened(now);
                break;
            case Effect::Kind::CloseLink:
                link.close();
                break;
            case Effect::Kind::StartInquiries:
                link.startInquiryTimer();
                break;
            case Effect::Kind::StopInquiries:
                link.stopInquiryTimer();
                break;
            default:
                showOn(display, *effect);
                break;
            }
        }
        return error;
    }

    std::optional<OperatorError> ToggleLink(const LinkSettings &linkSettings)
    {
        settings = linkSettings;
        if (core.state().connected == 0)
            core.connect();
        else
            core.disconnect();
        return apply();
    }
    void PollDevice() { core.pollDevice(now), apply(); }
    void SendNextLine() { core.sendNextLine(now), apply(); }
    void HandleReply(const QByteArray &reply) { core.handleDatagram(now, reply), apply(); }
    void TickLinkIndicator() { core.tickLinkIndicator(), apply(); }
    // "BOOTg", and the pause before the close waited out as the window does.
    void InstallFirmware()
    {
        core.install(now);
        apply();
        if (const auto due = core.pollTimeout()) {
            link.pause(*due - now);
            advanceTo(*due);
        }
    }
    // The clock moves on; a deadline that has come is handled.
    void advanceTo(Millis time)
    {
        now = time;
        if (const auto due = core.pollTimeout(); due && now >= *due)
            core.handleTimeout(now);
        apply();
    }
    // What a successful image load leaves behind.
    void load(const QList<QByteArray> &lines)
    {
        TextLines table;
        for (const QByteArray &line : lines)
            table.append(line);
        core.startImageLoad();
        core.adoptImage(TextLines::share(std::move(table)));
        apply();
    }
    std::function<void()> applier()
    {
        return [this] { apply(); };
    }
};

} // namespace corvanel::testing
