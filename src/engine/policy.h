#pragma once

#include <chrono>
#include <optional>

namespace corvanel {

// Monotonic time, from an origin of the driver's choosing. The engine never
// reads a clock: every input that needs the time carries it.
using Millis = std::chrono::milliseconds;

// Bounds of an unattended transfer, as the flasher's options give them.
struct StrictLimits {
    // The shortest quiet time before an end stands.
    static constexpr Millis kMinConfirmTime{50};

    Millis inquiryTimeout{30000};
    Millis replyTimeout{3000};
    int retries = 0; // sends of a line again after its reply time-out
    // How long the end of the verify pass must stand with no further reply
    // before it counts; empty: at least kMinConfirmTime and twice the slowest
    // answer of the transfer, at most the reply time-out.
    std::optional<Millis> confirmTime = std::nullopt;
};

// Everything in which the operator's window and the unattended flasher
// differ: what counts as an answer, who keeps time, what a failed send does.
// Policy::window() and Policy::strict() side by side are the whole list; each
// rule reads its flag where it is applied, in the engine, and no front end
// decides one of its own.
struct Policy {
    static constexpr Millis kInquiryInterval{500};
    static constexpr Millis kInstallPause{100}; // "BOOTg" leaves before the close

    // What counts as an answer.
    bool repliesBeforeInquiryCount = true; // strict: nothing counts before the first "BOOTi"
    bool okStartsImage = true;       // an "OK" with no line in flight sends line 1 of a new image
    bool passEndsAtEndRecord = true; // a "DOWNLOAD" to an end-of-file record before the last line
    bool okAnswersLastLine = true;   // the window wraps to line 1; strict waits for "DOWNLOAD"
    bool versionAnswersLine = true;  // "VER=" mid-pass acts like "OK"
    // Which senders count: the window takes every port of the device's
    // address; strict, the port the first "VER=" came from is the device's,
    // and the others are strangers. (The link itself checks the address.)
    bool replyPortIsFirstVersions = false;
    // A reply that no datagram sent explains (a copy) fails the transfer: no
    // later reply could be paired with its line.
    bool copiesFail = false;
    // After "END" or a failure the transfer takes nothing more (the window:
    // a later "OK" resumes after "ERROR").
    bool endsAreFinal = false;
    // A datagram that could not be sent fails the transfer; the window has no
    // handler for it and stays usable.
    bool failedSendFails = false;

    // Who keeps time. The window keeps its own inquiry timer (its ticks are
    // pollDevice() calls) and waits as long as the operator does; strict, the
    // engine's timer table holds the inquiry cadence and every bound.
    bool bounded = false;
    StrictLimits limits{};

    static Policy window() { return {}; }
    static Policy strict(const StrictLimits &limits)
    {
        Policy p;
        p.repliesBeforeInquiryCount = false;
        p.okStartsImage = false;
        p.passEndsAtEndRecord = false;
        p.okAnswersLastLine = false;
        p.versionAnswersLine = false;
        p.replyPortIsFirstVersions = true;
        p.copiesFail = true;
        p.endsAreFinal = true;
        p.failedSendFails = true;
        p.bounded = true;
        p.limits = limits;
        return p;
    }
};

} // namespace corvanel
