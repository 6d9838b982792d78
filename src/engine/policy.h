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

// Everything in which the operator's window and the unattended flasher judge
// replies and bound their waits differently. Policy::window() and
// Policy::strict() side by side are the whole list of differences.
struct Policy {
    static constexpr Millis kInquiryInterval{500};
    static constexpr Millis kInstallPause{100}; // "BOOTg" leaves before the close

    // What counts as an answer.
    bool repliesBeforeInquiryCount = true; // strict: nothing counts before the first "BOOTi"
    bool okStartsImage = true;      // an "OK" with no line in flight sends line 1 of a new image
    bool passEndsAtEndRecord = true; // a "DOWNLOAD" to an end-of-file record before the last line
    bool okAnswersLastLine = true;   // the window wraps to line 1; strict waits for "DOWNLOAD"
    bool versionAnswersLine = true;  // "VER=" mid-pass acts like "OK"
    // A reply that no datagram sent explains (a copy) fails the transfer: no
    // later reply could be paired with its line.
    bool copiesFail = false;
    // After "END" or a failure the transfer takes nothing more (the window:
    // a later "OK" resumes after "ERROR").
    bool endsAreFinal = false;

    // Waits. The window waits as long as the operator does.
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
        p.copiesFail = true;
        p.endsAreFinal = true;
        p.bounded = true;
        p.limits = limits;
        return p;
    }
};

} // namespace corvanel
